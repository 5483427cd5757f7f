// Matchmaking and lobby (page 4): the quickmatch offer, the search notice and
// the lobby with its player slots, chat and connection readout.
//
// Index of this file:
// [SECTION] Shared by the room pages
// [SECTION] Player slots and connection readout
// [SECTION] Lobby pieces
// [SECTION] The page
#include "ui/pages/pages.h"

#include "backend/lobby_chat.h"
#include "backend/player_name.h"
#include "backend/ready.h"
#include "backend/rooms.h"
#include "backend/saved_room.h"
#include "link/link_keys.h"
#include "link/link_seal.h"
#include "link/peer_link.h"
#include "state/config.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/kit.h"
#include "ui/palette.h"
#include "ui/session_status.h"
#include "ui/ui_state.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <cmath>
#include <string>

//-----------------------------------------------------------------------------
// [SECTION] Shared by the room pages
//-----------------------------------------------------------------------------

void GoToPage(int32_t page)
{
    if (g_app.shell.current_page != page)
        NavigateTo(page);
}

void DrawRoomError()
{
    std::lock_guard<std::mutex> hold(g_app.room.lock);
    TextColoured(ColGold, g_app.room.room_error.c_str());
}

//-----------------------------------------------------------------------------
// [SECTION] Player slots and connection readout
//-----------------------------------------------------------------------------

namespace {

// state: 1 ready, 0 not ready, anything else waiting.
void PlayerSlot(const char* id, const char* title, const char* subtitle, bool is_host, int32_t state)
{
    ImGui::BeginChild(id, ImVec2(0.0f, 74.0f), true, ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse);
    const ImVec2 corner = ImGui::GetWindowPos();
    ImGui::GetWindowDrawList()->AddCircleFilled(ImVec2(corner.x + 26.0f, corner.y + 30.0f), 12.0f, PackCol(ColAccent));
    ImGui::SetCursorPos(ImVec2(50.0f, 12.0f));
    ImGui::BeginGroup();
    TextColoured(ColText, title);
    if (is_host) {
        ImGui::SameLine();
        TextColoured(ColGold, "HOST");
    }
    TextColoured(ColMuted, subtitle);
    ImGui::EndGroup();
    const char* badge = state == 1 ? "READY" : state == 0 ? "NOT READY" : "WAITING";
    const float w = std::ceil(ImGui::CalcTextSize(badge).x);
    ImGui::SetCursorPos(ImVec2(ImGui::GetWindowWidth() - w - 14.0f, 28.0f));
    TextColoured(state == 1 ? ColGreen : state == 0 ? ColGold : ColMuted, badge);
    ImGui::EndChild();
}

} // namespace

// What each channel carries, in a player's words.
static const char* const kChannelWords[kChannelCount] = {"Position", "Animation", "Enemies", "Story progress",
                                                         "Body pose", "Companion"};

// The round trips since the oldest kept sample (at most a minute), oldest at
// the left; the scale tops out at the larger of 100 ms and the highest one.
// Drawn across the span it has, so a young link is not a short stub at the end.
static void RttGraph(ImDrawList* dl, const ImVec2& min, const ImVec2& max, const SyncHealth& h, float* top_ms)
{
    dl->AddRectFilled(min, max, PackCol(ColPanel, 0.6f), 4.0f);
    *top_ms = 100.0f;
    if (h.rtt.empty())
        return;
    for (const RttSample& s : h.rtt)
        *top_ms = ImMax(*top_ms, s.rtt_ms);
    const size_t first = h.rtt.size() > 64 ? h.rtt.size() - 64 : 0;
    const double span = ImMax(10000.0, ImMin((double)kRttHistoryMs, h.now_ms - h.rtt[first].at_ms));
    const float w = max.x - min.x - 8.0f, hgt = max.y - min.y - 6.0f;
    ImVec2 points[64];
    int n = 0;
    for (size_t i = first; i < h.rtt.size(); i++) {
        const float age = (float)((h.now_ms - h.rtt[i].at_ms) / span);
        points[n++] = ImVec2(max.x - 4.0f - w * ImClamp(age, 0.0f, 1.0f), max.y - 3.0f - hgt * h.rtt[i].rtt_ms / *top_ms);
    }
    if (n == 1)
        dl->AddCircleFilled(points[0], 2.0f, PackCol(ColAccent));
    else
        dl->AddPolyline(points, n, PackCol(ColAccent), 0, 1.5f);
}

