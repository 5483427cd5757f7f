// Once per process the backend says whether this build may still be used.
// Its verdict is g_app.update_notice; the overlay shows the notice.
#pragma once

constexpr const char* kReleaseChannel = "beta2";
constexpr const char* kUpdateDefaultText =
    "This version is no longer supported. Please download the latest version.";

// Render thread, every frame: starts ClientCheckWorker the first time only.
// True on the frame that started it.
bool StartClientCheck();

// One "/clientcheck" exchange. No answer, a non-200 answer or a reply without
// "ok" leaves the client allowed; "ok" false sets update_required, with the
// reply's "error" or kUpdateDefaultText as the message.
void ClientCheckWorker();
