#include "link/role_file.h"

#include "link/channel_files.h"
#include "platform/platform.h"

#include <cstdio>

std::string RoleFileText(char role, bool connected, long session)
{
    char text[96];
    const int n = snprintf(text, sizeof(text), "{\"role\":\"%c\",\"connected\":%s,\"session\":%ld}", role,
                           connected ? "true" : "false", session);
    return n > 0 ? std::string(text, (size_t)n) : std::string();
}

void UpdateRoleFile(RoleFileState& state, char role, bool connected)
{
    if (connected && !state.was_connected)
        state.session++;
    state.was_connected = connected;
    if (role == state.last_role && (int)connected == state.last_connected)
        return;
    const std::string path = DataPath("Kestrel_role.json");
    if (role == 'A' || role == 'B') {
        const std::string text = RoleFileText(role, connected, state.session);
        // Whole through a temporary file, so the scripts never read half of it;
        // a failed write is tried again on the next frame.
        if (text.empty() || !WriteFileAtomically(path, text))
            return;
    } else if (!RemoveFile(path)) {
        return; // held open by the scripts: tried again on the next frame
    }
    state.last_role = role;
    state.last_connected = connected ? 1 : 0;
}
