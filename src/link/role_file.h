// The role file "Kestrel_role.json": how the game's scripts learn their letter,
// whether the link is up and which connection this is. Kept current by the
// overlay frame (render thread), so its bookkeeping needs no lock.
#pragma once

#include <cstdint>
#include <string>

struct RoleFileState
{
    char last_role = '?';     // impossible values: the first update always acts
    int last_connected = -1;
    bool was_connected = false; // as seen on the last update, written or not
    long session = 0;           // one more each time the link comes up
};

// `role` is 'A' or 'B' while in a room, anything else when in none (the file
// is then deleted). Writes only on change; the file is replaced whole.
void UpdateRoleFile(RoleFileState& state, char role, bool connected);

// The file's text for a role, connected state and session number.
std::string RoleFileText(char role, bool connected, long session);
