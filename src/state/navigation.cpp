#include "state/app_state.h"

void ClearFinishedRequest()
{
    // One still sending keeps its status, so it cannot be started twice.
    int32_t done = RequestDone;
    g_app.flags.request_status.compare_exchange_strong(done, RequestIdle);
}

void NavigateTo(int32_t page)
{
    ClearFinishedRequest();
    g_app.shell.pending_page = page;
}
