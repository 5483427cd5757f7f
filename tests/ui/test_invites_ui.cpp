// Playing with a friend in two clicks, through the overlay and the real
// service, with kestrel-partner as the friend: presence, an invite each way,
// a declined one, and joining a friend's public room from the list.
#include "page_fixture.h"

#include "backend/friends.h"
#include "backend/messages.h"
#include "backend/ready.h"
#include "backend/rooms.h"

namespace {

class InvitePages : public PageUi
{
protected:
    void TearDown() override
    {
        StopMessagePoller();
        PageUi::TearDown();
    }
    static std::string RoomCode()
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        return g_app.room.room_code;
    }
    static std::string RoomPartner()
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        return g_app.room.room_partner;
    }
    static bool Toasted(const std::string& title, const std::string& text)
    {
        for (const Toast& t : CopyToasts())
            if (t.title == title && t.text == text)
                return true;
        return false;
    }
    // How many items of the last frame show `label`.
    static int Count(const std::string& label)
    {
        int n = 0;
        for (const DriverItem& i : DriverItems())
            if (i.label.substr(0, i.label.find("##")) == label)
                n++;
        return n;
    }
    std::string Log(const char* tag) { return ReadFileText(dir + "/" + tag + ".log"); }
    bool LogShows(const char* tag, const std::string& line, double seconds = 20.0)
    {
        return DriverRunUntil([&] { return Log(tag).find(line) != std::string::npos; }, seconds);
    }
};

} // namespace

TEST_F(InvitePages, InviteBothWaysDeclineAndJoinAFriend)
{
    StartIn(true, {"--online-window", "4"});
    ASSERT_NE(SignUpPartner("kes", "Kes").find("signed up: Kes"), std::string::npos);
    ASSERT_NE(SignUpPartner("rex", "Rex").find("signed up: Rex"), std::string::npos);
    ASSERT_TRUE(SignUpHere("nova", "Nova"));
    Partner("Rex", {"--user", "rex", "--password", kTestPassword, "--friend", "Nova"});
    Partner("Kes", {"--user", "kes", "--password", kTestPassword, "--friend", "Nova"});
    ASSERT_TRUE(StartMessagePoller());
    g_app.shell.current_page = PageFriends;
    OpenMenu();
    ASSERT_TRUE(DriverRunUntil([] { return Count("Accept") == 2; }));
    ASSERT_TRUE(DriverClick("Accept"));
    ASSERT_TRUE(DriverRunUntil([] { return Count("Accept") == 1; }));
    ASSERT_TRUE(DriverClick("Accept"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("NOTIFICATIONS (0)") && Count("Message") == 2; }));

    // Kes idles signed in, ready to take an invite: online, and listed before
    // Rex (a friend since before Kes, but silent).
    pid_t kes = StartPartner("Kes", {"--user", "kes", "--password", kTestPassword, "--accept-invite"}, "60");
    ASSERT_TRUE(LogShows("Kes", "signed in: Kes"));
    ASSERT_TRUE(DriverRunUntil([] {
        const std::string& t = DriverText();
        return t.find("Online") != std::string::npos && t.find("Online") == t.rfind("Online");
    }));
    EXPECT_LT(DriverText().find("Kes"), DriverText().find("Rex"));
    EXPECT_EQ(Count("Invite"), 0) << "no room to invite into";

    // In a room of its own, Nova invites; Kes takes it up and lands in the lobby.
    StartRoomOp({.mode = RoomOpCreate, .name = "Nova's room"});
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.room_state.load() == RoomIn; }));
    NavigateTo(PageFriends);
    ASSERT_TRUE(DriverRunUntil([] { return Count("Invite") == 1; })) << DriverText();
    ASSERT_TRUE(DriverClick("Invite"));
    ASSERT_TRUE(DriverRunUntil([] { return RoomPartner() == "Kes"; }, 30.0)) << Log("Kes");
    EXPECT_NE(Log("Kes").find("room: " + RoomCode() + ", role B"), std::string::npos) << Log("Kes");
    EXPECT_EQ(Count("Invite"), 0) << "a full room invites nobody";
    StopProgram(kes);
    LeaveRoom();

    // Kes invites from its own room; Nova declines: gone here, and from Kes's view of Nova.
    kes = StartPartner("Kes", {"--user", "kes", "--password", kTestPassword, "--create", "Kes's den", "--invite", "Nova"},
                       "60");
    ASSERT_TRUE(DriverRunUntil([] { return Shows("ROOM INVITES"); }, 30.0)) << Log("Kes");
    EXPECT_TRUE(Toasted("Invite from Kes", "Kes's den - open the menu, then View profile, to join."));
    EXPECT_TRUE(Shows("Kes's den"));
    ASSERT_TRUE(LogShows("Kes", "presence: Nova online invited"));
    ASSERT_TRUE(DriverClick("Decline"));
    DriverFrame();
    EXPECT_FALSE(Shows("ROOM INVITES"));
    const size_t invited_at = Log("Kes").find("presence: Nova online invited");
    ASSERT_TRUE(DriverRunUntil([&] { return Log("Kes").find("presence: Nova online\n", invited_at) != std::string::npos; }));
    DriverRunUntil([] { return false; }, 6.0); // a poll later, it stays gone
    EXPECT_FALSE(Shows("ROOM INVITES"));

    // Kes's room is public with a seat free: "In a lobby" and a Join on its row take Nova in.
    ASSERT_TRUE(DriverRunUntil([] { return Shows("In a lobby") && Count("Join") == 1; }));
    ASSERT_TRUE(DriverClick("Join"));
    ASSERT_TRUE(DriverRunUntil([] { return RoomPartner() == "Kes"; }));
    ASSERT_TRUE(LogShows("Kes", "partner joined: Nova"));
    StopProgram(kes);
    LeaveRoom();

    // Kes invites again: the toast and the block's Join take Nova into Kes's lobby.
    TakeToasts();
    kes = StartPartner("Kes", {"--user", "kes", "--password", kTestPassword, "--create", "Kes's den", "--private",
                               "--invite", "Nova"},
                       "60");
    NavigateTo(PageFriends);
    ASSERT_TRUE(DriverRunUntil([] { return Shows("ROOM INVITES"); }, 30.0)) << Log("Kes");
    EXPECT_TRUE(Toasted("Invite from Kes", "Kes's den - open the menu, then View profile, to join."));
    EXPECT_EQ(Count("Join"), 1) << "a private room has no Join on the friend's row";
    ASSERT_TRUE(DriverClick("Join"));
    ASSERT_TRUE(DriverRunUntil([] { return RoomPartner() == "Kes" && g_app.shell.current_page == PageMatchmaking; }));
    ASSERT_TRUE(LogShows("Kes", "partner joined: Nova"));
    NavigateTo(PageFriends);
    DriverRunUntil([] { return false; }, 6.0);
    EXPECT_FALSE(Shows("ROOM INVITES")) << "taken up: the service forgets it";
    StopProgram(kes);
}
