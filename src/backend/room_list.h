// The list of open rooms for the find-a-room page: one fetch per request.
#pragma once

// Render thread. Nothing while a fetch runs; else status 1, then 2 or 3.
void RefreshRoomList();
void RoomListWorker();
