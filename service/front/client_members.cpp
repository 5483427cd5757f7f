#include "front/client_members.h"

#include "front/reply.h"

namespace {

// Every member the client reads: account replies, friends lists, threads and
// conversations, room, heartbeat, ready, chat and list replies.
const char* const kClientMembers[] = {
    "ok",      "error",    "username", "gamertag", "role",     "email_verified", "token",  "settings",
    "friends", "incoming", "outgoing", "threads",  "unread",   "last",           "messages", "id",
    "mine",    "body",     "code",     "chapter_label", "stage", "mod",          "my_ready", "peer_ready",
    "started", "peer",     "rooms",    "name",     "host",     "players",        "max",
    "presence", "room_code", "invited", "invites", "room",    "state",
    "peer_link_key", "peer_kestrel_version", "peer_game_version",
};

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return text;
}

} // namespace

bool QuotesClientMember(const std::string& text, bool ignore_case)
{
    const std::string in_reply = ignore_case ? Lower(JsonString(text)) : JsonString(text);
    for (const char* member : kClientMembers)
        if (in_reply.find(std::string("\"") + member + "\"") != std::string::npos)
            return true;
    return false;
}
