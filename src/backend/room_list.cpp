#include "backend/room_list.h"

#include "backend/http.h"
#include "backend/json_text.h"
#include "state/app_state.h"
#include "state/worker.h"

void RefreshRoomList()
{
    StartStatusWorker(g_app.room_list.status, RoomListFetching, RoomListWorker);
}

void RoomListWorker()
{
    std::string reply;
    const bool ok = HttpPostJson(kRoomPort, L"/list", "{}", reply);
    std::vector<RoomListEntry> list;
    if (ok) {
        for (const std::string& e : JsonGetObjectArray(reply, "rooms")) {
            RoomListEntry entry;
            entry.code = JsonGetString(e, "code");
            if (entry.code.empty())
                continue;
            entry.name = JsonGetString(e, "name");
            entry.host = JsonGetString(e, "host");
            JsonGetInt(e, "players", entry.players);
            JsonGetInt(e, "max", entry.max);
            list.push_back(std::move(entry));
        }
    }
    {
        std::lock_guard<std::mutex> g(g_app.room_list.lock);
        g_app.room_list.rooms.swap(list);
    }
    g_app.room_list.status.exchange(ok ? RoomListDone : RoomListFailed);
}
