// Room invites between friends, and the presence members of the friends list.
// An invite names a room the sender is in; it lapses when the room closes,
// when the invitee gets in, or after the port's invite life.
#include "accounts/invite_routes.h"

#include "accounts/account_port_parts.h"
#include "front/reply.h"
#include "store/account_store_postgres.h"

namespace {

const char* const kSessionExpired = "Session expired. Please sign in again.";
const char* const kNoSuchPlayer = "No player has that gamertag.";
const char* const kOnlyFriends = "You can only invite friends.";
const char* const kRoomClosed = "That room is closed.";
const char* const kNotInRoom = "You are not in that room.";
const char* const kRoomFull = "Your room is full.";
const char* const kAlreadyThere = "That player is already in your room.";
const char* const kAlreadyInvited = "You already invited that player.";
const char* const kNoInvite = "That invite is no longer open.";

// The store gave no answer: the request has none either (a 503).
std::string StoreFault()
{
    MarkStoreFault();
    return ErrorReply("Something went wrong.");
}

bool Parties(AccountPort& port, const Json& body, AccountRecord& me, AccountRecord& other, std::string& error)
{
    std::string token, tag;
    if (!Text(body, "token", 128, token, error) || !Text(body, "gamertag", 64, tag, error))
        return false;
    if (!SessionAccount(port, token, me)) {
        error = ErrorReply(kSessionExpired);
        return false;
    }
    if (tag.empty() || !FindAccountByGamertag(port.store, tag, other)) {
        error = ErrorReply(kNoSuchPlayer);
        return false;
    }
    return true;
}

std::string Send(AccountPort& port, const Json& body, const std::string&)
{
    std::string error, code;
    AccountRecord me, other;
    if (!Parties(port, body, me, other, error) || !Text(body, "code", 16, code, error))
        return error;
    if (me.id == other.id || GetFriendLink(port.store, me.id, other.id) != FriendLink::Friends)
        return ErrorReply(kOnlyFriends);
    RoomSeat room, theirs;
    const int found = port.rooms.room ? port.rooms.room(code, me.gamertag, room) : 0;
    if (found < 0) // no answer is not "closed"
        return StoreFault();
    if (found == 0)
        return ErrorReply(kRoomClosed);
    if (!room.member)
        return ErrorReply(kNotInRoom);
    const int there = port.rooms.room(code, other.gamertag, theirs);
    if (there < 0)
        return StoreFault();
    if (there == 1 && theirs.member)
        return ErrorReply(kAlreadyThere);
    if (room.full)
        return ErrorReply(kRoomFull);
    Invite invite;
    invite.from = me.id;
    invite.to = other.id;
    invite.from_tag = me.gamertag;
    invite.to_tag = other.gamertag;
    invite.code = room.code;
    invite.room_name = room.name;
    if (!AddInvite(port.social, invite, SocialNowMs()))
        return ErrorReply(kAlreadyInvited);
    return OkReply();
}

// The invitee turns it down: "gamertag" names the sender.
std::string Decline(AccountPort& port, const Json& body, const std::string&)
{
    std::string error;
    AccountRecord me, other;
    if (!Parties(port, body, me, other, error))
        return error;
    return DropInvite(port.social, other.id, me.id) ? OkReply() : ErrorReply(kNoInvite);
}

} // namespace

std::string InvitesArray(AccountPort& port, const AccountRecord& me)
{
    std::string list = "[";
    for (const Invite& i : InvitesTo(port.social, me.id, SocialNowMs())) {
        // A friendship ended since: the invite goes with it, unsaid.
        if (GetFriendLink(port.store, me.id, i.from) != FriendLink::Friends) {
            DropInvite(port.social, i.from, i.to);
            continue;
        }
        RoomSeat room, mine;
        const int found = port.rooms.room ? port.rooms.room(i.code, i.from_tag, room) : 0;
        const int taken = found == 1 && room.member ? port.rooms.room(i.code, me.gamertag, mine) : 0;
        if (found < 0 || taken < 0) {
            // No answer from the rooms: the invite is neither closed nor taken
            // up; nothing is dropped and the request has no answer either.
            MarkStoreFault();
            continue;
        }
        const bool open = found == 1 && room.member;
        const char* state = "open";
        if (!open) {
            state = "closed"; // said once, then gone
            DropInvite(port.social, i.from, i.to);
        } else if (taken == 1 && mine.member) {
            DropInvite(port.social, i.from, i.to); // taken up
            continue;
        } else if (room.full) {
            state = "full";
        }
        if (list.size() > 1)
            list += ",";
        // The room's name, a text its host wrote, stands last.
        list += std::string("{\"state\":\"") + state + "\",\"gamertag\":" + JsonString(i.from_tag) +
                ",\"code\":" + JsonString(i.code) + ",\"room\":" + JsonString(i.room_name) + "}";
    }
    return list + "]";
}

std::string FriendArray(AccountPort& port, const AccountRecord& me, const std::vector<std::string>& tags)
{
    const int64_t now = SocialNowMs();
    std::string out = "[";
    for (const std::string& t : tags) {
        RoomSeat seat;
        const Presence p = PresenceOf(port.social, port.rooms, t, now, &seat);
        if (out.size() > 1)
            out += ",";
        out += "{\"gamertag\":" + JsonString(t) + ",\"presence\":\"" + PresenceName(p) + "\"";
        // Friends only, and only a public room with a seat free.
        if (p == Presence::InRoom && seat.is_public && !seat.full)
            out += ",\"room_code\":" + JsonString(seat.code);
        if (HasInvite(port.social, me.id, t, now))
            out += ",\"invited\":true";
        out += "}";
    }
    return out + "]";
}

void RouteInvites(AccountPort& port)
{
    Route(port, "/invites/send", Send);
    Route(port, "/invites/decline", Decline);
}
