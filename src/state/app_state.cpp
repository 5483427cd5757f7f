#include "state/app_state.h"

KESTREL_CONSTINIT AppState g_app;