// "just now", "3 s ago", "2 min ago"; "not yet" for never.
static void AgeText(char* out, size_t size, double seconds)
{
    if (seconds < 0)
        ImFormatString(out, size, "not yet");
    else if (seconds < 1.5)
        ImFormatString(out, size, "just now");
    else if (seconds < 120)
        ImFormatString(out, size, "%d s ago", (int)seconds);
    else
        ImFormatString(out, size, "%d min ago", (int)(seconds / 60));
}

// The game sync in one line a player can act on, and the figures behind it
// one click away: per channel what came from the partner and what went out,
// and the round trips of the last minute.
static void SyncRows(const SyncHealth& h)
{
    int late = 0, heard = 0;
    std::string late_names;
    for (size_t i = 0; i < kChannelCount; i++) {
        const ChannelHealth& c = h.channels[i];
        heard += c.received_age_s >= 0;
        if (c.late) {
            late_names += (late ? ", " : "") + std::string(kChannelWords[i]);
            late++;
        }
    }
    ImGui::Dummy(ImVec2(0.0f, 4.0f));
    TextColoured(ColMuted, "GAME SYNC");
    ImGui::SameLine(0.0f, 12.0f);
    if (late > 0) {
        TextColoured(ColGold, ("Your partner's " + late_names + (late == 1 ? " has" : " have") + " stopped updating").c_str());
        TextWrappedColoured(ColMuted, "If it stays that way, your partner can reset their scripts; "
                                      "\"Send my game again\" helps when it is your side they miss.");
    } else if (heard == 0) {
        TextColoured(ColMuted, "Waiting for the first update from your partner's game");
    } else {
        TextColoured(ColGreen, "Both games are in sync");
    }
    ImGui::Dummy(ImVec2(0.0f, 2.0f));
    if (LinkButton(g_ui.sync_details ? "Hide details" : "Show details"))
        g_ui.sync_details = !g_ui.sync_details;
    if (g_ui.sync_details) {
        // Room for more figures per channel (rates, sizes): one column each.
        if (ImGui::BeginTable("##syncdetail", 3, ImGuiTableFlags_SizingStretchProp | ImGuiTableFlags_RowBg)) {
            ImGui::TableSetupColumn("What", ImGuiTableColumnFlags_WidthStretch, 1.2f);
            ImGui::TableSetupColumn("From your partner", ImGuiTableColumnFlags_WidthStretch, 1.0f);
            ImGui::TableSetupColumn("From you", ImGuiTableColumnFlags_WidthStretch, 1.0f);
            ImGui::TableNextRow();
            const char* heads[3] = {"What", "From your partner", "From you"};
            for (int col = 0; col < 3; col++) {
                ImGui::TableSetColumnIndex(col);
                TextColoured(ColDim, heads[col]);
            }
            for (size_t i = 0; i < kChannelCount; i++) {
                const ChannelHealth& c = h.channels[i];
                char in[24], out[24];
                AgeText(in, sizeof(in), c.received_age_s);
                AgeText(out, sizeof(out), c.sent_age_s);
                ImGui::TableNextRow();
                ImGui::TableSetColumnIndex(0);
                TextColoured(ColText, kChannelWords[i]);
                ImGui::TableSetColumnIndex(1);
                TextColoured(c.late ? ColGold : ColMuted, in);
                ImGui::TableSetColumnIndex(2);
                TextColoured(ColMuted, out);
            }
            ImGui::EndTable();
        }
        ImGui::Dummy(ImVec2(0.0f, 6.0f));
        ImDrawList* dl = ImGui::GetWindowDrawList();
        const ImVec2 p = ImGui::GetCursorScreenPos();
        const float w = ImMax(60.0f, ImGui::GetContentRegionAvail().x);
        float top = 100.0f;
        RttGraph(dl, p, ImVec2(p.x + w, p.y + 40.0f), h, &top);
        ImGui::Dummy(ImVec2(w, 40.0f));
        char scale[64];
        ImFormatString(scale, sizeof(scale), "Round trip, up to a minute back (top of the strip: %d ms)", (int)top);
        TextColoured(ColDim, scale);
        // What the link costs on the wire, and how much smaller the files
        // travel than they are on disk.
        char line[160], ratio[40] = "";
        if (h.file_ratio >= 0)
            ImFormatString(ratio, sizeof(ratio), "; files sent at %d %% of their size", (int)(h.file_ratio * 100.0 + 0.5));
        ImFormatString(line, sizeof(line), "Data: %s out, %s in%s", ByteRateText(h.out_bytes_per_s).c_str(),
                       ByteRateText(h.in_bytes_per_s).c_str(), ratio);
        TextColoured(ColDim, line);
        ImFormatString(line, sizeof(line), "Path: %s", LinkPathText(LinkPath()).c_str());
        TextColoured(ColDim, line);
        // Datagrams the seal refused: forged, altered, another key, or copies.
        const LinkSealHealth seal = LinkSealStatus();
        if (seal.sealed) {
            ImFormatString(line, sizeof(line), "Sealed: refused %llu forged, %llu replayed",
                           (unsigned long long)seal.refused_forged, (unsigned long long)seal.refused_replayed);
            TextColoured(seal.refused_forged + seal.refused_replayed > 0 ? ColGold : ColDim, line);
        }
        ImGui::Dummy(ImVec2(0.0f, 6.0f));
    }
    if (late > 0 || g_ui.sync_details) {
        ImGui::Dummy(ImVec2(0.0f, 4.0f));
        if (OutlineButton("Send my game again", 32.0f))
            RequestOwnFilesResend();
    }
}

