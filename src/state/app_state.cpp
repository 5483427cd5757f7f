#include "state/app_state.h"

static KESTREL_CONSTINIT AppStateStorage g_storage;
AppState& g_app = g_storage.state;
