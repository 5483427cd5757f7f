// Names and words in the players' own scripts: drawn from the atlas, never as
// the fallback "?"; CJK characters grown into it between frames, once.
#include "room_pages_fixture.h"

#include "state/toasts.h"
#include "ui/fonts.h"
#include "ui/input_queue.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Draw lists of the last frame that used some font's "?" glyph; the texts
// drawn here hold no "?", so each one fell back.
int ListsWithFallback()
{
    int n = 0;
    const ImDrawData* data = ImGui::GetDrawData();
    for (int i = 0; data && i < data->CmdListsCount; i++) {
        bool fell = false;
        for (ImFont* font : {FontUi, FontDisplay, FontSmall})
            if (const ImFontGlyph* q = font->FindGlyphNoFallback('?'))
                for (const ImDrawVert& v : data->CmdLists[i]->VtxBuffer)
                    fell = fell || (v.uv.x == q->U0 && v.uv.y == q->V0);
        n += fell ? 1 : 0;
    }
    return n;
}

void EnterLobby(const char* partner, const char* name, const char* line)
{
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        g_app.room.room_code = "QX7K2P";
        g_app.room.room_role = 'A';
        g_app.room.room_partner = partner;
    }
    g_app.room.partner_present = true;
    g_app.flags.room_state = RoomIn;
    std::lock_guard<std::mutex> hold(g_app.chat.lock);
    g_app.chat.chat_messages.push_back(ChatMessage{(int32_t)g_app.chat.chat_messages.size() + 1, "B", name, line});
}

std::vector<SystemFontFile> NoSystemFonts(CjkScript)
{
    return {};
}