LinkRating RateLink(int32_t rtt, int32_t loss)
{
    if (rtt < 0)
        return {"Measuring...", 0, ColMuted};
    if (rtt < 60 && loss <= 1)
        return {"Excellent", 4, ColGreen};
    if (rtt < 120 && loss < 5)
        return {"Good", 3, ColGreen};
    if (rtt < 200 && loss < 12)
        return {"Okay", 2, ColGold};
    return {"Poor", 1, ImVec4(0.86f, 0.22f, 0.22f, 1.0f)};
}

void DrawConnectionQuality()
{
    const int32_t rtt = LinkRttMs();
    const int32_t loss = LinkLossPercent();
    LinkRating rating = RateLink(rtt, loss);
    // The figures are from before a drop: the status line above says who is
    // gone; the readout only says the link waits.
    const bool paused = CurrentSessionStatus().pill[0] != 0;
    if (paused)
        rating = {"Paused", 0, ColGold};
    TextColoured(ColMuted, "CONNECTION");
    ImGui::SameLine(0.0f, 12.0f);
    TextColoured(rating.colour, rating.word);
    if (rtt >= 0 && !paused) {
        char figures[64];
        if (loss < 0)
            ImFormatString(figures, sizeof(figures), "%d ms", rtt);
        else
            ImFormatString(figures, sizeof(figures), "%d ms  -  %d%% loss", rtt, loss);
        ImGui::SameLine(0.0f, 12.0f);
        TextColoured(ColDim, figures);
    }
    ImGui::Dummy(ImVec2(0.0f, 2.0f));
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const float base = p.y + 22.0f;
    ImDrawList* dl = ImGui::GetWindowDrawList();
    for (int i = 0; i < 4; i++) {
        const float x = p.x + 11.0f * (float)i;
        dl->AddRectFilled(ImVec2(x, base - (7.0f + 5.0f * (float)i)), ImVec2(x + 7.0f, base),
                          PackCol(i < rating.bars ? rating.colour : ColPanel), 1.5f);
    }
    ImGui::Dummy(ImVec2(0.0f, 26.0f));
    // Whether what crosses can be read on the way.
    if (LinkSealStatus().sealed) {
        TextColoured(ColGreen, "Encrypted end to end.");
    } else {
        const PartnerSeal why = PartnerSealState();
        TextColoured(ColWarn, why == PartnerSeal::ServiceOlder ? "Not encrypted: the server passes no keys."
                                                               : "Not encrypted: your partner's Kestrel is older.");
    }
    // Straight to the partner, or the detour through the relay.
    const LinkPathInfo path = LinkPath();
    TextColoured(path.direct ? ColGreen : ColDim, LinkPathText(path).c_str());
    if (!paused)
        SyncRows(LinkSyncHealth());
}

