// The real service on a shared PostgreSQL store that stalls: a table held
// locked by another session, or a schema upgrade lock held by another
// instance. Relaying must go on, a stalled answer must read as no answer (503,
// nothing deleted), and a starting instance waits for the upgrade lock.
#include "loopback_udp.h"
#include "backend/http.h"
#include "backend/json_text.h"
#include "pg_server.h"
#include "raw_peer.h"
#include "service_process.h"
#include "state/config.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

using namespace std::chrono_literals;

namespace {

class StoreStalls : public testing::Test
{
protected:
    std::string database;
    ServiceProcess service;
    std::map<std::string, std::string> token;

    void SetUp() override
    {
        std::string error;
        database = CreateTestDatabase(error);
        ASSERT_FALSE(database.empty()) << error;
    }
    void TearDown() override
    {
        StopService(service);
        if (!database.empty())
            DropTestDatabase(database);
    }
    void Start()
    {
        ASSERT_TRUE(StartService(service, {"--store", database, "--relay-public", "127.0.0.1:39000"})) << service.output;
    }
    // Holds `sql`'s locks for `seconds` on a session of its own, on a thread.
    std::thread Hold(const std::string& lock_sql, int seconds, std::atomic<bool>& released)
    {
        std::atomic<bool> taken{false};
        std::thread t([this, lock_sql, seconds, &released, &taken] {
            std::string error;
            ExecOnDatabase(database,
                           "BEGIN; " + lock_sql + "; SELECT pg_sleep(" + std::to_string(seconds) + "); COMMIT;",
                           error);
            released = true;
        });
        // The lock is taken at once; give the session a moment to hold it.
        std::this_thread::sleep_for(500ms);
        return t;
    }
    bool Post(int port, const wchar_t* path, const std::string& body, std::string& reply)
    {
        reply.clear();
        return HttpPostJson(port, path, body, reply);
    }
    std::string Room(const wchar_t* path, const std::string& who, const std::string& fields)
    {
        std::string reply;
        const std::string proof = token.count(who) ? ",\"token\":\"" + token[who] + "\"" : "";
        EXPECT_TRUE(Post(kRoomPort, path, "{\"gamertag\":\"" + who + "\",\"cid\":\"cid" + who + "\"" + proof + fields + "}",
                         reply));
        return reply;
    }
    std::string Account(const wchar_t* path, const std::string& who, const std::string& fields = "")
    {
        std::string reply;
        EXPECT_TRUE(Post(kAccountPort, path, "{\"token\":\"" + token[who] + "\"" + fields + "}", reply));
        return reply;
    }
    void SignUp(const std::string& tag)
    {
        std::string reply;
        Post(kAccountPort, L"/signup",
             "{\"username\":\"" + tag + "_u\",\"gamertag\":\"" + tag + "\",\"password\":\"Secret#123\",\"email\":\"" +
                 tag + "@example.com\"}",
             reply);
        token[tag] = JsonGetString(reply, "token");
        ASSERT_FALSE(token[tag].empty()) << reply;
    }
};


} // namespace

