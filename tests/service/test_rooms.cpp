// The service's room rules, called directly with a controlled clock.
#include "rules/rooms.h"

#include <gtest/gtest.h>

#include <set>

namespace {

RoomCaller Player(const std::string& name, const std::string& cid, uint32_t ip = 0x7f000001,
                  const std::string& game = std::string())
{
    RoomCaller c;
    c.name = name;
    c.cid = cid;
    c.ip = ip;
    c.game_version = game;
    return c;
}

const RoomCaller kAnn = Player("Ann", "c0ffee01");
const RoomCaller kBob = Player("Bob", "c0ffee02");
const RoomCaller kCid = Player("Cid", "c0ffee03");

} // namespace

TEST(RoomCodes, ShortUpperCaseWithoutLookAlikes)
{
    RoomStore store;
    std::set<std::string> seen;
    for (int i = 0; i < 2000; i++) {
        const std::string code = NewRoomCode(store);
        ASSERT_LE(code.size(), 7u);
        for (char c : code)
            ASSERT_EQ(std::string("0O1IL2Z5S8B").find(c), std::string::npos) << code;
        seen.insert(code);
    }
    EXPECT_GT(seen.size(), 1990u);
    EXPECT_EQ(NormalizeRoomCode("ac-d 34"), "ACD34");
    EXPECT_EQ(NormalizeRoomCode("AB\"C"), "");
    EXPECT_EQ(NormalizeRoomCode("ABCDEFGH"), "");
}

TEST(Rooms, CreatorIsAJoinerIsBAndAThirdIsRefused)
{
    RoomStore store;
    const RoomResult created = CreateRoom(store, kAnn, CreateRequest{"Ann's", "Ch 2", "Docks", "", true}, 0);
    ASSERT_TRUE(created.ok);
    EXPECT_EQ(created.slot, 0);
    const std::string code = created.room->code;

    std::string lower = code;
    for (char& c : lower)
        c = (char)tolower(c);
    const RoomResult joined = JoinRoom(store, kBob, lower, 10); // typed in lower case
    ASSERT_TRUE(joined.ok);
    EXPECT_EQ(joined.slot, 1);
    EXPECT_EQ(JoinRoom(store, kBob, code, 20).slot, 1); // asking again is harmless

    const RoomResult third = JoinRoom(store, kCid, code, 30);
    EXPECT_FALSE(third.ok);
    EXPECT_EQ(third.error, "Room is full.");
    EXPECT_EQ(JoinRoom(store, kCid, "ZZZZZZ", 30).error, "Room not found.");
    EXPECT_EQ(JoinRoom(store, kCid, "", 30).error, "Room not found.");
}

TEST(Rooms, QuickmatchJoinsTheOldestPublicWaitingRoomOrOpensOne)
{
    RoomStore store;
    const std::string first = Quickmatch(store, kAnn, 0).room->code;      // opens one
    CreateRoom(store, kBob, CreateRequest{"private", "", "", "", false}, 1); // not public
    const RoomResult matched = Quickmatch(store, kCid, 2);
    ASSERT_TRUE(matched.ok);
    EXPECT_EQ(matched.room->code, first);
    EXPECT_EQ(matched.slot, 1);
    // Ann asking again while waiting does not match her with herself.
    RoomStore solo;
    const std::string own = Quickmatch(solo, kAnn, 0).room->code;
    EXPECT_NE(Quickmatch(solo, kAnn, 1).room->code, own);
}

TEST(Rooms, QuickmatchPairsTheSameGameBuildFirstAndAnOlderClientAsBefore)
{
    RoomStore store;
    const std::string old_build = CreateRoom(store, Player("Ann", "a1", 1, "1.0.2.0"), CreateRequest{}, 0).room->code;
    const std::string unnamed = CreateRoom(store, Player("Bob", "b1", 2), CreateRequest{}, 1).room->code; // older client
    const std::string same = CreateRoom(store, Player("Cid", "c1", 3, "1.0.3.0"), CreateRequest{}, 2).room->code;
    // A player of 1.0.3.0 skips the two older rooms for the one of its build...
    EXPECT_EQ(Quickmatch(store, Player("Dan", "d1", 4, "1.0.3.0"), 3).room->code, same);
    // ...one whose build nobody waits with takes the oldest, as does an older client.
    EXPECT_EQ(Quickmatch(store, Player("Eve", "e1", 5, "2.0.0.0"), 4).room->code, old_build);
    EXPECT_EQ(Quickmatch(store, Player("Fay", "f1", 6), 5).room->code, unnamed);
}

