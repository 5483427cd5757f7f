#include "host/window_input.h"

#include "state/app_state.h"
#include "ui/input_queue.h"
#include "ui/overlay_input.h"

#include <imgui.h>
#include <imm.h>
#include <windowsx.h>

#include <atomic>
#include <cstdlib>

namespace {

int ButtonOf(UINT msg, WPARAM wparam)
{
    switch (msg) {
    case WM_LBUTTONDOWN: case WM_LBUTTONDBLCLK: case WM_LBUTTONUP: return 0;
    case WM_RBUTTONDOWN: case WM_RBUTTONDBLCLK: case WM_RBUTTONUP: return 1;
    case WM_MBUTTONDOWN: case WM_MBUTTONDBLCLK: case WM_MBUTTONUP: return 2;
    default: return GET_XBUTTON_WPARAM(wparam) == XBUTTON1 ? 3 : 4;
    }
}

// The code page of the keyboard's language: what an ANSI window's WM_CHAR
// bytes are in.
UINT InputCodePage()
{
    char text[8] = {};
    const LCID lcid = MAKELCID(LOWORD((DWORD_PTR)GetKeyboardLayout(0)), SORT_DEFAULT);
    if (GetLocaleInfoA(lcid, LOCALE_IDEFAULTANSICODEPAGE, text, (int)sizeof(text)) > 0 && atoi(text) > 0)
        return (UINT)atoi(text);
    return CP_ACP;
}

void QueueCodePageText(const char* bytes, int size)
{
    wchar_t wide[4];
    const int n = MultiByteToWideChar(InputCodePage(), 0, bytes, size, wide, 4);
    for (int i = 0; i < n; i++)
        QueueCharEvent((uint16_t)wide[i]);
}

// Window thread only: the lead byte of a double-byte character whose trail
// byte comes with the next WM_CHAR of an ANSI window.
unsigned char g_lead_byte = 0;

void QueueAnsiCharByte(unsigned char b)
{
    if (g_lead_byte) {
        const char two[2] = {(char)g_lead_byte, (char)b};
        g_lead_byte = 0;
        QueueCodePageText(two, 2);
    } else if (IsDBCSLeadByteEx(InputCodePage(), b)) {
        g_lead_byte = b;
    } else {
        const char one = (char)b;
        QueueCodePageText(&one, 1);
    }
}

// The text caret of the overlay's active field, in client coordinates, from
// Dear ImGui's IME hook on the render thread.
std::atomic<int64_t> g_ime_caret{-1};

bool IsOwnThread(HWND window)
{
    return window && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

} // namespace

bool ImeCaretPosition(int* x, int* y)
{
    const int64_t v = g_ime_caret.load();
    if (v < 0)
        return false;
    *x = (int)(int32_t)(uint32_t)(v >> 32);
    *y = (int)(int32_t)(uint32_t)v;
    return true;
}

bool PlaceImeWindows(HWND hwnd)
{
    int x = 0, y = 0;
    if (!hwnd || !ImeCaretPosition(&x, &y))
        return false;
    HIMC himc = ImmGetContext(hwnd);
    if (!himc)
        return false;
    COMPOSITIONFORM composition = {};
    composition.dwStyle = CFS_FORCE_POSITION;
    composition.ptCurrentPos = {x, y};
    CANDIDATEFORM candidate = {};
    candidate.dwIndex = 0;
    candidate.dwStyle = CFS_CANDIDATEPOS;
    candidate.ptCurrentPos = {x, y};
    const bool ok = ImmSetCompositionWindow(himc, &composition) && ImmSetCandidateWindow(himc, &candidate);
    ImmReleaseContext(hwnd, himc);
    return ok;
}

void SetImeCaret(HWND window, int x, int y)
{
    g_ime_caret.store((int64_t)((uint64_t)(uint32_t)x << 32 | (uint32_t)y) & INT64_MAX);
    // The input context belongs to the window's thread: from another thread
    // the window thread places it when the next composition starts.
    if (IsOwnThread(window) && g_app.overlay.want_text_input.load())
        PlaceImeWindows(window);
}

bool SetSystemCursorShape(int32_t shape)
{
    if (shape < ImGuiMouseCursor_None || shape >= ImGuiMouseCursor_COUNT)
        return false; // includes "cursor changes are off"
    if (shape == ImGuiMouseCursor_None) {
        SetCursor(nullptr);
        return true;
    }
    LPCSTR id = IDC_ARROW;
    switch (shape) {
    case ImGuiMouseCursor_TextInput: id = IDC_IBEAM; break;
    case ImGuiMouseCursor_ResizeAll: id = IDC_SIZEALL; break;
    case ImGuiMouseCursor_ResizeNS: id = IDC_SIZENS; break;
    case ImGuiMouseCursor_ResizeEW: id = IDC_SIZEWE; break;
    case ImGuiMouseCursor_ResizeNESW: id = IDC_SIZENESW; break;
    case ImGuiMouseCursor_ResizeNWSE: id = IDC_SIZENWSE; break;
    case ImGuiMouseCursor_Hand: id = IDC_HAND; break;
    case ImGuiMouseCursor_NotAllowed: id = IDC_NO; break;
    default: break;
    }
    SetCursor(LoadCursorA(nullptr, id));
    return true;
}

LRESULT QueueWindowInput(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    switch (msg) {
    case WM_LBUTTONDOWN: case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN: case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN: case WM_MBUTTONDBLCLK:
    case WM_XBUTTONDOWN: case WM_XBUTTONDBLCLK:
        if (QueuedButtonsDown() == 0 && GetCapture() == nullptr)
            SetCapture(hwnd);
        QueueMouseButtonEvent(ButtonOf(msg, wparam), true);
        return 0;
    case WM_LBUTTONUP: case WM_RBUTTONUP: case WM_MBUTTONUP: case WM_XBUTTONUP:
        QueueMouseButtonEvent(ButtonOf(msg, wparam), false);
        if (QueuedButtonsDown() == 0 && GetCapture() == hwnd)
            ReleaseCapture();
        return 0;
    case WM_MOUSEWHEEL:
        QueueWheel((float)GET_WHEEL_DELTA_WPARAM(wparam) / (float)WHEEL_DELTA, 0.0f);
        return 0;
    case WM_MOUSEHWHEEL:
        QueueWheel(0.0f, (float)GET_WHEEL_DELTA_WPARAM(wparam) / (float)WHEEL_DELTA);
        return 0;
    case WM_KEYDOWN: case WM_SYSKEYDOWN:
        QueueKeyEvent((uint32_t)(wparam < 256 ? wparam : 256), true);
        return 0;
    case WM_KEYUP: case WM_SYSKEYUP:
        QueueKeyEvent((uint32_t)(wparam < 256 ? wparam : 256), false);
        return 0;
    case WM_CHAR:
        // A character beyond U+FFFF comes as two WM_CHARs, a surrogate pair,
        // that Dear ImGui joins again.
        if (hwnd && !IsWindowUnicode(hwnd))
            QueueAnsiCharByte((unsigned char)(wparam & 0xFF));
        else if (wparam > 0 && wparam <= 0xFFFF)
            QueueCharEvent((uint32_t)wparam);
        return 0;
    case WM_IME_CHAR:
        // Text the input method committed. Taken only while the overlay keeps
        // it from the game (see IsInputMessage); otherwise the game's default
        // handling turns it into WM_CHARs, which are taken above.
        if (!OverlayWantsInput())
            return 0;
        if (hwnd && !IsWindowUnicode(hwnd)) {
            const char bytes[2] = {(char)((wparam >> 8) & 0xFF), (char)(wparam & 0xFF)};
            if (bytes[0])
                QueueCodePageText(bytes, 2);
            else
                QueueCodePageText(bytes + 1, 1);
        } else if ((wparam & 0xFFFF) != 0) {
            QueueCharEvent((uint32_t)(wparam & 0xFFFF));
        }
        return 0;
    case WM_IME_STARTCOMPOSITION:
    case WM_IME_COMPOSITION:
        // Before the default handling draws the composition window: at the
        // caret of the overlay's field.
        if (g_app.overlay.want_text_input.load())
            PlaceImeWindows(hwnd);
        return 0;
    case WM_KILLFOCUS:
        QueueFocusLost();
        return 0;
    case WM_SETCURSOR:
        if (LOWORD(lparam) == HTCLIENT && SetSystemCursorShape(g_app.overlay.mouse_cursor.load()))
            return 1;
        return 0;
    default:
        return 0;
    }
}

bool DecodeRawMouseMotion(const void* data, UINT size, float* dx, float* dy)
{
    if (!data || size < sizeof(RAWINPUTHEADER) + sizeof(RAWMOUSE))
        return false;
    const RAWINPUT* raw = static_cast<const RAWINPUT*>(data);
    if (raw->header.dwType != RIM_TYPEMOUSE || (raw->data.mouse.usFlags & MOUSE_MOVE_ABSOLUTE))
        return false;
    *dx = (float)raw->data.mouse.lLastX;
    *dy = (float)raw->data.mouse.lLastY;
    return true;
}

bool ReadRawMouseMotion(HRAWINPUT handle, float* dx, float* dy)
{
    constexpr UINT kMaxRawInput = 112;
    UINT size = 0;
    if (GetRawInputData(handle, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER)) != 0)
        return false;
    if (size == 0 || size > kMaxRawInput)
        return false;
    alignas(8) unsigned char buffer[kMaxRawInput];
    if (GetRawInputData(handle, RID_INPUT, buffer, &size, sizeof(RAWINPUTHEADER)) != size)
        return false;
    return DecodeRawMouseMotion(buffer, size, dx, dy);
}

bool IsInputMessage(UINT msg)
{
    return (msg >= WM_KEYFIRST && msg <= WM_KEYLAST) || (msg >= WM_MOUSEFIRST && msg <= WM_MOUSELAST) ||
           msg == WM_INPUT || msg == WM_SETCURSOR || msg == WM_IME_CHAR;
}
