// The only ways to reach the backend. Both block: worker threads only.
#pragma once

#include "state/config.h" // kAccountPort, kRoomPort

#include <cstdint>
#include <string>

// POSTs the JSON text `body` to `path` on the backend host. `reply` receives
// the whole body whenever a response came, whatever its status, and is left
// as it was when none did. True only for a response with status 200.
bool HttpPostJson(uint16_t port, const std::wstring& path, const std::string& body, std::string& reply);

// Account-port request of the signed-in player: {"token":"T"} or
// {"token":"T",FIELDS}, where `fields` holds already-formatted members. With no
// token nothing is sent and false comes back with `reply` untouched.
// `token_used`, when given, receives the token sent ("" when none).
bool PostWithToken(const std::wstring& path, const std::string& fields, std::string& reply,
                   std::string* token_used = nullptr);
