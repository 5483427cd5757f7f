// Presence and room invites through the real service (SQLite store in a fresh
// data folder), spoken to with raw requests as any client would; and again on
// two instances sharing one PostgreSQL, each player talking to one of them.
#include "backend/http.h"
#include "backend/json_text.h"
#include "pg_server.h"
#include "service_process.h"
#include "state/config.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

using namespace std::chrono_literals;

namespace {

class Invites : public testing::TestWithParam<bool>
{
protected:
    bool two = GetParam();
    std::string database;
    ServiceProcess service, second;
    std::map<std::string, std::string> token;

    void SetUp() override
    {
        std::vector<std::string> args = {"--online-window", "2", "--invite-life", "3"};
        if (!two) {
            ASSERT_TRUE(StartService(service, args)) << service.output;
            return;
        }
        std::string error;
        database = CreateTestDatabase(error);
        ASSERT_FALSE(database.empty()) << error;
        ServiceProcess* instance[2] = {&service, &second};
        const char* addr[2] = {"127.0.0.2", "127.0.0.3"};
        for (int i = 0; i < 2; i++) {
            std::vector<std::string> more = args;
            more.insert(more.end(), {"--bind", addr[i], "--store", database, "--relay-public", std::string(addr[i]) + ":39000"});
            ASSERT_TRUE(StartService(*instance[i], more)) << instance[i]->output;
        }
    }
    void TearDown() override
    {
        StopService(service);
        StopService(second);
        OverrideBackendHost("");
        if (!database.empty())
            DropTestDatabase(database);
    }

    // Two instances: Ann, Cat and Eve talk to the first, the others to the second.
    std::string Post(const std::string& who, int port, const wchar_t* path, const std::string& body)
    {
        if (two)
            OverrideBackendHost(who == "Ann" || who == "Cat" || who == "Eve" ? "127.0.0.2" : "127.0.0.3");
        std::string reply;
        EXPECT_TRUE(HttpPostJson(port, path, body, reply)) << body;
        return reply;
    }
    std::string Account(const wchar_t* path, const std::string& who, const std::string& fields = "")
    {
        return Post(who, kAccountPort, path, "{\"token\":\"" + token[who] + "\"" + fields + "}");
    }
    // The room port knows players by the name they play under and a client
    // id; a signed-in player's requests carry its token as well.
    std::string Room(const wchar_t* path, const std::string& who, const std::string& fields = "")
    {
        const std::string proof = token.count(who) ? ",\"token\":\"" + token[who] + "\"" : "";
        return Post(who, kRoomPort, path, "{\"gamertag\":\"" + who + "\",\"cid\":\"cid" + who + "\"" + proof + fields + "}");
    }
    // A guest (no token) playing under any name, from Ann's instance.
    std::string GuestRoom(const wchar_t* path, const std::string& name, const std::string& fields = "")
    {
        return Post("Ann", kRoomPort, path, "{\"gamertag\":\"" + name + "\",\"cid\":\"guest" + name + "\"" + fields + "}");
    }
    void SignUp(const std::string& tag)
    {
        token[tag] = JsonGetString(Post(tag, kAccountPort, L"/signup",
                                        "{\"username\":\"" + tag + "_u\",\"gamertag\":\"" + tag +
                                            "\",\"password\":\"Secret#123\",\"email\":\"" + tag + "@example.com\"}"),
                                   "token");
        ASSERT_FALSE(token[tag].empty());
    }
    void Befriend(const std::string& a, const std::string& b)
    {
        Account(L"/friends/add", a, ",\"gamertag\":\"" + b + "\"");
        Account(L"/friends/add", b, ",\"gamertag\":\"" + a + "\"");
    }
    // `who`'s view of friend `tag`: its object in "/friends/list", "" if absent.
    std::string Friend(const std::string& who, const std::string& tag)
    {
        for (const std::string& f : JsonGetObjectArray(Account(L"/friends/list", who), "friends"))
            if (JsonGetString(f, "gamertag") == tag)
                return f;
        return "";
    }
    std::string PresenceOf(const std::string& who, const std::string& tag)
    {
        return JsonGetString(Friend(who, tag), "presence");
    }
    std::string Code(const std::string& reply) { return JsonGetString(reply, "code"); }
    std::string Invite(const std::string& from, const std::string& to, const std::string& code)
    {
        const std::string reply = Account(L"/invites/send", from, ",\"gamertag\":\"" + to + "\",\"code\":\"" + code + "\"");
        bool ok = false;
        return JsonGetBool(reply, "ok", ok) && ok ? "ok" : JsonGetString(reply, "error");
    }
    std::vector<std::string> InvitesOf(const std::string& who)
    {
        return JsonGetObjectArray(Account(L"/messages/threads", who), "invites");
    }
};

} // namespace

