#include "backend/player_name.h"

#include "backend/json_text.h"
#include "state/app_state.h"

std::string PlayerName()
{
    std::lock_guard<std::mutex> g(g_app.account.lock);
    return g_app.account.gamertag.empty() ? std::string(g_app.account.display_name) : g_app.account.gamertag;
}

std::string CurrentRoomCode()
{
    std::lock_guard<std::mutex> g(g_app.room.lock);
    return g_app.room.room_code;
}

std::string RoomProofMember()
{
    std::lock_guard<std::mutex> g(g_app.account.lock);
    if (g_app.account.token.empty() || g_app.account.gamertag.empty())
        return std::string();
    return ",\"token\":\"" + JsonEscape(g_app.account.token) + "\"";
}
