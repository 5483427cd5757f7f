// Room invites between friends on the account port, and what the friends
// list and the threads reply show of invites and presence.
#pragma once

#include "store/account_store.h"

#include <string>
#include <vector>

struct AccountPort;

// "/invites/...".
void RouteInvites(AccountPort& port);
// The "invites" array of the threads reply: the live invites to `me`; an
// invite whose room closed is reported once as "closed" and then forgotten.
std::string InvitesArray(AccountPort& port, const AccountRecord& me);
// The friend objects of "/friends/list": gamertag, presence, the code of a
// public room with a free seat, and whether `me` has a live invite out to them.
std::string FriendArray(AccountPort& port, const AccountRecord& me, const std::vector<std::string>& tags);