TEST(Rooms, AMemberKeepsItsKeyAndVersionsUntilItSaysOtherwiseAndARejoinDropsTheKey)
{
    RoomStore store;
    RoomCaller ann = Player("Ann", "a1", 1, "1.0.2.0");
    ann.kestrel_version = "0.2.0";
    const std::string code = CreateRoom(store, ann, CreateRequest{}, 0).room->code;
    RoomCaller beat = ann;
    beat.link_key = std::string(64, 'a');
    const RoomResult r = Heartbeat(store, beat, code, 1);
    ASSERT_TRUE(r.ok);
    // A request without the members (a chat poll) changes none of them.
    EXPECT_TRUE(Heartbeat(store, Player("Ann", "a1", 1), code, 2).ok);
    const RoomMember& m = store.rooms.at(code).member[0];
    EXPECT_EQ(m.link_key, std::string(64, 'a'));
    EXPECT_EQ(m.kestrel_version, "0.2.0");
    EXPECT_EQ(m.game_version, "1.0.2.0");
    // Back after a restart: a new link session, whose key comes with its next beat.
    EXPECT_TRUE(JoinRoom(store, ann, code, 3).ok);
    EXPECT_EQ(store.rooms.at(code).member[0].link_key, "");
    EXPECT_EQ(store.rooms.at(code).member[0].game_version, "1.0.2.0");
}

TEST(Rooms, StartedOnceBothAreReadyAndResetWhenTheJoinerGoes)
{
    RoomStore store;
    const std::string code = CreateRoom(store, kAnn, CreateRequest{}, 0).room->code;
    EXPECT_TRUE(SetMemberReady(store, kAnn, code, true, 0).ok);
    EXPECT_FALSE(RoomStarted(store.rooms[code])); // alone
    JoinRoom(store, kBob, code, 0);
    SetMemberReady(store, kBob, code, true, 0);
    EXPECT_TRUE(RoomStarted(store.rooms[code]));

    LeaveRoomAs(store, kBob, code);
    ASSERT_TRUE(store.rooms.count(code));
    EXPECT_FALSE(store.rooms[code].member[0].ready); // waits again, un-readied
    EXPECT_FALSE(store.rooms[code].member[1].present);
    LeaveRoomAs(store, kAnn, code); // the host leaving closes it
    EXPECT_FALSE(store.rooms.count(code));
    EXPECT_EQ(Heartbeat(store, kBob, code, 0).error, "Room closed.");
}

TEST(Rooms, SilentMembersExpire)
{
    RoomStore store;
    store.limits.away_grace_ms = 0; // no grace: gone at the time-out
    const std::string code = CreateRoom(store, kAnn, CreateRequest{}, 0).room->code;
    JoinRoom(store, kBob, code, 0);
    SetMemberReady(store, kAnn, code, true, 0);
    Heartbeat(store, kAnn, code, 9000);
    ExpireMembers(store, 11000); // Bob silent for 11 s
    ASSERT_TRUE(store.rooms.count(code));
    EXPECT_FALSE(store.rooms[code].member[1].present);
    EXPECT_FALSE(store.rooms[code].member[0].ready);
    ExpireMembers(store, 19500); // Ann silent for 10.5 s
    EXPECT_FALSE(store.rooms.count(code));
}

TEST(Rooms, APlayerIsInOneRoomAtATime)
{
    RoomStore store;
    const std::string a = CreateRoom(store, kAnn, CreateRequest{}, 0).room->code;
    const std::string b = CreateRoom(store, kBob, CreateRequest{}, 0).room->code;
    JoinRoom(store, kCid, a, 0);
    JoinRoom(store, kCid, b, 0); // moving on leaves the first room
    EXPECT_FALSE(store.rooms[a].member[1].present);
    CreateRoom(store, kAnn, CreateRequest{}, 0); // Ann's old room closes
    EXPECT_FALSE(store.rooms.count(a));
}

