// The client frame: the per-frame steps of the client core, in their fixed
// order, with no drawing. The overlay runs it first thing every frame, menu
// open or not; the headless partner and the tests run the very same function.
#pragma once

#include "backend/nameplate_file.h"
#include "link/role_file.h"

#include <cstdint>

struct ClientFrameState // render thread
{
    RoleFileState role_file;
    NameplateFileState nameplate;
    double last_chat_poll = -100.0; // the first room is polled at once
    uint32_t sign_outs_seen = 0;    // account.sign_outs as of the last frame
};

struct ClientFrameResult
{
    bool signed_in = false;  // a sign-in was taken over: empty the password field
    bool signed_out = false; // a sign-out happened since the last frame: empty what was typed
};

// `now_seconds`: the frame's clock for the chat timer (Dear ImGui's time in the
// overlay); `now_ns`: the steady clock, for the settings upload and retries.
//   saved login (once), client check (once), expired session -> sign out,
//   settings apply and upload, sign-in take-over, peer-link start, role file,
//   nameplate file, chat poll timer, render state for workers, requested sound.
ClientFrameResult ClientFrame(ClientFrameState& state, double now_seconds, int64_t now_ns);
