// Friends and direct messages on the account port. Friends find each other by
// gamertag; messages go only between friends.
#include "accounts/social_routes.h"

#include "accounts/account_port_parts.h"
#include "accounts/invite_routes.h"
#include "front/reply.h"

namespace {

const char* const kSessionExpired = "Session expired. Please sign in again.";
const char* const kServerFault = "Something went wrong. Try again.";
const char* const kNoSuchPlayer = "No player has that gamertag.";
const char* const kNotYourself = "You can't add yourself.";
const char* const kAlreadyFriends = "You are already friends.";
const char* const kAlreadyAsked = "You already sent a request to that player.";
const char* const kNoRequest = "That player has not sent you a request.";
const char* const kNotFriends = "You are not friends with that player.";
const char* const kOnlyFriends = "You can only message friends.";
const char* const kEmptyMessage = "Write a message first.";
const char* const kMessageTooLong = "Messages are at most 511 characters.";
const size_t kMaxMessageBytes = 511; // what the client's compose input holds
const int kConversationPage = 200;

// The account of the request's session token.
bool Caller(AccountPort& port, const Json& body, AccountRecord& me, std::string& error)
{
    std::string token;
    if (!Text(body, "token", 128, token, error))
        return false;
    if (!SessionAccount(port, token, me)) {
        error = ErrorReply(kSessionExpired);
        return false;
    }
    return true;
}

// The caller's account and the other player named by "gamertag".
bool Parties(AccountPort& port, const Json& body, AccountRecord& me, AccountRecord& other, std::string& error)
{
    std::string tag;
    if (!Caller(port, body, me, error) || !Text(body, "gamertag", 64, tag, error))
        return false;
    if (tag.empty() || !FindAccountByGamertag(port.store, tag, other)) {
        error = ErrorReply(kNoSuchPlayer);
        return false;
    }
    return true;
}

// [{"gamertag":"..."},...]
std::string GamertagArray(const std::vector<std::string>& tags)
{
    std::string out = "[";
    for (const std::string& t : tags)
        out += (out.size() > 1 ? ",{\"gamertag\":" : "{\"gamertag\":") + JsonString(t) + "}";
    return out + "]";
}

// {"ok":true,"KEY":[...]}
std::string OkWithArray(const char* key, const std::string& array)
{
    Reply r;
    AddBool(r, "ok", true);
    AddRaw(r, key, array);
    return Finish(r);
}

std::string List(AccountPort& port, const Json& body, const std::string&)
{
    std::string error;
    AccountRecord me;
    if (!Caller(port, body, me, error))
        return error;
    FriendLists lists;
    if (!ListFriends(port.store, me.id, lists))
        return ErrorReply(kServerFault);
    Reply r;
    AddBool(r, "ok", true);
    AddRaw(r, "friends", FriendArray(port, me, lists.friends));
    AddRaw(r, "incoming", GamertagArray(lists.incoming));
    AddRaw(r, "outgoing", GamertagArray(lists.outgoing));
    return Finish(r);
}

std::string Add(AccountPort& port, const Json& body, const std::string&)
{
    std::string error;
    AccountRecord me, other;
    if (!Parties(port, body, me, other, error))
        return error;
    if (me.id == other.id)
        return ErrorReply(kNotYourself);
    switch (GetFriendLink(port.store, me.id, other.id)) {
    case FriendLink::Friends: return ErrorReply(kAlreadyFriends);
    case FriendLink::Asked: return ErrorReply(kAlreadyAsked);
    case FriendLink::AskedBy: // they asked first: that makes two friends
        return AcceptFriendRequest(port.store, me.id, other.id, Now()) ? OkReply() : ErrorReply(kServerFault);
    case FriendLink::None: break;
    }
    return AddFriendRequest(port.store, me.id, other.id, Now()) ? OkReply() : ErrorReply(kServerFault);
}

std::string Respond(AccountPort& port, const Json& body, const std::string&)
{
    std::string error;
    AccountRecord me, other;
    if (!Parties(port, body, me, other, error))
        return error;
    const auto accept = body.find("accept");
    if (accept == body.end() || !accept->is_boolean())
        return ErrorReply("Bad request.");
    if (GetFriendLink(port.store, me.id, other.id) != FriendLink::AskedBy)
        return ErrorReply(kNoRequest);
    const bool ok = accept->get<bool>() ? AcceptFriendRequest(port.store, me.id, other.id, Now())
                                        : RemoveFriendLinks(port.store, me.id, other.id);
    return ok ? OkReply() : ErrorReply(kServerFault);
}

std::string Remove(AccountPort& port, const Json& body, const std::string&)
{
    std::string error;
    AccountRecord me, other;
    if (!Parties(port, body, me, other, error))
        return error;
    if (!RemoveFriendLinks(port.store, me.id, other.id))
        return ErrorReply(kNotFriends);
    // Invites are between friends: none outlives the friendship, either way.
    DropInvite(port.social, me.id, other.id);
    DropInvite(port.social, other.id, me.id);
    return OkReply();
}

std::string Threads(AccountPort& port, const Json& body, const std::string&)
{
    std::string error;
    AccountRecord me;
    if (!Caller(port, body, me, error))
        return error;
    std::vector<ThreadSummary> threads;
    if (!ListThreads(port.store, me.id, threads))
        return ErrorReply(kServerFault);
    // In each object the number stands before the two written strings.
    std::string list = "[";
    for (const ThreadSummary& t : threads)
        list += std::string(list.size() > 1 ? "," : "") + "{\"unread\":" + std::to_string(t.unread) +
                ",\"gamertag\":" + JsonString(t.gamertag) + ",\"last\":" + JsonString(t.last) + "}";
    // Room invites ride on this poll: the client asks every 5 s already. They
    // stand before the threads, whose message texts are anybody's writing.
    Reply r;
    AddBool(r, "ok", true);
    AddRaw(r, "invites", InvitesArray(port, me));
    AddRaw(r, "threads", list + "]");
    return Finish(r);
}

std::string Conversation(AccountPort& port, const Json& body, const std::string&)
{
    std::string error;
    AccountRecord me, other;
    if (!Parties(port, body, me, other, error))
        return error;
    const auto after = body.find("after_id");
    const int64_t after_id = after != body.end() && after->is_number_integer() ? after->get<int64_t>() : 0;
    std::vector<StoredMessage> messages;
    if (!ReadConversation(port.store, me.id, other.id, after_id, kConversationPage, messages))
        return ErrorReply(kServerFault);
    std::string list = "[";
    for (const StoredMessage& m : messages)
        list += std::string(list.size() > 1 ? "," : "") + "{\"id\":" + std::to_string(m.id) +
                ",\"mine\":" + (m.mine ? "true" : "false") + ",\"body\":" + JsonString(m.body) + "}";
    return OkWithArray("messages", list + "]");
}

std::string Send(AccountPort& port, const Json& body, const std::string&)
{
    std::string error, text;
    AccountRecord me, other;
    if (!Parties(port, body, me, other, error) || !Text(body, "text", 4096, text, error))
        return error;
    if (text.empty())
        return ErrorReply(kEmptyMessage);
    if (text.size() > kMaxMessageBytes)
        return ErrorReply(kMessageTooLong);
    if (GetFriendLink(port.store, me.id, other.id) != FriendLink::Friends)
        return ErrorReply(kOnlyFriends);
    const int64_t id = AddMessage(port.store, me.id, other.id, text, Now());
    if (id == 0)
        return ErrorReply(kServerFault);
    Reply r;
    AddBool(r, "ok", true);
    AddInt(r, "id", id);
    return Finish(r);
}

} // namespace

void RouteSocial(AccountPort& port)
{
    Route(port, "/friends/list", List);
    Route(port, "/friends/add", Add);
    Route(port, "/friends/respond", Respond);
    Route(port, "/friends/remove", Remove);
    Route(port, "/messages/threads", Threads);
    Route(port, "/messages/conversation", Conversation);
    Route(port, "/messages/send", Send);
}
