// The partner's six channel files across link sessions. They are the link's
// own writing (the scripts write only the own letter's files), and they
// belong to the room whose link wrote them: "Kestrel_link_room.json" records
// the room and own letter of the last session started in the data folder.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* kLinkRoomFileName = "Kestrel_link_room.json";

// Before a link session starts: in a room other than the recorded one (or
// with another letter, or with no record), removes the six files named with
// this session's partner letter, so the scripts never read the previous
// partner's state (say, a companion the new partner never writes) as the new
// one's; a resume of the same room keeps them. The own letter's files and
// every other file are left alone. Then records this room. Returns the number
// of files that could not be removed (held open: the next version replaces them).
int PreparePartnerFiles(uint32_t role, const std::string& room_code);