//-----------------------------------------------------------------------------
// [SECTION] Lobby pieces
//-----------------------------------------------------------------------------

namespace {

// What one lobby frame draws from, each copy taken once.
struct LobbyView
{
    std::string code, partner, chapter, stage, mod, name;
    std::string partner_kestrel, partner_game;
    char role = 0;
    bool peer_ready = false, my_ready = false, started = false, linked = false;
    bool reconnecting = false, partner_away = false;
};

LobbyView TakeLobbyView()
{
    LobbyView v;
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        const RoomState& r = g_app.room;
        v.code = r.room_code;
        v.partner = r.room_partner;
        v.role = r.room_role;
        v.chapter = r.room_chapter_label;
        v.stage = r.room_stage;
        v.mod = r.room_mod;
        v.partner_kestrel = r.partner_kestrel_version;
        v.partner_game = r.partner_game_version;
    }
    v.peer_ready = g_app.room.peer_ready.load();
    v.my_ready = g_app.room.my_ready.load();
    v.started = g_app.flags.room_started.load();
    v.linked = g_app.flags.link_running.load();
    v.reconnecting = g_app.room.reconnecting.load();
    v.partner_away = g_app.room.partner_away.load() && !v.partner.empty();
    v.name = PlayerName();
    return v;
}

void HintBanner()
{
    static const char kHint[] = "If you can't see your partner, disconnect from the lobby, reset scripts, then reconnect.";
    ImFont* font = FontUi ? FontUi : ImGui::GetFont();
    const float size = font->FontSize;
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const float w = ImGui::GetContentRegionAvail().x;
    const float wrap = w - 26.0f;
    const float h = font->CalcTextSizeA(size, FLT_MAX, wrap, kHint).y + 20.0f;
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const ImVec2 end(p.x + w, p.y + h);
    dl->AddRectFilled(p, end, PackCol(ColGold, 0.12f), 8.0f);
    dl->AddRect(ImVec2(p.x + 0.5f, p.y + 0.5f), ImVec2(end.x - 0.5f, end.y - 0.5f), PackCol(ColGold, 0.55f), 8.0f, 0,
                1.5f);
    dl->AddRectFilled(p, ImVec2(p.x + 4.0f, end.y), PackCol(ColGold), 8.0f);
    for (int i = 0; i < 2; i++) // the second pass 1 px to the right: bold
        dl->AddText(font, size, ImVec2(p.x + 14.0f + (float)i, p.y + 10.0f), PackCol(ColGold), kHint, nullptr, wrap);
    ImGui::Dummy(ImVec2(w, h));
    ImGui::Dummy(ImVec2(0.0f, 10.0f));
}