TEST_P(Invites, PresenceComesFromRequestsAndRooms)
{
    for (const char* tag : {"Ann", "Ben", "Cat"})
        SignUp(tag);
    Befriend("Ann", "Ben");
    Account(L"/friends/add", "Cat", ",\"gamertag\":\"Ben\"");

    // Signing up is a request: Ben is online, then silent past the window, then back by a poll.
    EXPECT_EQ(PresenceOf("Ann", "Ben"), "online");
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(PresenceOf("Ann", "Ben"), "offline");
    Account(L"/messages/threads", "Ben");
    EXPECT_EQ(PresenceOf("Ann", "Ben"), "online");
    std::this_thread::sleep_for(2500ms);
    Account(L"/session", "Ben");
    EXPECT_EQ(PresenceOf("Ann", "Ben"), "online");

    // A public room with a seat free: friends get its code, a stranger who asked does not.
    const std::string code = Code(Room(L"/create", "Ben", ",\"name\":\"Ben's den\",\"visibility\":\"public\""));
    ASSERT_FALSE(code.empty());
    EXPECT_EQ(PresenceOf("Ann", "Ben"), "in_room");
    EXPECT_EQ(JsonGetString(Friend("Ann", "Ben"), "room_code"), code);
    EXPECT_EQ(Account(L"/friends/list", "Cat").find(code), std::string::npos);

    // In a room, presence holds without any account request (the heartbeats keep the seat).
    std::this_thread::sleep_for(2500ms);
    Room(L"/heartbeat", "Ben", ",\"code\":\"" + code + "\"");
    EXPECT_EQ(PresenceOf("Ann", "Ben"), "in_room");

    // Ann joins: the room is full (no code), then both ready: playing.
    Room(L"/join", "Ann", ",\"code\":\"" + code + "\"");
    EXPECT_EQ(JsonGetString(Friend("Ann", "Ben"), "room_code"), "");
    Room(L"/ready", "Ann", ",\"code\":\"" + code + "\",\"ready\":true");
    Room(L"/ready", "Ben", ",\"code\":\"" + code + "\",\"ready\":true");
    EXPECT_EQ(PresenceOf("Ben", "Ann"), "playing");

    // Both leave: back to what the requests say. Ben's next room is private: in a lobby, but no code.
    Room(L"/leave", "Ann", ",\"code\":\"" + code + "\"");
    Room(L"/leave", "Ben", ",\"code\":\"" + code + "\"");
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(PresenceOf("Ann", "Ben"), "offline");
    Room(L"/create", "Ben", ",\"visibility\":\"private\"");
    EXPECT_EQ(PresenceOf("Ann", "Ben"), "in_room");
    EXPECT_EQ(Friend("Ann", "Ben").find("room_code"), std::string::npos);
}

