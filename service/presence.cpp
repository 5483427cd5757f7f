#include "presence.h"

#include "gamertag_rules.h"

#include <algorithm>

const char* PresenceName(Presence p)
{
    switch (p) {
    case Presence::Online: return "online";
    case Presence::InRoom: return "in_room";
    case Presence::Playing: return "playing";
    case Presence::Offline: break;
    }
    return "offline";
}

std::string FoldTag(const std::string& tag)
{
    // The store's own sameness of names, so "Ärger" in a room is the friend "ärger".
    const std::string key = GamertagForms(tag).key;
    return key.empty() ? tag : key;
}

void MarkSeen(SocialBoard& board, const std::string& gamertag, int64_t now_ms)
{
    if (gamertag.empty())
        return;
    std::lock_guard<std::mutex> g(board.lock);
    board.seen[FoldTag(gamertag)] = now_ms;
    // Bounded by the players that signed in since the start; trim the long gone now and then.
    if (board.seen.size() > 4096)
        for (auto it = board.seen.begin(); it != board.seen.end();)
            it = now_ms - it->second > board.online_window_ms ? board.seen.erase(it) : std::next(it);
}

Presence PresenceOf(SocialBoard& board, const RoomDirectory& rooms, const std::string& gamertag, int64_t now_ms,
                    RoomSeat* seat)
{
    RoomSeat s;
    if (rooms.seat_of && rooms.seat_of(gamertag, s)) {
        if (seat)
            *seat = s;
        return s.started ? Presence::Playing : Presence::InRoom;
    }
    std::lock_guard<std::mutex> g(board.lock);
    auto it = board.seen.find(FoldTag(gamertag));
    return it != board.seen.end() && now_ms - it->second <= board.online_window_ms ? Presence::Online
                                                                                     : Presence::Offline;
}

static void DropExpired(SocialBoard& board, int64_t now_ms)
{
    board.invites.erase(std::remove_if(board.invites.begin(), board.invites.end(),
                                       [now_ms](const Invite& i) { return i.expires_ms <= now_ms; }),
                        board.invites.end());
}

bool AddInvite(SocialBoard& board, const Invite& invite, int64_t now_ms)
{
    std::lock_guard<std::mutex> g(board.lock);
    DropExpired(board, now_ms);
    for (const Invite& i : board.invites)
        if (i.from == invite.from && i.to == invite.to)
            return false;
    board.invites.push_back(invite);
    board.invites.back().expires_ms = now_ms + board.invite_life_ms;
    return true;
}

bool DropInvite(SocialBoard& board, int64_t from, int64_t to)
{
    std::lock_guard<std::mutex> g(board.lock);
    const size_t before = board.invites.size();
    board.invites.erase(std::remove_if(board.invites.begin(), board.invites.end(),
                                       [&](const Invite& i) { return i.from == from && i.to == to; }),
                        board.invites.end());
    return board.invites.size() != before;
}

std::vector<Invite> InvitesTo(SocialBoard& board, int64_t to, int64_t now_ms)
{
    std::lock_guard<std::mutex> g(board.lock);
    DropExpired(board, now_ms);
    std::vector<Invite> out;
    for (const Invite& i : board.invites)
        if (i.to == to)
            out.push_back(i);
    return out;
}

bool HasInvite(SocialBoard& board, int64_t from, const std::string& to_tag, int64_t now_ms)
{
    const std::string folded = FoldTag(to_tag);
    std::lock_guard<std::mutex> g(board.lock);
    DropExpired(board, now_ms);
    for (const Invite& i : board.invites)
        if (i.from == from && FoldTag(i.to_tag) == folded)
            return true;
    return false;
}
