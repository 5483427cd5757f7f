// The account port (39001): sign-up, sign-in, session check, reset and verify
// mails with the small pages their links open, the client check and the
// settings upload. JSON over HTTP POST; every refusal is a 200 answer with
// "ok" false and an "error" text the client shows as it comes.
#pragma once

#include "metrics/metrics.h"
#include "options/options.h"
#include "social/presence.h"

#include <string>

struct AccountPort;
struct HttpFront;

constexpr int kAccountPortNumber = 39001;

// Opens the store in options.data_dir, binds options.bind:39001 and starts
// serving on threads of its own; nullptr with a reason on failure. `rooms`
// answers presence and invites; without it nobody is ever in a room.
AccountPort* StartAccountPort(const ServiceOptions& options, std::string& error, RoomDirectory rooms = {});
void StopAccountPort(AccountPort* port);
// Its HTTP front, to drain before the stop.
HttpFront* AccountPortFront(AccountPort* port);
// One cheap read of the store: whether it answers now.
bool AccountPortStoreAnswers(AccountPort* port);

// The gamertag of a live session's account, for the room port's proof of a
// signed-in player; false when the token is not a live session.
bool AccountOfToken(AccountPort* port, const std::string& token, std::string& gamertag);

const HttpCounters& AccountPortCounters(AccountPort* port);
const StoreCounters& AccountPortStoreCounters(AccountPort* port);
