#include "state/app_state.h"

constinit AppState g_app;
