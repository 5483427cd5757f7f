// The in-memory rooms kept across a restart of a service on the embedded
// store: written at a clean stop into the SQLite file beside the accounts
// (table kestrel_kept_rooms, one row per room), read back and cleared at the
// next start. A member's silence goes on counting through the gap, so a
// restart shorter than the away grace is ridden out; a crash keeps nothing.
#pragma once

#include "rules/rooms.h"

#include <cstdint>
#include <string>

// `steady_now_ms` is the clock the rooms' `last_seen_ms` stamps are on.
bool SaveKeptRooms(const std::string& db_path, const RoomStore& store, int64_t steady_now_ms, std::string& error);
// Adds the kept rooms to `store` and deletes them from the file; `count` says
// how many. True with count 0 when there were none.
bool LoadKeptRooms(const std::string& db_path, RoomStore& store, int64_t steady_now_ms, size_t& count,
                   std::string& error);
