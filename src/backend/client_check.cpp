#include "backend/client_check.h"

#include "backend/http.h"
#include "backend/json_text.h"
#include "state/app_state.h"
#include "state/worker.h"

#include <string>

bool StartClientCheck()
{
    // Once per process: the worker never clears the flag, but a thread that
    // could not be created gives it back.
    return StartGuardedWorker(g_app.flags.client_check_started, ClientCheckWorker);
}

void ClientCheckWorker()
{
    std::string reply;
    if (!HttpPostJson(kAccountPort, L"/clientcheck", std::string("{\"channel\":\"") + kReleaseChannel + "\"}", reply))
        return;
    bool ok = true;
    JsonGetBool(reply, "ok", ok);
    if (ok)
        return;
    std::string message = JsonGetString(reply, "error");
    if (message.empty())
        message = kUpdateDefaultText;
    {
        std::lock_guard<std::mutex> hold(g_app.update_notice.lock);
        g_app.update_notice.update_message = std::move(message);
    }
    g_app.update_notice.update_required.store(true);
}