// Frames (at least one) until `builds` atlases were swapped in and no build
// runs; the worker's time is real time, the frames' is not.
bool FramesUntilGrown(int builds)
{
    for (int i = 0; i < 5000; i++) {
        DriverFrame(1);
        if (FontGrowthInfo().builds >= builds && !FontBuildInFlight() && FontGrowthInfo().pending == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// The system fonts "found" on a worker that the test lets go once the render
// thread has drawn on meanwhile.
std::atomic<int> g_frames_while_reading{-1};
std::atomic<bool> g_read_on_render_thread{false};
std::thread::id g_render_thread;

std::vector<SystemFontFile> SlowSystemFonts(CjkScript script)
{
    g_read_on_render_thread = std::this_thread::get_id() == g_render_thread;
    for (int i = 0; i < 500 && g_frames_while_reading.load() < 10 && !g_read_on_render_thread; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return FindCjkFontFiles(script);
}

using GlyphsUi = RoomPagesUi;

} // namespace

TEST_F(GlyphsUi, CyrillicGreekAndVietnameseComeFromTheShippedFaces)
{
    strcpy(g_app.account.display_name, "Дмитрий");
    ShowPage(PageHome);
    EXPECT_TRUE(Shows("Дмитрий")) << DriverText();
    EXPECT_EQ(ListsWithFallback(), 0);

    EnterLobby("Νίκη", "Νίκη", "Γεια σου! Chào bạn, Nguyễn Văn An. Zoë Łukasiewicz – 5 €");
    PushToast("Νίκη", "Дмитрий joined your lobby.", 4.8f);
    ShowPage(PageMatchmaking);
    EXPECT_TRUE(Shows("Νίκη")) << DriverText();
    EXPECT_TRUE(Shows("Nguyễn Văn An"));
    EXPECT_TRUE(Shows("Дмитрий joined your lobby."));
    EXPECT_EQ(ListsWithFallback(), 0);
    EXPECT_EQ(FontGrowthInfo().builds, 0) << "none of it needed a system font";
    EXPECT_EQ(FontGrowthInfo().pending, 0);
}

TEST_F(GlyphsUi, CjkTextGrowsTheAtlasOnceBetweenFramesAndOnlyForNewCharacters)
{
    EnterLobby("佐藤花子", "佐藤花子", "こんにちは、김민준님! 一起玩吧");
    g_app.shell.current_page = PageMatchmaking;
    DriverKey(kVkEnd);
    DriverFrame(1);
    EXPECT_GT(ListsWithFallback(), 0) << "drawn as ? until the atlas grows";
    EXPECT_GT(FontGrowthInfo().pending, 0);

    ASSERT_TRUE(FramesUntilGrown(1));
    FontGrowthStats s = FontGrowthInfo();
    EXPECT_EQ(s.builds, 1);
    EXPECT_FALSE(s.built_in_frame);
    EXPECT_EQ(s.pending, 0);
    EXPECT_EQ(ListsWithFallback(), 0);
    for (const char* p = "佐藤花子こんにちは김민준님一起玩吧"; *p;) {
        unsigned cp;
        p += ImTextCharFromUtf8(&cp, p, nullptr);
        EXPECT_NE(FontDisplay->FindGlyphNoFallback((ImWchar)cp), nullptr) << std::hex << cp;
    }

    EnterLobby("佐藤花子", "김민준", "안녕 花子");
    DriverFrame(20); // past the interval since the last build
    ASSERT_TRUE(FramesUntilGrown(2));
    EXPECT_EQ(FontGrowthInfo().builds, 2) << "one more for the two new characters";
    EXPECT_EQ(FontGrowthInfo().grown, s.grown + 2);
    EXPECT_EQ(ListsWithFallback(), 0);
}

TEST_F(GlyphsUi, WithoutASystemCjkFontTheCharactersStayQuestionMarks)
{
    ResetFontGrowth(NoSystemFonts);
    const int tex_h = ImGui::GetIO().Fonts->TexHeight;
    EnterLobby("佐藤花子", "佐藤花子", "こんにちは Дмитрий");
    ShowPage(PageMatchmaking);
    EXPECT_TRUE(Shows("Дмитрий"));
    ASSERT_TRUE(FramesUntilGrown(0));
    EXPECT_EQ(FontGrowthInfo().builds, 0);
    EXPECT_EQ(FontGrowthInfo().pending, 0) << "dropped, not asked for every frame";
    EXPECT_GT(ListsWithFallback(), 0);
    EXPECT_EQ(ImGui::GetIO().Fonts->TexHeight, tex_h);
}

// Reading a 5-20 MB system font and building the atlas take tens to hundreds
// of milliseconds: the game's frames go on meanwhile, drawing "?", and the
// grown atlas arrives between two of them.
TEST_F(GlyphsUi, TheAtlasGrowsAwayFromTheRenderThreadWhileFramesGoOn)
{
    g_render_thread = std::this_thread::get_id();
    g_frames_while_reading = -1;
    ResetFontGrowth(SlowSystemFonts);
    EnterLobby("佐藤花子", "佐藤花子", "一起玩吧");
    g_app.shell.current_page = PageMatchmaking;
    DriverKey(kVkEnd);
    DriverFrame(2); // noted, and the build started
    g_frames_while_reading = 0;
    for (int i = 0; i < 10; i++) {
        DriverFrame(1);
        g_frames_while_reading++;
    }
    EXPECT_FALSE(g_read_on_render_thread) << "the fonts were read inside a frame";
    EXPECT_GT(ListsWithFallback(), 0) << "? until the new atlas is in";
    EXPECT_EQ(FontGrowthInfo().builds, 0);
    ASSERT_TRUE(FramesUntilGrown(1));
    EXPECT_FALSE(FontGrowthInfo().built_in_frame);
    EXPECT_EQ(ListsWithFallback(), 0);
    EXPECT_NE(FontDisplay->FindGlyphNoFallback(0x73A9), nullptr); // 玩
    EXPECT_EQ(ImGui::GetIO().Fonts->Fonts[0], FontUi);
}

// A player typing in their own script sees their characters as they type
// them, though nothing else on screen has drawn them yet; the password's
// characters stay unasked (only its mask is drawn).
TEST_F(GlyphsUi, TextTypedInAFieldBringsItsOwnGlyphs)
{
    EnterLobby("Bob", "Bob", "hi");
    ShowPage(PageMatchmaking);
    ASSERT_TRUE(DriverClick("##lobbychatin")) << DriverText();
    // 一起玩吧, a space and an emoji as Windows sends it: a surrogate pair.
    for (uint32_t c : {0x4E00u, 0x8D77u, 0x73A9u, 0x5427u, 0x20u, 0xD83Du, 0xDE00u})
        QueueCharEvent(c);
    DriverFrame(2);
    EXPECT_GT(ListsWithFallback(), 0) << "? until the atlas grows";
    ASSERT_TRUE(FramesUntilGrown(1)) << "the field's own text was never asked for";
    EXPECT_EQ(std::string(g_app.chat.chat_input), "\u4E00\u8D77\u73A9\u5427 \U0001F600")
        << "the surrogate pair arrives as one character";
    EXPECT_NE(FontUi->FindGlyphNoFallback(0x73A9), nullptr);
    EXPECT_EQ(FontGrowthInfo().grown, 4);
}
