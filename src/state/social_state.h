// Friends, direct messages and the message-notification poller's bookkeeping.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct DirectMessage
{
    int32_t id = 0;
    bool mine = false;
    std::string body;
};

// What the friends list says of a friend beside its gamertag.
struct FriendPresence
{
    std::string presence;   // "online", "in_room", "playing"; "" or "offline" when away
    std::string room_code;  // a public room with a free seat, when in one
    bool invited = false;   // this player's invite to them is live
};

// An invite into a friend's room, as the threads poll last reported it.
struct RoomInvite
{
    std::string from;       // the friend's gamertag
    std::string code;
    std::string room;       // the room's name
    bool full = false;
};

struct SocialState // "the social lock"
{
    std::mutex lock;
    std::vector<std::string> friends;            // gamertags, in the order sent
    std::vector<FriendPresence> friend_presence; // one per friend, same order
    std::vector<RoomInvite> invites;             // to this player, live ones only
    std::vector<std::string> invites_seen;       // from + "/" + code: toasted already
    std::vector<std::string> invites_dismissed;  // joined or declined here, until the service forgets them
    std::vector<std::string> incoming_requests;
    std::vector<std::string> outgoing_requests;
    std::string friend_status;                   // text of the last friend action; "" after a success
    std::string chat_partner;                    // the open conversation; "" when none
    std::vector<DirectMessage> conversation;
    std::vector<int32_t> conversation_ids;       // ids held, sorted: repeats dropped without a scan
    uint32_t conversation_opens = 0;              // +1 on every open and clear: a fetch answers only its own
    uint32_t conversation_changes = 0;            // +1 on every change: the page copies only then
    int32_t last_message_id = 0;
    char compose[512] = {};                      // render thread: the messages page's input
    std::string send_status;                     // the last send's failure; "" after a success
};

// Values of message_send: the compose line is emptied only once a send is
// known to have arrived.
enum MessageSend : int32_t { SendIdle = 0, SendRunning = 1, SendDelivered = 2, SendFailed = 3 };

struct UnreadCount
{
    std::string gamertag;
    int32_t unread = 0;
};

struct PollerState // "the poller's lock" (unread_counts and counts_token)
{
    std::mutex lock;
    std::vector<UnreadCount> unread_counts; // one per thread seen (a map is not constexpr)
    std::string counts_token;               // the session the counts were fetched with
    std::atomic<bool> threads_primed{false};
};
