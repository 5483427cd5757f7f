#include "backend/friends.h"

#include "backend/http.h"
#include "backend/json_text.h"
#include "state/app_state.h"
#include "state/worker.h"

void RefreshFriends()
{
    StartGuardedWorker(g_app.flags.friends_busy, FriendsListWorker);
}

static std::vector<FriendPresence> Presences(const std::string& reply)
{
    std::vector<FriendPresence> out;
    for (const std::string& object : JsonGetObjectArray(reply, "friends")) {
        FriendPresence p;
        p.presence = JsonGetString(object, "presence");
        p.room_code = JsonGetString(object, "room_code");
        JsonGetBool(object, "invited", p.invited);
        out.push_back(std::move(p));
    }
    return out;
}

static std::vector<std::string> Gamertags(const std::string& reply, const char* key)
{
    std::vector<std::string> tags;
    for (const std::string& object : JsonGetObjectArray(reply, key))
        tags.push_back(JsonGetString(object, "gamertag"));
    return tags;
}

// Writes an answer into the social state only while the token it was asked
// with is still the player's: after a sign-out (or a sign-in as someone else)
// the next player must not see, or act on, the last one's lists. The state
// lock is held across the write, so a sign-out cannot slip in between; it
// empties the lists after releasing it (never the other way round).
template <class Write>
static void WriteForToken(const std::string& token, Write write)
{
    std::lock_guard<std::mutex> account(g_app.account.lock);
    if (token.empty() || g_app.account.token != token)
        return;
    std::lock_guard<std::mutex> g(g_app.social.lock);
    write(g_app.social);
}

void FriendsListWorker()
{
    std::string reply, token;
    if (PostWithToken(L"/friends/list", "", reply, &token)) {
        std::vector<std::string> friends = Gamertags(reply, "friends");
        std::vector<std::string> incoming = Gamertags(reply, "incoming");
        std::vector<std::string> outgoing = Gamertags(reply, "outgoing");
        std::vector<FriendPresence> presence = Presences(reply);
        WriteForToken(token, [&](SocialState& s) {
            s.friends.swap(friends);
            s.friend_presence.swap(presence);
            s.incoming_requests.swap(incoming);
            s.outgoing_requests.swap(outgoing);
        });
    }
    g_app.flags.friends_busy.store(false);
}

void StartFriendAction(const std::wstring& path, const std::string& gamertag, bool accept, bool has_accept)
{
    StartWorker(FriendActionWorker, path, gamertag, accept, has_accept);
}

std::string PostSocialAction(const std::wstring& path, const std::string& fields, std::string& token)
{
    std::string reply;
    if (!PostWithToken(path, fields, reply, &token))
        return "Can't reach the server.";
    bool ok = false;
    JsonGetBool(reply, "ok", ok);
    if (ok)
        return "";
    const std::string error = JsonGetString(reply, "error");
    return error.empty() ? "Something went wrong." : error;
}

void FriendActionWorker(std::wstring path, std::string gamertag, bool accept, bool has_accept)
{
    std::string fields = "\"gamertag\":\"" + JsonEscape(gamertag) + "\"";
    if (has_accept)
        fields += accept ? ",\"accept\":true" : ",\"accept\":false";
    std::string token;
    const std::string status = PostSocialAction(path, fields, token);
    WriteForToken(token, [&](SocialState& s) { s.friend_status = status; });
    RefreshFriends();
}

void ClearSocialLists()
{
    std::lock_guard<std::mutex> g(g_app.social.lock);
    SocialState& s = g_app.social;
    s.friends.clear();
    s.friend_presence.clear();
    s.invites.clear();
    s.invites_seen.clear();
    s.invites_dismissed.clear();
    s.incoming_requests.clear();
    s.outgoing_requests.clear();
    s.friend_status.clear();
    s.chat_partner.clear();
    s.conversation.clear();
    s.conversation_ids.clear();
    s.conversation_opens++;
    s.conversation_changes++;
    s.last_message_id = 0;
    s.compose[0] = 0;
    s.send_status.clear();
}
