// The callbacks the plugin registers with the host.
#pragma once

#include <cstdint>

// Render thread, once per presented frame.
void OnPresent();
// Window thread, every message of the game window; false keeps it from the game.
bool OnMessage(void* hwnd, uint32_t msg, uint64_t wparam, int64_t lparam);