void CodeCard(const std::string& code)
{
    FieldLabel("ROOM CODE");
    ImGui::BeginChild("codecard", ImVec2(0.0f, 60.0f), true, ImGuiWindowFlags_NoScrollbar);
    ImGui::SetCursorPos(ImVec2(14.0f, 14.0f));
    TextInFont(FontDisplay, ColAccent, code.empty() ? "-----" : code.c_str());
    static const char kShare[] = "Share this code";
    const float w = std::ceil(ImGui::CalcTextSize(kShare).x);
    ImGui::SetCursorPos(ImVec2(ImGui::GetWindowWidth() - w - 14.0f, 24.0f));
    TextColoured(ColMuted, kShare);
    ImGui::EndChild();
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
}

void RoomInfo(const LobbyView& v)
{
    if (v.chapter.empty() && v.stage.empty() && v.mod.empty())
        return;
    FieldLabel("ROOM INFO");
    ImGui::Dummy(ImVec2(0.0f, 4.0f));
    if (!v.chapter.empty() || !v.stage.empty()) {
        TextColoured(ColMuted, "Chapter / Stage");
        ImGui::SameLine(0.0f, 10.0f);
        std::string line = v.chapter.empty() ? "-" : v.chapter;
        if (!v.stage.empty())
            line += "  -  " + v.stage;
        TextColoured(ColText, line.c_str());
    }
    if (!v.mod.empty()) {
        TextColoured(ColMuted, "Mod");
        ImGui::SameLine(0.0f, 10.0f);
        TextColoured(ColText, v.mod.c_str());
    }
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
}

// The partner's builds, when its requests name them, and a warning when they
// may not play with this one.
void PartnerVersions(const LobbyView& v)
{
    if (v.partner.empty() || (v.partner_kestrel.empty() && v.partner_game.empty()))
        return;
    ImGui::Dummy(ImVec2(0.0f, 4.0f));
    const std::string line = "Partner runs Kestrel " + (v.partner_kestrel.empty() ? "-" : v.partner_kestrel) +
                             ", game " + (v.partner_game.empty() ? "-" : v.partner_game);
    TextColoured(ColDim, line.c_str());
    for (const std::string& w : VersionWarnings(KestrelVersion(), GameVersion(), v.partner_kestrel, v.partner_game))
        TextWrappedColoured(ColWarn, w.c_str());
}

void Players(const LobbyView& v)
{
    const bool host = v.role == 'A';
    FieldLabel("PLAYERS");
    ImGui::Dummy(ImVec2(0.0f, 4.0f));
    PlayerSlot("##slot_self", v.name.c_str(), host ? "You - Host (A)" : "You - Joiner (B)", host, v.my_ready ? 1 : 0);
    ImGui::Dummy(ImVec2(0.0f, 8.0f));
    if (v.partner.empty())
        PlayerSlot("##slot_wait", "Waiting for a player...", "Share your room code to invite someone", false, -1);
    else
        PlayerSlot("##slot_peer", v.partner.c_str(), host ? "Partner - Joiner (B)" : "Partner - Host (A)", !host,
                   v.peer_ready ? 1 : 0);
    PartnerVersions(v);
    ImGui::Dummy(ImVec2(0.0f, 14.0f));
}

