// Presence and room invites through the real service (SQLite store in a fresh
// data folder), spoken to with raw requests as any client would.
#include "backend/http.h"
#include "backend/json_text.h"
#include "service_process.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

using namespace std::chrono_literals;

namespace {

class Invites : public testing::Test
{
protected:
    ServiceProcess service;
    std::map<std::string, std::string> token;

    void SetUp() override
    {
        ASSERT_TRUE(StartService(service, {"--online-window", "2", "--invite-life", "3"})) << service.output;
    }
    void TearDown() override { StopService(service); }

    static std::string Post(int port, const wchar_t* path, const std::string& body)
    {
        std::string reply;
        EXPECT_TRUE(HttpPostJson(port, path, body, reply)) << body;
        return reply;
    }
    std::string Account(const wchar_t* path, const std::string& who, const std::string& fields = "")
    {
        return Post(kAccountPort, path, "{\"token\":\"" + token[who] + "\"" + fields + "}");
    }
    // The room port knows players by the name they play under and a client id.
    std::string Room(const wchar_t* path, const std::string& who, const std::string& fields = "")
    {
        return Post(kRoomPort, path, "{\"gamertag\":\"" + who + "\",\"cid\":\"cid" + who + "\"" + fields + "}");
    }
    void SignUp(const std::string& tag)
    {
        token[tag] = JsonGetString(Post(kAccountPort, L"/signup",
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

TEST_F(Invites, PresenceComesFromRequestsAndRooms)
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

TEST_F(Invites, RulesEachRefusedWithAClearText)
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