TEST_P(Invites, RulesEachRefusedWithAClearText)
{
    for (const char* tag : {"Ann", "Ben", "Cat", "Dan", "Eve"})
        SignUp(tag);
    for (const char* tag : {"Ben", "Dan", "Eve"})
        Befriend("Ann", tag);
    const std::string code = Code(Room(L"/create", "Ann", ",\"name\":\"Ann's room\""));
    ASSERT_FALSE(code.empty());

    EXPECT_EQ(Invite("Ann", "Cat", code), "You can only invite friends.");
    EXPECT_EQ(Invite("Ann", "Nobody", code), "No player has that gamertag.");
    EXPECT_EQ(Invite("Ben", "Ann", code), "You are not in that room.");
    EXPECT_EQ(Invite("Ann", "Ben", "QQQQQQ"), "That room is closed.");
    EXPECT_EQ(Invite("Ann", "Ben", code), "ok");
    EXPECT_EQ(Invite("Ann", "ben", code), "You already invited that player.");
    bool invited = false;
    EXPECT_TRUE(JsonGetBool(Friend("Ann", "Ben"), "invited", invited) && invited);

    // Ben sees it with the room's name; declining removes it on both sides.
    std::vector<std::string> seen = InvitesOf("Ben");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(JsonGetString(seen[0], "gamertag"), "Ann");
    EXPECT_EQ(JsonGetString(seen[0], "code"), code);
    EXPECT_EQ(JsonGetString(seen[0], "room"), "Ann's room");
    EXPECT_EQ(JsonGetString(seen[0], "state"), "open");
    const std::string decline = Account(L"/invites/decline", "Ben", ",\"gamertag\":\"Ann\"");
    EXPECT_EQ(JsonGetString(decline, "error"), "");
    EXPECT_TRUE(InvitesOf("Ben").empty());
    EXPECT_EQ(Friend("Ann", "Ben").find("invited"), std::string::npos);
    EXPECT_EQ(JsonGetString(Account(L"/invites/decline", "Ben", ",\"gamertag\":\"Ann\""), "error"),
              "That invite is no longer open.");

    // The room fills: the open invite says so, and no new one goes out.
    EXPECT_EQ(Invite("Ann", "Ben", code), "ok");
    Room(L"/join", "Dan", ",\"code\":\"" + code + "\"");
    seen = InvitesOf("Ben");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(JsonGetString(seen[0], "state"), "full");
    EXPECT_EQ(Invite("Ann", "Dan", code), "That player is already in your room.");
    EXPECT_EQ(Invite("Ann", "Eve", code), "Your room is full.");

    // A seat frees and Ben takes it up: the invite is gone.
    Room(L"/leave", "Dan", ",\"code\":\"" + code + "\"");
    Room(L"/join", "Ben", ",\"code\":\"" + code + "\"");
    EXPECT_TRUE(InvitesOf("Ben").empty());

    // The room closes (the host leaves): the invite says so once, then is gone.
    Room(L"/leave", "Ben", ",\"code\":\"" + code + "\"");
    EXPECT_EQ(Invite("Ann", "Eve", code), "ok");
    Room(L"/leave", "Ann", ",\"code\":\"" + code + "\"");
    seen = InvitesOf("Eve");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(JsonGetString(seen[0], "state"), "closed");
    EXPECT_TRUE(InvitesOf("Eve").empty());

    // An invite lapses after its life; then a new one may go out.
    const std::string next = Code(Room(L"/create", "Ann"));
    EXPECT_EQ(Invite("Ann", "Eve", next), "ok");
    std::this_thread::sleep_for(3500ms);
    EXPECT_TRUE(InvitesOf("Eve").empty());
    EXPECT_EQ(Invite("Ann", "Eve", next), "ok");
}

// Presence and invites trust only members who proved the account: a guest
// playing under a friend's name shows no room for that friend, and joining a
// room under the invitee's name does not take the invite up. An invite from a
// friend removed since goes with the friendship.
TEST_P(Invites, GuestsUnderAnAccountsNameAreNotThatAccount)
{
    for (const char* tag : {"Ann", "Ben", "Cat"})
        SignUp(tag);
    Befriend("Ann", "Ben");
    Befriend("Ann", "Cat");
    const std::string fake = Code(GuestRoom(L"/create", "BEN", ",\"visibility\":\"public\""));
    ASSERT_FALSE(fake.empty());
    EXPECT_EQ(PresenceOf("Ann", "Ben"), "online") << "the guest's room is not Ben's";
    EXPECT_EQ(Friend("Ann", "Ben").find(fake), std::string::npos);

    const std::string code = Code(Room(L"/create", "Ann", ",\"name\":\"Ann's room\""));
    ASSERT_EQ(Invite("Ann", "Ben", code), "ok");
    ASSERT_TRUE(GuestRoom(L"/join", "ben", ",\"code\":\"" + code + "\"").find("\"ok\":true") != std::string::npos);
    std::vector<std::string> seen = InvitesOf("Ben");
    ASSERT_EQ(seen.size(), 1u) << "a stranger named ben did not take Ben's invite up";
    EXPECT_EQ(JsonGetString(seen[0], "state"), "full");
    EXPECT_EQ(Invite("Ann", "Cat", code), "Your room is full.");

    // Ann drops Cat after inviting: Cat's invite is gone with the friendship.
    GuestRoom(L"/leave", "ben", ",\"code\":\"" + code + "\"");
    ASSERT_EQ(Invite("Ann", "Cat", code), "ok");
    Account(L"/friends/remove", "Ann", ",\"gamertag\":\"Cat\"");
    EXPECT_TRUE(InvitesOf("Cat").empty());
}

INSTANTIATE_TEST_SUITE_P(Instances, Invites, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Two" : "One"; });
