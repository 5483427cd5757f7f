#include "state/app_state.h"

void NavigateTo(int32_t page)
{
    g_app.flags.request_status.exchange(0);
    g_app.shell.pending_page = page;
}
