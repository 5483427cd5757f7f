// Rooms shared in PostgreSQL, through two handles on one database standing in
// for two instances, with a controlled wall clock.
#include "pg_server.h"
#include "store/room_store_postgres.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

RoomCaller Caller(const char* name, const char* cid, uint32_t ip, const char* account = "", const char* game = "")
{
    RoomCaller c;
    c.name = name;
    c.cid = cid;
    c.ip = ip;
    c.account = account;
    c.game_version = game;
    return c;
}

const RoomCaller kHost = Caller("Ann", "c0ffee01", 0x7f000001, "ann"); // signed in
const RoomCaller kGuest = Caller("Bob", "c0ffee02", 0x7f000002);

bool Eventually(const std::function<bool()>& done)
{
    for (int i = 0; i < 500 && !done(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

int64_t Wall()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct SharedRoomsTest : testing::Test
{
    std::string db;
    SharedRooms* first = nullptr;
    SharedRooms* second = nullptr;
    RoomLimits limits;

    void SetUp() override
    {
        std::string error;
        db = CreateTestDatabase(error);
        ASSERT_FALSE(db.empty()) << error;
        limits.max_chat_lines = 3;
        limits.away_grace_ms = 5000;
        first = OpenSharedRooms(db, limits, "10.0.0.1:39000", error);
        second = OpenSharedRooms(db, limits, "10.0.0.2:39000", error);
        ASSERT_TRUE(first && second) << error;
    }
    void TearDown() override
    {
        CloseSharedRooms(first);
        CloseSharedRooms(second);
        if (!db.empty())
            DropTestDatabase(db);
    }
    // Runs one room call on `on`; what it answered, as the reply would use it.
    RoomResult Call(SharedRooms* on, RoomLoad load, const std::function<RoomResult(RoomStore&)>& fn, Room* room = nullptr)
    {
        RoomResult out;
        EXPECT_TRUE(RunSharedRooms(on, load, [&](RoomStore& s) {
            out = fn(s);
            if (out.ok && room)
                *room = *out.room;
            out.room = nullptr; // the scratch store goes with the call
        }));
        return out;
    }
    RoomLoad Code(const std::string& code)
    {
        RoomLoad l;
        l.code = code;
        return l;
    }
};

} // namespace

// One room's life across both instances: opened on the first, joined and
// readied on the second, chat kept to its limit, the relay check, the room
// moved when the first instance goes, and the members swept away by time.
TEST_F(SharedRoomsTest, ARoomLivesOnBothInstancesMovesWithItsRelayAndExpires)
{
    RoomLoad open;
    open.cid = kHost.cid;
    open.quickmatch = true;
    Room room;
    ASSERT_TRUE(Call(first, open, [&](RoomStore& s) { return Quickmatch(s, kHost, Wall()); }, &room).ok);
    const std::string code = room.code;
    EXPECT_EQ(room.relay, "10.0.0.1:39000");

    RoomLoad match = open;
    match.cid = kGuest.cid;
    ASSERT_TRUE(Call(second, match, [&](RoomStore& s) { return Quickmatch(s, kGuest, Wall()); }, &room).ok);
    EXPECT_EQ(room.code, code) << "the second instance's quickmatch finds the first one's room";
    for (SharedRooms* on : {first, second})
        ASSERT_TRUE(Call(on, Code(code), [&](RoomStore& s) {
            return SetMemberReady(s, on == first ? kHost : kGuest, code, true, Wall());
        }, &room).ok);
    EXPECT_TRUE(RoomStarted(room));

    for (int i = 1; i <= 5; i++)
        ASSERT_TRUE(Call(i % 2 ? first : second, Code(code), [&](RoomStore& s) {
            return SendChatLine(s, i % 2 ? kHost : kGuest, code, "line " + std::to_string(i), Wall());
        }).ok);
    RoomLoad poll = Code(code);
    poll.chat_after = 0;
    ASSERT_TRUE(Call(second, poll, [&](RoomStore& s) { return Heartbeat(s, kGuest, code, Wall()); }, &room).ok);
    ASSERT_EQ(room.chat.size(), 3u) << "kept to the limit, oldest first";
    EXPECT_EQ(room.chat.front().body, "line 3");
    EXPECT_EQ(room.chat.back().id, 5);

    // No refresh since it started: the first HELLO is looked up on the side
    // (the relay never waits on the store), and the answer comes shortly.
    uint64_t seat = 0;
    EXPECT_EQ(SharedRelayMayRegister(first, code, 'B', kGuest.ip, false, &seat), -1);
    EXPECT_TRUE(Eventually([&] { return SharedRelayMayRegister(first, code, 'B', kGuest.ip, false, &seat) == 1; }));
    EXPECT_EQ(SharedRelayMayRegister(first, code, 'B', kHost.ip, false, &seat), 0) << "another IP";
    EXPECT_TRUE(Eventually([&] { return SharedRelayMayRegister(second, code, 'A', kHost.ip, false, &seat) == 0; }))
        << "not its room";

    // Presence: the signed-in host's seat is found by its account, the guest's name finds none.
    Room seen;
    EXPECT_EQ(SharedRoomOfPlayer(first, "ann", seen), 1);
    EXPECT_EQ(SharedRoomOfPlayer(first, "bob", seen), 0);

    CloseSharedRooms(first); // its relay withdrawn, as when an instance stops
    first = nullptr;
    SweepSharedRooms(second, Wall());
    ASSERT_TRUE(Call(second, Code(code), [&](RoomStore& s) { return Heartbeat(s, kHost, code, Wall()); }, &room).ok);
    EXPECT_EQ(room.relay, "10.0.0.2:39000");
    RefreshServedRooms(second);
    EXPECT_EQ(SharedRelayMayRegister(second, code, 'A', kHost.ip, false, &seat), 1);

    const int64_t silent = Wall() + limits.member_timeout_ms + 1000;
    SweepSharedRooms(second, silent);
    ASSERT_EQ(SharedRoomByCode(second, code, room), 1) << "away, not gone";
    EXPECT_TRUE(room.member[0].away && room.member[1].away);
    EXPECT_TRUE(room.member[1].ready) << "an away member keeps its ready flag";
    SweepSharedRooms(second, silent + limits.away_grace_ms);
    EXPECT_EQ(SharedRoomByCode(second, code, room), 0) << "the host gone past the grace closes it";
    RoomStats stats;
    ASSERT_TRUE(SharedRoomStats(second, stats));
    EXPECT_EQ(stats.members + stats.chat_lines, 0u);
}

// The store picks the waiting room for a quickmatch by itself: of the caller's
// game build first, the oldest otherwise; and a member's key and versions
// cross from one instance to the other.
TEST_F(SharedRoomsTest, QuickmatchPrefersTheSameBuildAndKeysCrossInstances)
{
    auto quick = [&](SharedRooms* on, const RoomCaller& who) {
        RoomLoad l;
        l.cid = who.cid;
        l.quickmatch = true;
        l.game = who.game_version;
        Room room;
        EXPECT_TRUE(Call(on, l, [&](RoomStore& s) { return Quickmatch(s, who, Wall()); }, &room).ok);
        return room;
    };
    auto create = [&](const RoomCaller& who) {
        RoomLoad l;
        l.cid = who.cid;
        l.create = true;
        Room room;
        EXPECT_TRUE(Call(first, l, [&](RoomStore& s) { return CreateRoom(s, who, CreateRequest{}, Wall()); }, &room).ok);
        return room.code;
    };
    const std::string older = create(Caller("Ann", "a1", 1, "", "1.0.2.0"));
    const std::string newer = create(Caller("Bob", "b1", 2, "", "1.0.3.0"));
    EXPECT_EQ(quick(second, Caller("Cid", "c1", 3, "", "1.0.3.0")).code, newer);
    EXPECT_EQ(quick(second, Caller("Dan", "d1", 4)).code, older) << "an older client takes the oldest";

    RoomCaller ann = Caller("Ann", "a1", 1, "", "1.0.2.0");
    ann.link_key = std::string(64, 'c');
    ann.kestrel_version = "0.2.0";
    ASSERT_TRUE(Call(first, Code(older), [&](RoomStore& s) { return Heartbeat(s, ann, older, Wall()); }).ok);
    Room room;
    ASSERT_TRUE(Call(second, Code(older), [&](RoomStore& s) { return Heartbeat(s, Caller("Dan", "d1", 4), older, Wall()); },
                     &room).ok);
    EXPECT_EQ(room.member[0].link_key, std::string(64, 'c'));
    EXPECT_EQ(room.member[0].kestrel_version, "0.2.0");
    EXPECT_EQ(room.member[0].game_version, "1.0.2.0");
}

// The store's odd rows and numbers: a chat poll after an id past 32 bits
// answers (empty), and a row no release can read neither crashes a sweep nor
// keeps coming first in every sweep while real rooms wait to expire.
TEST_F(SharedRoomsTest, LargeChatIdsAndUnreadableRowsDoNotStopTheStore)
{
    RoomLoad open;
    open.cid = kHost.cid;
    open.create = true;
    Room room;
    ASSERT_TRUE(Call(first, open, [&](RoomStore& s) { return CreateRoom(s, kHost, CreateRequest{}, Wall()); }, &room).ok);
    ASSERT_TRUE(Call(first, Code(room.code), [&](RoomStore& s) {
        return SendChatLine(s, kHost, room.code, "hi", Wall());
    }).ok);
    RoomLoad poll = Code(room.code);
    poll.chat_after = int64_t(1) << 31;
    Room polled;
    EXPECT_TRUE(Call(first, poll, [&](RoomStore& s) { return Heartbeat(s, kHost, room.code, Wall()); }, &polled).ok);
    EXPECT_TRUE(polled.chat.empty());

    // More unreadable rows than one sweep takes, all long due, sorting first.
    std::string error;
    ASSERT_TRUE(ExecOnDatabase(db,
                               "INSERT INTO kestrel_rooms (code, opened, waiting, started, members, host_cid, host_key,"
                               " relay, due_ms, doc) SELECT '0' || g, 0, false, false, 1, 'x', '', '', 1, 'not json'"
                               " FROM generate_series(1, 250) g",
                               error))
        << error;
    const int64_t silent = Wall() + limits.member_timeout_ms + 1000;
    for (int turn = 0; turn < 3; turn++)
        SweepSharedRooms(first, silent + limits.away_grace_ms + turn);
    EXPECT_EQ(SharedRoomByCode(first, room.code, polled), 0) << "the real room expired behind the unreadable ones";
}