void ChatBand()
{
    const ImVec2 p = ImGui::GetCursorScreenPos();
    const float w = ImGui::GetContentRegionAvail().x;
    const float pulse = 0.5f + 0.5f * std::sin(3.0f * (float)ImGui::GetTime());
    ImDrawList* dl = ImGui::GetWindowDrawList();
    const ImVec2 end(p.x + w, p.y + 34.0f);
    const ImU32 left = PackCol(ColAccent, 0.2f + 0.12f * pulse), right = PackCol(ColAccent, 0.03f);
    dl->AddRectFilledMultiColor(p, end, left, right, right, left);
    dl->AddRect(p, end, PackCol(ColAccentHover, 0.55f), 8.0f, 0, 1.5f);
    dl->AddRectFilled(p, ImVec2(p.x + 4.0f, end.y), PackCol(ColAccentHover), 8.0f);
    dl->AddCircleFilled(ImVec2(p.x + 22.0f, p.y + 17.0f), 4.5f + 1.5f * pulse, PackCol(ColGreen, 0.65f + 0.35f * pulse));
    KitDrawText(dl, FontUi, FontUi ? FontUi->FontSize : 0.0f, ImVec2(p.x + 38.0f, p.y + 7.0f), PackCol(ColText),
                "LOBBY CHAT");
    static const char kSayHi[] = "Say hi - agree on your chapter & stage";
    const float hint_w = std::ceil(ImGui::CalcTextSize(kSayHi).x);
    if (hint_w + 200.0f < w)
        KitDrawText(dl, ImVec2(p.x + w - hint_w - 12.0f, p.y + 10.0f), PackCol(ColMuted), kSayHi);
    ImGui::Dummy(ImVec2(0.0f, 40.0f));
}

void ChatList(const LobbyView& v)
{
    // Copied into a list the page keeps, so its strings' storage is reused.
    {
        std::lock_guard<std::mutex> hold(g_app.chat.lock);
        g_ui.lobby_chat = g_app.chat.chat_messages;
    }
    const ImVec4 border(ColAccent.x, ColAccent.y, ColAccent.z, 0.35f);
    ImGui::PushStyleColor(ImGuiCol_Border, border);
    // The wheel scrolls the page; the list scrolls by its scrollbar.
    ImGui::BeginChild("lobbychat", ImVec2(0.0f, 150.0f), true, ImGuiWindowFlags_NoScrollWithMouse);
    if (g_ui.lobby_chat.empty()) {
        TextWrappedColoured(ColDim, v.partner.empty() ? "Waiting for your partner to join - you can start typing now."
                                                      : "No messages yet. Say hi and ask what chapter they're on!");
    }
    for (const ChatMessage& m : g_ui.lobby_chat) {
        const float avail = ImGui::GetContentRegionAvail().x;
        const float wrap = 0.78f * avail;
        const bool own = !m.role.empty() && m.role[0] == v.role;
        // Own lines sit at the right under "You"; every body in the text
        // colour, the names above them in their own.
        if (own) {
            const float body_w =
                m.body.empty() ? 0.0f : std::ceil(ImGui::CalcTextSize(m.body.c_str(), nullptr, false, wrap).x);
            const float you_w = std::ceil(ImGui::CalcTextSize("You").x);
            const float x = ImGui::GetCursorPosX();
            ImGui::SetCursorPosX(x + ImMax(0.0f, avail - you_w - 14.0f));
            TextColoured(ColMuted, "You");
            ImGui::SetCursorPosX(x + ImMax(0.0f, avail - body_w - 14.0f));
        } else {
            TextColoured(ColAccent, m.name.empty() ? "Partner" : m.name.c_str());
        }
        ImGui::PushTextWrapPos(ImGui::GetCursorPosX() + wrap);
        TextColoured(ColText, m.body.c_str());
        ImGui::PopTextWrapPos();
        ImGui::Dummy(ImVec2(0.0f, 4.0f));
    }
    // Follow new lines unless the player scrolled up to read.
    if (ImGui::GetScrollY() >= ImGui::GetScrollMaxY() - 60.0f)
        ImGui::SetScrollHereY(1.0f);
    ImGui::EndChild();
    ImGui::PopStyleColor();
}

void ChatInput()
{
    char* input = g_app.chat.chat_input;
    ImGui::SetNextItemWidth(-90.0f);
    const bool entered = ImGui::InputTextWithHint("##lobbychatin", "Type a message...", input,
                                                  sizeof(g_app.chat.chat_input), ImGuiInputTextFlags_EnterReturnsTrue);
    ImGui::SameLine();
    const bool send = AccentButton("Send", ImVec2(78.0f, 0.0f));
    if ((entered || send) && input[0] != 0) {
        SendChat(std::string(input));
        input[0] = 0;
    }
}

