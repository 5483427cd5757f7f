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
#include "link/peer_link.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/kit.h"
#include "ui/palette.h"
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

// The last minute of round trips as one line, oldest at the left; the scale
// tops out at the larger of 100 ms and the highest sample.
static void RttGraph(ImDrawList* dl, const ImVec2& min, const ImVec2& max, const SyncHealth& h)
{
    dl->AddRectFilled(min, max, PackCol(ColPanel, 0.6f), 4.0f);
    if (h.rtt.empty())
        return;
    float top = 100.0f;
    for (const RttSample& s : h.rtt)
        top = ImMax(top, s.rtt_ms);
    const float w = max.x - min.x, hgt = max.y - min.y - 4.0f;
    ImVec2 points[64];
    int n = 0;
    const size_t first = h.rtt.size() > 64 ? h.rtt.size() - 64 : 0;
    for (size_t i = first; i < h.rtt.size(); i++) {
        const float age = (float)((h.now_ms - h.rtt[i].at_ms) / kRttHistoryMs);
        points[n++] = ImVec2(max.x - w * ImClamp(age, 0.0f, 1.0f), max.y - 2.0f - hgt * h.rtt[i].rtt_ms / top);
    }
    if (n == 1)
        dl->AddCircleFilled(points[0], 2.0f, PackCol(ColAccent));
    else
        dl->AddPolyline(points, n, PackCol(ColAccent), 0, 1.5f);
}

// "0.3 s", "42 s", "3 min"; "-" for never.
static void AgeText(char* out, size_t size, double seconds)
{
    if (seconds < 0)
        ImFormatString(out, size, "-");
    else if (seconds < 10)
        ImFormatString(out, size, "%.1f s", seconds);
    else if (seconds < 120)
        ImFormatString(out, size, "%d s", (int)seconds);
    else
        ImFormatString(out, size, "%d min", (int)(seconds / 60));
}

// Per channel: how long ago the partner's last file came and the own last
// went out, muted; amber where the partner's side has gone quiet. Then the
// one-click resend of the own files.
static void SyncRows(const SyncHealth& h)
{
    ImGui::Dummy(ImVec2(0.0f, 4.0f));
    const float x0 = ImGui::GetCursorPosX();
    for (size_t i = 0; i < kChannelCount; i++) {
        const ChannelHealth& c = h.channels[i];
        char in[24], out[24], line[96];
        AgeText(in, sizeof(in), c.received_age_s);
        AgeText(out, sizeof(out), c.sent_age_s);
        TextColoured(ColDim, ChannelShortName(i));
        ImGui::SameLine(x0 + 96.0f);
        ImFormatString(line, sizeof(line), "partner %s ago", in);
        TextColoured(c.late ? ColGold : ColMuted, c.received_age_s < 0 ? "partner -" : line);
        ImGui::SameLine(x0 + 236.0f);
        ImFormatString(line, sizeof(line), "mine %s ago", out);
        TextColoured(ColMuted, c.sent_age_s < 0 ? "mine -" : line);
    }
    ImGui::Dummy(ImVec2(0.0f, 6.0f));
    if (OutlineButton("Resend my files", 32.0f))
        RequestOwnFilesResend();
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
    // The figures are from before the drop: what matters now is who is gone.
    if (g_app.room.reconnecting.load())
        rating = {"Reconnecting...", 0, ColGold};
    else if (g_app.room.partner_away.load())
        rating = {"Partner reconnecting...", 0, ColGold};
    TextColoured(ColMuted, "CONNECTION");
    ImGui::SameLine(0.0f, 12.0f);
    TextColoured(rating.colour, rating.word);
    if (rtt >= 0) {
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
    const SyncHealth health = LinkSyncHealth();
    const float graph_x = p.x + 64.0f;
    RttGraph(dl, ImVec2(graph_x, p.y), ImVec2(ImMax(graph_x + 40.0f, p.x + ImGui::GetContentRegionAvail().x), base),
             health);
    ImGui::Dummy(ImVec2(0.0f, 26.0f));
    SyncRows(health);
}

//-----------------------------------------------------------------------------
// [SECTION] Lobby pieces
//-----------------------------------------------------------------------------

namespace {

// What one lobby frame draws from, each copy taken once.
struct LobbyView
{
    std::string code, partner, chapter, stage, mod, name;
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
        if (own) {
            const float body_w =
                m.body.empty() ? 0.0f : std::ceil(ImGui::CalcTextSize(m.body.c_str(), nullptr, false, wrap).x);
            ImGui::SetCursorPosX(ImGui::GetCursorPosX() + ImMax(0.0f, avail - body_w - 14.0f));
        } else {
            TextColoured(ColAccent, m.name.empty() ? "Partner" : m.name.c_str());
        }
        ImGui::PushTextWrapPos(ImGui::GetCursorPosX() + wrap);
        TextColoured(own ? ColAccentHover : ColText, m.body.c_str());
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

void SessionStatus(const LobbyView& v)
{
    ImGui::Dummy(ImVec2(0.0f, 14.0f));
    if (v.reconnecting || v.partner_away) {
        // The room, the ready flags and the link all wait for the return.
        TextColoured(ColGold, v.reconnecting ? "Reconnecting..." : "Partner reconnecting...");
        if (v.linked) {
            ImGui::Dummy(ImVec2(0.0f, 10.0f));
            DrawConnectionQuality();
        }
    } else if (v.linked) {
        TextColoured(ColGreen, "Connected - load into the same area to play together.");
        ImGui::Dummy(ImVec2(0.0f, 10.0f));
        DrawConnectionQuality();
    } else if (v.started) {
        TextColoured(ColGreen, "Both ready - connecting...");
    } else if (!v.partner.empty()) {
        TextColoured(ColMuted, "Both players must ready up to connect.");
    } else {
        TextColoured(ColMuted, "Waiting for a partner to join.");
    }
    ImGui::Dummy(ImVec2(0.0f, 12.0f));
    if (v.linked)
        TextColoured(ColGreen, "Connected");
    else if (!v.my_ready) {
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
    SessionStatus(v);
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