TEST(Rooms, CreatingOnAFullServerIsRefusedBeforeTheCurrentRoomIsLeft)
{
    RoomStore store;
    store.limits.max_rooms = 2;
    const std::string ann = CreateRoom(store, kAnn, CreateRequest{}, 0).room->code;
    CreateRoom(store, kBob, CreateRequest{"", "", "", "", false}, 0); // private: quickmatch passes it by
    ASSERT_TRUE(JoinRoom(store, kCid, ann, 0).ok);
    EXPECT_EQ(CreateRoom(store, kCid, CreateRequest{}, 0).error, "The server is full. Try again later.");
    EXPECT_TRUE(Heartbeat(store, kCid, ann, 0).ok); // still in Ann's room
    EXPECT_EQ(Quickmatch(store, kCid, 0).error, "The server is full. Try again later.");
    EXPECT_TRUE(Heartbeat(store, kCid, ann, 0).ok);
    // A host's own room closes on the way, so it makes room for the new one.
    EXPECT_TRUE(CreateRoom(store, kAnn, CreateRequest{}, 0).ok);
    EXPECT_FALSE(store.rooms.count(ann));
}

// The client id alone names a member; a guest who signs in mid-room changes
// name and keeps playing, and the partner sees the new name.
TEST(Rooms, MembersAreKnownByClientIdAndTheNameFollows)
{
    RoomStore store;
    const std::string code = CreateRoom(store, kAnn, CreateRequest{}, 0).room->code;
    ASSERT_TRUE(JoinRoom(store, Player("Guest1234", kBob.cid), code, 0).ok);
    EXPECT_FALSE(Heartbeat(store, Player("Ann", "other"), code, 0).ok);
    const RoomCaller signed_in = Player("Bobby", kBob.cid);
    EXPECT_TRUE(Heartbeat(store, signed_in, code, 0).ok);
    EXPECT_EQ(store.rooms[code].member[1].name, "Bobby");
    EXPECT_TRUE(SetMemberReady(store, signed_in, code, true, 0).ok);
    EXPECT_TRUE(SetMemberReady(store, kAnn, code, true, 0).ok);
    EXPECT_TRUE(RoomStarted(store.rooms[code]));
    ASSERT_TRUE(SendChatLine(store, signed_in, code, "hi", 0).ok);
    EXPECT_EQ(store.rooms[code].chat.back().name, "Bobby");
    LeaveRoomAs(store, signed_in, code);
    EXPECT_FALSE(store.rooms[code].member[1].present);
}

TEST(RoomChat, IdsGrowAndHistoryIsBounded)
{
    RoomStore store;
    store.limits.max_chat_lines = 3;
    const std::string code = CreateRoom(store, kAnn, CreateRequest{}, 0).room->code;
    JoinRoom(store, kBob, code, 0);
    for (int i = 0; i < 5; i++)
        ASSERT_TRUE(SendChatLine(store, i % 2 ? kBob : kAnn, code, "line " + std::to_string(i), 0).ok);
    const Room& room = store.rooms[code];
    ASSERT_EQ(room.chat.size(), 3u);
    EXPECT_EQ(room.chat.front().id, 3);
    EXPECT_EQ(room.chat.back().id, 5);
    EXPECT_EQ(room.chat.back().role, 'A');
    EXPECT_EQ(room.chat[1].role, 'B');
    EXPECT_FALSE(SendChatLine(store, kCid, code, "not a member", 0).ok);
}

TEST(RoomList, PublicRoomsWaitingForAPartnerOldestFirst)
{
    RoomStore store;
    const std::string a = CreateRoom(store, kAnn, CreateRequest{"a", "", "", "", true}, 0).room->code;
    CreateRoom(store, kBob, CreateRequest{"b", "", "", "", false}, 0);
    const std::string c = CreateRoom(store, kCid, CreateRequest{"c", "", "", "", true}, 0).room->code;
    std::vector<const Room*> open = OpenRooms(store, 10);
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0]->code, a);
    EXPECT_EQ(open[1]->code, c);
    JoinRoom(store, Player("Dee", "c0ffee04"), a, 0);
    open = OpenRooms(store, 10);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0]->code, c);
    EXPECT_EQ(OpenRooms(store, 0).size(), 0u);
}

