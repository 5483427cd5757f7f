#include "glfw_keys.h"

#include <GLFW/glfw3.h>

int VirtualKeyFromGlfw(int k)
{
    if ((k >= GLFW_KEY_A && k <= GLFW_KEY_Z) || (k >= GLFW_KEY_0 && k <= GLFW_KEY_9))
        return k; // same as ASCII, as the virtual-key codes are
    if (k >= GLFW_KEY_F1 && k <= GLFW_KEY_F24)
        return 0x70 + (k - GLFW_KEY_F1);
    switch (k) {
    case GLFW_KEY_SPACE: return 0x20;
    case GLFW_KEY_ESCAPE: return 0x1B;
    case GLFW_KEY_ENTER: case GLFW_KEY_KP_ENTER: return 0x0D;
    case GLFW_KEY_TAB: return 0x09;
    case GLFW_KEY_BACKSPACE: return 0x08;
    case GLFW_KEY_INSERT: return 0x2D;
    case GLFW_KEY_DELETE: return 0x2E;
    case GLFW_KEY_RIGHT: return 0x27;
    case GLFW_KEY_LEFT: return 0x25;
    case GLFW_KEY_DOWN: return 0x28;
    case GLFW_KEY_UP: return 0x26;
    case GLFW_KEY_PAGE_UP: return 0x21;
    case GLFW_KEY_PAGE_DOWN: return 0x22;
    case GLFW_KEY_HOME: return 0x24;
    case GLFW_KEY_END: return 0x23;
    case GLFW_KEY_LEFT_SHIFT: return 0xA0;
    case GLFW_KEY_RIGHT_SHIFT: return 0xA1;
    case GLFW_KEY_LEFT_CONTROL: return 0xA2;
    case GLFW_KEY_RIGHT_CONTROL: return 0xA3;
    case GLFW_KEY_LEFT_ALT: return 0xA4;
    case GLFW_KEY_RIGHT_ALT: return 0xA5;
    default: return -1;
    }
}