void StatusAndControls(const LobbyView& v)
{
    ImGui::Dummy(ImVec2(0.0f, 14.0f));
    // The frame's facts, as the pill and the Co-op button read them.
    SessionFacts f = FrameSessionFacts();
    f.room_state = RoomIn;
    const SessionStatus status = SessionStatusFor(f);
    TextColoured(status.colour, status.lobby);
    if (!v.linked && v.started && LinkRefusedPlain())
        TextWrappedColoured(ColWarn, "Not connecting: your partner's Kestrel is older and cannot encrypt the link, "
                                     "and you only play over an encrypted link (Settings).");
    if (v.linked) {
        // The room, the ready flags and the link all wait for a return.
        ImGui::Dummy(ImVec2(0.0f, 10.0f));
        DrawConnectionQuality();
    }
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
    if (v.linked) {
        // No ready button in a session; the word only where it is true.
        if (status.phase == PhaseConnected)
            TextColoured(ColGreen, "Connected");
    } else if (!v.my_ready) {
        if (AccentButton("Ready Up", ImVec2(-1.0f, 44.0f)))
            RequestReadyChange(true, SteadyNowNs());
    } else if (ImGui::Button("Cancel Ready", ImVec2(-1.0f, 44.0f))) {
        RequestReadyChange(false, SteadyNowNs());
    }
    ImGui::Dummy(ImVec2(0.0f, 8.0f));
    if (ImGui::Button("Leave Room", ImVec2(-1.0f, 38.0f))) {
        LeaveRoom();
        GoToPage(PageHome);
    }
}

void DrawLobby()
{
    PageHeader("MATCHMAKING", "Lobby");
    HintBanner();
    const LobbyView v = TakeLobbyView();
    CodeCard(v.code);
    RoomInfo(v);
    Players(v);
    DrawNameplateSection();
    ImGui::Dummy(ImVec2(0.0f, 6.0f));
    const double now = ImGui::GetTime();
    if (now - g_ui.lobby_chat_poll > 3.0) {
        g_ui.lobby_chat_poll = now;
        PollChat();
    }
    ChatBand();
    ChatList(v);
    ChatInput();
    StatusAndControls(v);
}

} // namespace

//-----------------------------------------------------------------------------
// [SECTION] The page
//-----------------------------------------------------------------------------

void DrawMatchmakingPage()
{
    const int32_t state = g_app.flags.room_state.load();
    if (state == RoomBusy) {
        PageHeader("MATCHMAKING", "Find a Match");
        ImGui::Dummy(ImVec2(0.0f, 8.0f));
        TextColoured(ColMuted, "Searching for a match...");
        return;
    }
    if (state != RoomIdle && state != RoomFailed) {
        DrawLobby();
        return;
    }
    PageHeader("MATCHMAKING", "Find a Match");
    TextWrappedColoured(ColMuted, "Quickmatch pairs you with an available player and drops you both into a lobby. "
                                  "If nobody's waiting, you'll host and wait for a partner to join.");
    ImGui::Dummy(ImVec2(0.0f, 16.0f));
    if (AccentButton("Quickmatch", ImVec2(-1.0f, 48.0f)))
        StartRoomOp({.mode = RoomOpQuickmatch});
    ImGui::Dummy(ImVec2(0.0f, 10.0f));
    if (ImGui::Button("Create a Room instead", ImVec2(-1.0f, 40.0f)))
        GoToPage(PageCreate);
    std::string rejoin;
    if (RejoinOffer(rejoin)) {
        ImGui::Dummy(ImVec2(0.0f, 10.0f));
        if (ImGui::Button(("Rejoin Room " + rejoin).c_str(), ImVec2(-1.0f, 40.0f)))
            RejoinSavedRoom();
    }
    if (state == RoomFailed) {
        ImGui::Dummy(ImVec2(0.0f, 12.0f));
        DrawRoomError();
    }
}