TEST(RoomRelay, OnlyMembersOfAStartedRoomFromTheirOwnAddress)
{
    RoomStore store;
    const std::string code = CreateRoom(store, kAnn, CreateRequest{}, 0).room->code;
    JoinRoom(store, Player("Bob", kBob.cid, 0x0a000002), code, 0);
    EXPECT_FALSE(RelayMayRegister(store, code, 'A', 0x7f000001, false)); // not started
    SetMemberReady(store, kAnn, code, true, 0);
    SetMemberReady(store, Player("Bob", kBob.cid, 0x0a000002), code, true, 0);
    EXPECT_TRUE(RelayMayRegister(store, code, 'A', 0x7f000001, false));
    EXPECT_TRUE(RelayMayRegister(store, code, 'B', 0x0a000002, false));
    EXPECT_FALSE(RelayMayRegister(store, code, 'B', 0x7f000001, false)); // someone else
    EXPECT_TRUE(RelayMayRegister(store, code, 'B', 0x7f000001, true));   // relaxed
    EXPECT_FALSE(RelayMayRegister(store, "NOROOM", 'A', 0x7f000001, true));
}

// A burst of creates from one address cannot keep the server full: the
// address holds a few rooms at once, and a room whose lone host never beat
// is gone at the plain time-out, not after the away grace.
TEST(Rooms, OneAddressHoldsAFewRoomsAndABareCreateGoesAtTheTimeOut)
{
    RoomStore store;
    store.limits.max_rooms_per_address = 3;
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(CreateRoom(store, Player("P" + std::to_string(i), "f100" + std::to_string(i), 0x0a000001),
                               CreateRequest{}, 0).ok);
    const RoomCaller fourth = Player("P3", "f1003", 0x0a000001);
    EXPECT_EQ(CreateRoom(store, fourth, CreateRequest{}, 0).error,
              "Too many rooms are open from your network. Try again later.");
    EXPECT_TRUE(CreateRoom(store, kAnn, CreateRequest{}, 0).ok) << "another address is not held back";
    // A host's new room replaces its own old one: no bound hit.
    EXPECT_TRUE(CreateRoom(store, Player("P0", "f1000", 0x0a000001), CreateRequest{}, 0).ok);

    // Ann beats, the three bare creates do not: 10.5 s on, only Ann's room stays.
    const std::string ann = [&] {
        for (const auto& [code, room] : store.rooms)
            if (room.member[0].cid == kAnn.cid)
                return code;
        return std::string();
    }();
    ASSERT_TRUE(Heartbeat(store, kAnn, ann, 100).ok);
    ExpireMembers(store, 10500);
    EXPECT_EQ(store.rooms.size(), 1u);
    EXPECT_TRUE(store.rooms.count(ann)) << "a host that beat keeps the away grace";
    EXPECT_TRUE(CreateRoom(store, fourth, CreateRequest{}, 10500).ok) << "the address has room again";
}

// Only a member that proved the account (its token, under its own gamertag)
// is that account's; a guest who took the name is not, and a request without
// a token keeps an earlier proof only while the name stays.
TEST(Rooms, AMemberIsAnAccountsOnlyOnceProved)
{
    RoomStore store;
    RoomCaller ann = Player("Ann", "c0ffee01");
    ann.account = "ann";
    const std::string code = CreateRoom(store, ann, CreateRequest{}, 0).room->code;
    ASSERT_TRUE(JoinRoom(store, Player("ANN", "c0ffee02"), code, 0).ok); // a guest playing as "ANN"
    const Room& room = store.rooms[code];
    EXPECT_EQ(ProvedSlot(room, "ann"), 0);
    EXPECT_EQ(ProvedSlot(room, ""), -1);
    Heartbeat(store, Player("Ann", "c0ffee01"), code, 1); // an older route without the token
    EXPECT_EQ(ProvedSlot(room, "ann"), 0);
    Heartbeat(store, Player("Annie", "c0ffee01"), code, 2); // renamed without proof
    EXPECT_EQ(ProvedSlot(room, "ann"), -1);
    EXPECT_EQ(ProvedSlot(room, "annie"), -1);
}
