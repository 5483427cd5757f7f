#include "backend/client_frame.h"

#include "backend/account.h"
#include "backend/click_sounds.h"
#include "backend/client_check.h"
#include "backend/lobby_chat.h"
#include "backend/ready.h"
#include "backend/saved_room.h"
#include "backend/settings.h"
#include "state/app_state.h"

ClientFrameResult ClientFrame(ClientFrameState& state, double now_seconds, int64_t now_ns)
{
    ClientFrameResult result;
    LoadSavedLogin();
    StartClientCheck();
    if (g_app.flags.session_expired.exchange(false))
        SignOut();
    const uint32_t sign_outs = g_app.account.sign_outs.load();
    result.signed_out = sign_outs != state.sign_outs_seen;
    state.sign_outs_seen = sign_outs;

    ApplyPendingSettings();
    UploadSettingsIfDue(now_ns);
    if (g_app.flags.auth_status.load() == AuthSucceeded)
        result.signed_in = FinishSignIn();
    if (result.signed_in)
        ForgetSavedRoomOfOtherAccount();

    LinkStartStep();
    char role = 0;
    {
        std::lock_guard<std::mutex> hold(g_app.room.lock);
        role = g_app.room.room_role;
    }
    UpdateRoleFile(state.role_file, role, g_app.flags.link_running.load());
    WriteNameplateFile(state.nameplate, g_app.nameplate, now_ns);
    ChatPollTimerStep(now_seconds, state.last_chat_poll);

    PublishRenderStateForWorkers();
    PlayRequestedClickSound();
    return result;
}
