// GLFW keys as the Windows virtual-key codes the overlay's input records use.
#pragma once

// -1 for keys without a code the overlay cares about.
int VirtualKeyFromGlfw(int glfw_key);
