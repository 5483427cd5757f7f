// The host layer's boundary and window-message decoding (Windows build, run
// under Wine).
#include "host/plugin_callbacks.h"
#include "host/reframework_api.h"
#include "host/window_input.h"
#include "overlay_fixture.h"
#include "ui/overlay_input.h"

#include <imm.h>

#include <stdexcept>
#include <thread>
#include <string>

namespace {

using HostMessages = OverlayTest;

std::string ErrorOf(void (*fn)())
{
    try {
        fn();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

bool g_menu_shown = false;
bool MenuShown()
{
    return g_menu_shown;
}

TEST(HostApi, LifecycleAndItsThreeErrors)
{
    static HostFunctions functions = {};
    static HostRendererData renderer = {HostRendererD3D11, nullptr, nullptr, nullptr};
    static int sdk = 0;
    static HostInitParam param = {nullptr, nullptr, &functions, &renderer, &sdk};
    functions.menu_shown = MenuShown;

    EXPECT_FALSE(reframework::API::exists());
    EXPECT_EQ(ErrorOf([] { reframework::API::get(); }), "API not initialized");
    EXPECT_EQ(ErrorOf([] { HostMenuShown(); }), "API not initialized");
    EXPECT_EQ(ErrorOf([] { reframework::API::initialize(nullptr); }), "param is null");
    EXPECT_FALSE(reframework::API::exists()) << "a null param creates nothing";

    reframework::API& api = reframework::API::initialize(&param);
    EXPECT_EQ(&reframework::API::get(), &api);
    EXPECT_EQ(api.param(), &param);
    EXPECT_EQ(api.sdk(), &sdk);
    EXPECT_EQ(api.renderer_data(), &renderer);
    EXPECT_EQ(ErrorOf([] { reframework::API::initialize(&param); }), "API already initialized");
    EXPECT_EQ(&reframework::API::get(), &api) << "the first instance stays";

    // The thirteenth member of the table answers whether the host's menu is shown.
    g_menu_shown = true;
    EXPECT_TRUE(HostMenuShown());
    g_menu_shown = false;
    EXPECT_FALSE(HostMenuShown());
}

uint8_t NewestButtons(std::vector<InputButtonEvent>* events = nullptr)
{
    std::lock_guard<std::mutex> g(g_app.input.lock);
    if (events && !g_app.input.frames.empty())
        *events = g_app.input.frames.back().buttons;
    return g_app.input.buttons_down;
}

InputFrame Newest()
{
    std::lock_guard<std::mutex> g(g_app.input.lock);
    return g_app.input.frames.empty() ? InputFrame{} : g_app.input.frames.back();
}

TEST_F(HostMessages, MouseButtonsWheelKeysAndCharactersAreQueued)
{
    QueueWindowInput(nullptr, WM_LBUTTONDOWN, 0, 0);
    QueueWindowInput(nullptr, WM_RBUTTONDBLCLK, 0, 0);
    QueueWindowInput(nullptr, WM_MBUTTONDOWN, 0, 0);
    QueueWindowInput(nullptr, WM_XBUTTONDOWN, MAKEWPARAM(0, XBUTTON1), 0);
    QueueWindowInput(nullptr, WM_XBUTTONDOWN, MAKEWPARAM(0, XBUTTON2), 0);
    EXPECT_EQ(NewestButtons(), 0x1Fu);
    QueueWindowInput(nullptr, WM_XBUTTONUP, MAKEWPARAM(0, XBUTTON1), 0);
    QueueWindowInput(nullptr, WM_LBUTTONUP, 0, 0);
    std::vector<InputButtonEvent> events;
    EXPECT_EQ(NewestButtons(&events), 0x16u);
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events[3].button, 3);
    EXPECT_EQ(events[4].button, 4);
    EXPECT_FALSE(events[6].down);

    QueueWindowInput(nullptr, WM_MOUSEWHEEL, MAKEWPARAM(0, 240), 0);
    QueueWindowInput(nullptr, WM_MOUSEWHEEL, MAKEWPARAM(0, (WORD)-120), 0);
    QueueWindowInput(nullptr, WM_MOUSEHWHEEL, MAKEWPARAM(0, 120), 0);
    QueueWindowInput(nullptr, WM_SYSKEYDOWN, VK_F4, 0);
    QueueWindowInput(nullptr, WM_KEYUP, 'A', 0);
    QueueWindowInput(nullptr, WM_KEYDOWN, 300, 0);
    QueueWindowInput(nullptr, WM_CHAR, 'k', 0);
    QueueWindowInput(nullptr, WM_CHAR, 0, 0);
    QueueWindowInput(nullptr, WM_CHAR, 0x1F600, 0);
    const InputFrame f = Newest();
    EXPECT_FLOAT_EQ(f.wheel, 1.0f);
    EXPECT_FLOAT_EQ(f.wheel_h, 1.0f);
    ASSERT_EQ(f.keys.size(), 2u) << "code 300 is dropped";
    EXPECT_EQ(f.keys[0].vk, VK_F4);
    EXPECT_TRUE(f.keys[0].down);
    EXPECT_FALSE(f.keys[1].down);
    EXPECT_EQ(f.chars, std::vector<uint16_t>{'k'});

    QueueWindowInput(nullptr, WM_KILLFOCUS, 0, 0);
    EXPECT_TRUE(Newest().focus_lost);
    EXPECT_EQ(NewestButtons(), 0u);
}

TEST_F(HostMessages, CursorShapeRequestsInTheClientArea)
{
    g_app.overlay.mouse_cursor = ImGuiMouseCursor_TextInput;
    EXPECT_EQ(QueueWindowInput(nullptr, WM_SETCURSOR, 0, MAKELPARAM(HTCLIENT, 0)), 1);
    EXPECT_EQ(QueueWindowInput(nullptr, WM_SETCURSOR, 0, MAKELPARAM(HTCAPTION, 0)), 0);
    g_app.overlay.mouse_cursor = kCursorUnchanged;
    EXPECT_EQ(QueueWindowInput(nullptr, WM_SETCURSOR, 0, MAKELPARAM(HTCLIENT, 0)), 0);
    g_app.overlay.mouse_cursor = ImGuiMouseCursor_Arrow;
}

TEST_F(HostMessages, OnlyRelativeMouseRawInputMovesTheCursor)
{
    RAWINPUT raw = {};
    raw.header.dwType = RIM_TYPEMOUSE;
    raw.header.dwSize = sizeof(raw);
    raw.data.mouse.lLastX = -7;
    raw.data.mouse.lLastY = 12;
    float dx = 0, dy = 0;
    ASSERT_TRUE(DecodeRawMouseMotion(&raw, sizeof(raw), &dx, &dy));
    EXPECT_EQ(dx, -7.0f);
    EXPECT_EQ(dy, 12.0f);

    EXPECT_FALSE(DecodeRawMouseMotion(&raw, sizeof(RAWINPUTHEADER), &dx, &dy)) << "short record";
    EXPECT_FALSE(DecodeRawMouseMotion(nullptr, sizeof(raw), &dx, &dy));
    raw.data.mouse.usFlags = MOUSE_MOVE_ABSOLUTE;
    EXPECT_FALSE(DecodeRawMouseMotion(&raw, sizeof(raw), &dx, &dy)) << "absolute (tablet, remote desktop)";
    raw.data.mouse.usFlags = 0;
    raw.header.dwType = RIM_TYPEKEYBOARD;
    EXPECT_FALSE(DecodeRawMouseMotion(&raw, sizeof(raw), &dx, &dy));
    // A handle that is not raw input is refused, not read.
    EXPECT_FALSE(ReadRawMouseMotion((HRAWINPUT)(intptr_t)0x1234, &dx, &dy));
}

TEST_F(HostMessages, TheMessageCallbackTogglesAndWithholdsOnlyInput)
{
    const LPARAM repeat = (LPARAM)1 << 30;
    EXPECT_TRUE(OnMessage(nullptr, WM_KEYDOWN, VK_END, 0));
    EXPECT_TRUE(g_app.overlay.overlay_open.load());
    OnMessage(nullptr, WM_KEYDOWN, VK_END, repeat);
    EXPECT_TRUE(g_app.overlay.overlay_open.load()) << "auto-repeat does not toggle";
    OnMessage(nullptr, WM_KEYUP, VK_END, 0);
    OnMessage(nullptr, WM_SYSKEYDOWN, VK_END, 0);
    EXPECT_FALSE(g_app.overlay.overlay_open.load()) << "with Alt held it toggles too";
    // The high half of wparam is not part of the key.
    OnMessage(nullptr, WM_KEYDOWN, ((uint64_t)1 << 40) | VK_END, 0);
    EXPECT_TRUE(g_app.overlay.overlay_open.load());

    g_app.overlay.want_capture_mouse = true;
    EXPECT_FALSE(OnMessage(nullptr, WM_MOUSEMOVE, 0, 0));
    EXPECT_FALSE(OnMessage(nullptr, WM_LBUTTONDOWN, 0, 0));
    EXPECT_FALSE(OnMessage(nullptr, WM_CHAR, 'x', 0));
    EXPECT_FALSE(OnMessage(nullptr, WM_INPUT, 0, 0));
    EXPECT_TRUE(OnMessage(nullptr, WM_SIZE, 0, 0)) << "window management always reaches the game";
    EXPECT_TRUE(OnMessage(nullptr, WM_CLOSE, 0, 0));
    EXPECT_TRUE(OnMessage(nullptr, WM_ACTIVATEAPP, 0, 0));
    g_app.overlay.want_capture_mouse = false;
    g_app.overlay.want_capture_keyboard = true;
    EXPECT_FALSE(OnMessage(nullptr, WM_KEYDOWN, 'W', 0));
    g_app.overlay.want_capture_keyboard = false;
    EXPECT_TRUE(OnMessage(nullptr, WM_KEYDOWN, 'W', 0));
    EXPECT_TRUE(OnMessage(nullptr, WM_MOUSEMOVE, 0, 0));
}

// What the input method sends: committed text through WM_IME_CHAR only
// while the overlay keeps it from the game (else the game's default handling
// makes WM_CHARs of it, which would come twice), an ANSI window's characters
// as code-page bytes, and the composition window placed at the field's caret.
TEST_F(HostMessages, InputMethodTextAndCaret)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "KestrelAnsiTest";
    RegisterClassA(&wc);
    // Real windows on a display; message-only ones without (the unit stage
    // runs without one), which have no input context for the caret part.
    HWND ansi = CreateWindowExA(0, "KestrelAnsiTest", "ansi", 0, 0, 0, 64, 64, nullptr, nullptr, wc.hInstance,
                                nullptr);
    if (!ansi)
        ansi = CreateWindowExA(0, "KestrelAnsiTest", "ansi", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                               nullptr);
    WNDCLASSW wcw = {};
    wcw.lpfnWndProc = DefWindowProcW;
    wcw.hInstance = wc.hInstance;
    wcw.lpszClassName = L"KestrelWideTest";
    RegisterClassW(&wcw);
    HWND wide = CreateWindowExW(0, L"KestrelWideTest", L"wide", 0, 0, 0, 64, 64, nullptr, nullptr, wcw.hInstance,
                                nullptr);
    if (!wide)
        wide = CreateWindowExW(0, L"KestrelWideTest", L"wide", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wcw.hInstance,
                               nullptr);
    ASSERT_TRUE(ansi && wide);
    ASSERT_FALSE(IsWindowUnicode(ansi));

    g_app.overlay.want_capture_keyboard = true;
    g_app.overlay.want_text_input = true;
    EXPECT_FALSE(OnMessage(wide, WM_IME_CHAR, 0x4E00, 0)) << "kept from the game";
    OnMessage(wide, WM_CHAR, 0xD83D, 0);
    OnMessage(wide, WM_CHAR, 0xDE00, 0);
    // Code page 1252 (Wine's default): byte 0x80 is the euro sign.
    const bool cp1252 = GetACP() == 1252;
    if (cp1252)
        OnMessage(ansi, WM_CHAR, 0x80, 0);
    EXPECT_EQ(Newest().chars, cp1252 ? (std::vector<uint16_t>{0x4E00, 0xD83D, 0xDE00, 0x20AC})
                                     : (std::vector<uint16_t>{0x4E00, 0xD83D, 0xDE00}));
    g_app.overlay.want_capture_keyboard = false;
    g_app.overlay.want_text_input = false;
    const size_t before = Newest().chars.size();
    EXPECT_TRUE(OnMessage(wide, WM_IME_CHAR, 0x4E8C, 0)) << "the game's own chat gets it";
    EXPECT_EQ(Newest().chars.size(), before) << "its WM_CHAR will bring it";

    // The caret, given on the window's own thread, places the composition
    // window at once; given from a render thread, at the next composition.
    HIMC himc = ImmGetContext(wide);
    if (!himc) {
        DestroyWindow(ansi);
        DestroyWindow(wide);
        GTEST_SKIP() << "no input context without a display";
    }
    g_app.overlay.want_text_input = true;
    SetImeCaret(wide, 120, 340);
    COMPOSITIONFORM cf = {};
    ASSERT_TRUE(ImmGetCompositionWindow(himc, &cf));
    EXPECT_EQ(cf.ptCurrentPos.x, 120);
    EXPECT_EQ(cf.ptCurrentPos.y, 340);
    std::thread([wide] { SetImeCaret(wide, 300, 90); }).join();
    ImmGetCompositionWindow(himc, &cf);
    EXPECT_EQ(cf.ptCurrentPos.x, 120) << "not from another thread";
    OnMessage(wide, WM_IME_STARTCOMPOSITION, 0, 0);
    ImmGetCompositionWindow(himc, &cf);
    EXPECT_EQ(cf.ptCurrentPos.x, 300);
    EXPECT_EQ(cf.ptCurrentPos.y, 90);
    EXPECT_EQ(cf.dwStyle & CFS_FORCE_POSITION, (DWORD)CFS_FORCE_POSITION);
    ImmReleaseContext(wide, himc);
    g_app.overlay.want_text_input = false;
    DestroyWindow(ansi);
    DestroyWindow(wide);
}

} // namespace