// One HELLO for a room the relay does not know, while the rooms table is
// locked: the relay looks it up on the side, and the started room's datagrams
// keep flowing while the store has no answer.
TEST_F(StoreStalls, AStalledStoreNeverStopsForwarding)
{
    OverrideBackendHost("127.0.0.1");
    Start();
    const std::string code = JsonGetString(Room(L"/create", "Ann", ""), "code");
    ASSERT_FALSE(code.empty());
    Room(L"/join", "Bob", ",\"code\":\"" + code + "\"");
    Room(L"/ready", "Ann", ",\"code\":\"" + code + "\",\"ready\":true");
    Room(L"/ready", "Bob", ",\"code\":\"" + code + "\",\"ready\":true");

    RawPeer a, b;
    ASSERT_TRUE(StartRawPeer(a, code, 'A'));
    ASSERT_TRUE(StartRawPeer(b, code, 'B'));
    auto got = [&](const std::string& name) {
        for (const RawDatagram& d : RawPeerReceived(b))
            if (d.name == name)
                return true;
        return false;
    };
    for (int i = 0; i < 100 && !got("before"); i++) {
        RawPeerSend(a, "FILE:before\n{}");
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(got("before")) << "the link came up";

    std::atomic<bool> released{false};
    std::thread hold = Hold("LOCK TABLE kestrel_rooms IN ACCESS EXCLUSIVE MODE", 4, released);
    const int third = LoopbackUdp();
    SendToRelayPort(third, "HELLO ZZZZZZ A\n");
    std::this_thread::sleep_for(300ms);
    // Sent and delivered while the lookup waits on the locked table.
    bool during = false;
    for (int i = 0; i < 20 && !released && !during; i++) {
        RawPeerSend(a, "FILE:during" + std::to_string(i) + "\n{}");
        std::this_thread::sleep_for(100ms);
        during = got("during" + std::to_string(i));
    }
    EXPECT_FALSE(released.load()) << "the table stayed locked throughout";
    EXPECT_TRUE(during) << "forwarding waited on the store";
    hold.join();
    close(third);
    StopRawPeer(a);
    StopRawPeer(b);
    OverrideBackendHost("");
}

// With the rooms table locked past the statement time-out, the invitee's
// poll and a new invite have no answer (503), not "closed"; afterwards the
// invite is still there and open.
TEST_F(StoreStalls, NoAnswerFromTheRoomsIsNotAClosedRoom)
{
    OverrideBackendHost("127.0.0.1");
    Start();
    for (const char* tag : {"Ann", "Ben", "Cat"})
        SignUp(tag);
    for (const char* tag : {"Ben", "Cat"}) {
        Account(L"/friends/add", "Ann", std::string(",\"gamertag\":\"") + tag + "\"");
        Account(L"/friends/add", tag, ",\"gamertag\":\"Ann\"");
    }
    const std::string code = JsonGetString(Room(L"/create", "Ann", ""), "code");
    ASSERT_FALSE(code.empty());
    ASSERT_NE(Account(L"/invites/send", "Ann", ",\"gamertag\":\"Ben\",\"code\":\"" + code + "\"").find("\"ok\":true"),
              std::string::npos);

    std::atomic<bool> released{false};
    std::thread hold = Hold("LOCK TABLE kestrel_rooms IN ACCESS EXCLUSIVE MODE", 7, released);
    std::string poll, send;
    bool poll_answered = true, send_answered = true;
    std::thread asks([&] {
        send_answered = Post(kAccountPort, L"/invites/send",
                             "{\"token\":\"" + token["Ann"] + "\",\"gamertag\":\"Cat\",\"code\":\"" + code + "\"}", send);
    });
    poll_answered = Post(kAccountPort, L"/messages/threads", "{\"token\":\"" + token["Ben"] + "\"}", poll);
    asks.join();
    EXPECT_FALSE(released.load()) << "both asked while the table was locked";
    EXPECT_FALSE(poll_answered) << poll;
    EXPECT_FALSE(send_answered) << send;
    hold.join();

    const std::vector<std::string> seen = JsonGetObjectArray(Account(L"/messages/threads", "Ben"), "invites");
    ASSERT_EQ(seen.size(), 1u) << "nothing was deleted on the failure";
    EXPECT_EQ(JsonGetString(seen[0], "state"), "open");
    OverrideBackendHost("");
}

// Another instance holds the upgrade lock longer than the statement time-out:
// this one says it waits, and starts once the lock is free.
TEST_F(StoreStalls, AnInstanceWaitsForAnotherOnesUpgrade)
{
    std::atomic<bool> released{false};
    std::thread hold = Hold("SELECT pg_advisory_xact_lock(" + std::to_string(0x4b455354) + ")", 7, released);
    const std::string out = MakeTempDir("kestrel-upgrade-wait") + "/out.txt";
    const pid_t pid = StartProgram({BuiltProgram("service/kestrel-service"), "--data", MakeTempDir("kestrel-data"),
                                    "--store", database},
                                   out);
    ASSERT_GT(pid, 0);
    std::string text;
    for (int i = 0; i < 300 && text.find("kestrel-service ready") == std::string::npos; i++) {
        std::this_thread::sleep_for(100ms);
        text = ReadFileText(out);
    }
    EXPECT_TRUE(released.load()) << "ready only after the lock was released";
    EXPECT_NE(text.find("waiting for another instance to upgrade"), std::string::npos) << text;
    EXPECT_NE(text.find("kestrel-service ready"), std::string::npos) << text;
    EXPECT_EQ(StopProgram(pid), 0);
    hold.join();
}
