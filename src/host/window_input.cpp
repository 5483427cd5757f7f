#include "host/window_input.h"

#include "state/app_state.h"
#include "ui/input_queue.h"

#include <imgui.h>
#include <windowsx.h>

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

} // namespace

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
        if (wparam > 0 && wparam <= 0xFFFF)
            QueueCharEvent((uint32_t)wparam);
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
           msg == WM_INPUT || msg == WM_SETCURSOR;
}
