// Names and words in the players' own scripts: drawn from the atlas, never as
// the fallback "?"; CJK characters grown into it between frames, once.
#include "room_pages_fixture.h"

#include "state/toasts.h"
#include "ui/fonts.h"

#include <imgui_internal.h>

namespace {

// Where a font's "?" sits in the atlas: a text holding no "?" that draws
// one fell back.
bool DrewFallback(const ImDrawList* dl)
{
    for (ImFont* font : {FontUi, FontDisplay, FontSmall}) {
        const ImFontGlyph* q = font ? font->FindGlyphNoFallback('?') : nullptr;
        if (!q)
            continue;
        for (const ImDrawVert& v : dl->VtxBuffer)
            if (v.uv.x == q->U0 && v.uv.y == q->V0)
                return true;
    }
    return false;
}

int ListsWithFallback()
{
    int n = 0;
    const ImDrawData* data = ImGui::GetDrawData();
    for (int i = 0; data && i < data->CmdListsCount; i++)
        n += DrewFallback(data->CmdLists[i]) ? 1 : 0;
    return n;
}

void SetName(const char* name)
{
    std::lock_guard<std::mutex> hold(g_app.account.lock);
    strcpy(g_app.account.display_name, name);
}

void EnterLobby(const char* partner)
{
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        g_app.room.room_code = "QX7K2P";
        g_app.room.room_role = 'A';
        g_app.room.room_partner = partner;
    }
    g_app.room.partner_present = true;
    g_app.flags.room_state = RoomIn;
}

void AddChat(const char* name, const char* body)
{
    std::lock_guard<std::mutex> hold(g_app.chat.lock);
    ChatMessage m;
    m.id = (int32_t)g_app.chat.chat_messages.size() + 1;
    m.role = "B";
    m.name = name;
    m.body = body;
    g_app.chat.chat_messages.push_back(m);
}

std::vector<SystemFontFile> NoSystemFonts(CjkScript)
{
    return {};
}

class GlyphsUi : public RoomPagesUi
{
};

} // namespace

TEST_F(GlyphsUi, CyrillicGreekAndVietnameseComeFromTheShippedFaces)
{
    SetName("Дмитрий");
    ShowPage(PageHome);
    EXPECT_TRUE(Shows("Дмитрий")) << DriverText();
    EXPECT_EQ(ListsWithFallback(), 0);

    EnterLobby("Νίκη");
    AddChat("Νίκη", "Γεια σου! Chào bạn, Nguyễn Văn An. Zoë Łukasiewicz – 5 €");
    ShowPage(PageMatchmaking);
    DriverFrame(2);
    EXPECT_TRUE(Shows("Νίκη")) << DriverText();
    EXPECT_TRUE(Shows("Nguyễn Văn An"));
    EXPECT_EQ(ListsWithFallback(), 0);

    PushToast("Νίκη", "Дмитрий joined your lobby.", 4.8f);
    DriverFrame(20);
    EXPECT_TRUE(Shows("Дмитрий joined your lobby.")) << DriverText();
    EXPECT_EQ(ListsWithFallback(), 0);
    // None of it needed the system's fonts.
    EXPECT_EQ(FontGrowthInfo().builds, 0);
    EXPECT_EQ(FontGrowthInfo().pending, 0);
}

TEST_F(GlyphsUi, ACjkChatLineGrowsTheAtlasOnceBetweenFrames)
{
    EnterLobby("佐藤花子");
    ShowPage(PageMatchmaking);
    // The partner's name in its slot grew the atlas while the menu opened.
    EXPECT_EQ(FontGrowthInfo().builds, 1);
    EXPECT_NE(FontUi->FindGlyphNoFallback(0x4F50), nullptr);
    const int frames_before = ImGui::GetFrameCount();
    AddChat("佐藤花子", "こんにちは、김민준님! 一起玩吧");
    DriverFrame(1);
    EXPECT_GT(ListsWithFallback(), 0) << "drawn as ? until the atlas grows";
    EXPECT_GT(FontGrowthInfo().pending, 0);

    // Half a second of frames: one rebuild, at most kGrowIntervalSeconds
    // after the first sighting, and then every character is in the atlas.
    DriverFrame(30);
    const FontGrowthStats s = FontGrowthInfo();
    EXPECT_EQ(s.builds, 2);
    EXPECT_FALSE(s.built_in_frame);
    EXPECT_EQ(s.pending, 0);
    EXPECT_EQ(ListsWithFallback(), 0);
    for (const char* p = "佐藤花子こんにちは김민준님一起玩吧"; *p;) {
        unsigned cp;
        p += ImTextCharFromUtf8(&cp, p, nullptr);
        EXPECT_NE(FontUi->FindGlyphNoFallback((ImWchar)cp), nullptr) << std::hex << cp;
        EXPECT_NE(FontDisplay->FindGlyphNoFallback((ImWchar)cp), nullptr) << std::hex << cp;
    }
    EXPECT_GT(ImGui::GetFrameCount() - frames_before, 30);

    // Drawn again and again, known characters ask for nothing more; a new one
    // grows the atlas once more.
    DriverFrame(60);
    EXPECT_EQ(FontGrowthInfo().builds, 2);
    AddChat("김민준", "안녕");
    DriverFrame(30);
    EXPECT_EQ(FontGrowthInfo().builds, 3);
    EXPECT_EQ(ListsWithFallback(), 0);
}

TEST_F(GlyphsUi, WithoutASystemCjkFontTheCharactersStayQuestionMarks)
{
    DriverStop();
    DriverStart(ImVec2(1280.0f, 1500.0f));
    g_ui.main_window_h = 1440.0f;
    ResetFontGrowth(NoSystemFonts);
    unsigned char* pixels;
    int w, h;
    ImGui::GetIO().Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    const int tex_h = h;

    EnterLobby("佐藤花子");
    AddChat("佐藤花子", "こんにちは Дмитрий");
    ShowPage(PageMatchmaking);
    DriverFrame(60);
    EXPECT_TRUE(Shows("Дмитрий"));
    EXPECT_EQ(FontGrowthInfo().builds, 0);
    EXPECT_EQ(FontGrowthInfo().pending, 0) << "dropped, not asked for every frame";
    EXPECT_GT(ListsWithFallback(), 0);
    ImGui::GetIO().Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    EXPECT_EQ(h, tex_h);
}
