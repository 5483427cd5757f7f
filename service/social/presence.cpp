#include "social/presence.h"

#include "store/account_store_postgres.h"
#include "rules/gamertag_rules.h"
#include "store/room_store_postgres.h"

#include <algorithm>
#include <chrono>

// A player's presence is written to a shared store at most this often per
// instance (and at most a quarter of the online window): not once per request.
static const int64_t kSeenWriteGapMs = 10000;
const size_t kSeenTrimAt = 4096;

int64_t SocialNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A shared store without an answer: the request has none either (see TakeStoreFault).
static int Answered(int result)
{
    if (result < 0)
        MarkStoreFault();
    return result;
}

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

// Bounded by the players seen within the window; the long gone are trimmed now and then.
static void TrimSeen(SocialBoard& board, int64_t now_ms)
{
    if (board.seen.size() <= kSeenTrimAt)
        return;
    for (auto it = board.seen.begin(); it != board.seen.end();)
        it = now_ms - it->second > board.online_window_ms ? board.seen.erase(it) : std::next(it);
}

void MarkSeen(SocialBoard& board, const std::string& gamertag, int64_t now_ms)
{
    if (gamertag.empty())
        return;
    const std::string key = FoldTag(gamertag);
    if (board.shared) {
        {
            std::lock_guard<std::mutex> g(board.lock);
            int64_t& written = board.seen[key];
            if (written && now_ms - written < std::min(kSeenWriteGapMs, board.online_window_ms / 4))
                return;
            written = now_ms;
        }
        // Best effort: a presence that could not be written must not fail the request.
        if (!SharedMarkSeen(board.shared, key, now_ms)) {
            std::lock_guard<std::mutex> g(board.lock);
            board.seen.erase(key);
        }
        std::lock_guard<std::mutex> g(board.lock);
        TrimSeen(board, now_ms); // only write times here: the long gone need none
        return;
    }
    std::lock_guard<std::mutex> g(board.lock);
    board.seen[key] = now_ms;
    TrimSeen(board, now_ms);
}

Presence PresenceOf(SocialBoard& board, const RoomDirectory& rooms, const std::string& gamertag, int64_t now_ms,
                    RoomSeat* seat)
{
    RoomSeat s;
    const int found = rooms.seat_of ? rooms.seat_of(gamertag, s) : 0;
    if (found < 0)
        MarkStoreFault();
    if (found == 1) {
        if (seat)
            *seat = s;
        return s.started ? Presence::Playing : Presence::InRoom;
    }
    if (board.shared) {
        int64_t seen = -1;
        SharedSeenAt(board.shared, FoldTag(gamertag), seen);
        return seen >= 0 && now_ms - seen <= board.online_window_ms ? Presence::Online : Presence::Offline;
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
    if (board.shared) {
        Invite stored = invite;
        stored.expires_ms = now_ms + board.invite_life_ms;
        return Answered(SharedAddInvite(board.shared, stored, now_ms)) == 1;
    }
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
    if (board.shared)
        return Answered(SharedDropInvite(board.shared, from, to, SocialNowMs())) == 1;
    std::lock_guard<std::mutex> g(board.lock);
    const size_t before = board.invites.size();
    board.invites.erase(std::remove_if(board.invites.begin(), board.invites.end(),
                                       [&](const Invite& i) { return i.from == from && i.to == to; }),
                        board.invites.end());
    return board.invites.size() != before;
}

std::vector<Invite> InvitesTo(SocialBoard& board, int64_t to, int64_t now_ms)
{
    if (board.shared) {
        std::vector<Invite> out;
        if (!SharedInvitesTo(board.shared, to, now_ms, out))
            MarkStoreFault();
        return out;
    }
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
    if (board.shared)
        return Answered(SharedHasInvite(board.shared, from, folded, now_ms)) == 1;
    std::lock_guard<std::mutex> g(board.lock);
    DropExpired(board, now_ms);
    for (const Invite& i : board.invites)
        if (i.from == from && FoldTag(i.to_tag) == folded)
            return true;
    return false;
}
