// Friends, conversations and the message poller against a scripted account
// port: bodies, how answers land, the stale and duplicate rules, and when the
// poller raises toasts.
#include "app_reset.h"
#include "backend/account.h"
#include "backend/friends.h"
#include "backend/messages.h"
#include "backend/settings.h"
#include "scripted_port.h"
#include "state/config.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

namespace {

struct Lists
{
    std::vector<std::string> friends, incoming, outgoing;
    std::string status;
};

Lists Social()
{
    std::lock_guard<std::mutex> g(g_app.social.lock);
    return {g_app.social.friends, g_app.social.incoming_requests, g_app.social.outgoing_requests,
            g_app.social.friend_status};
}

std::vector<DirectMessage> Conversation()
{
    std::lock_guard<std::mutex> g(g_app.social.lock);
    return g_app.social.conversation;
}

class SocialWire : public testing::Test
{
protected:
    ScriptedPort port;
    std::unique_ptr<GameDirectory> game;

    void SetUp() override
    {
        ResetAccountAreas();
        ResetRoomAreas();
        ResetSocialAreas();
        game = std::make_unique<GameDirectory>();
        ASSERT_TRUE(port.Start(kAccountPort)) << "port 39001 is taken: run through tests/netns-run";
        SignedInAs("tok-y");
    }
    void TearDown() override
    {
        StopMessagePoller();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        port.Stop();
        game.reset();
    }
    void SignedInAs(const std::string& token)
    {
        std::lock_guard<std::mutex> g(g_app.account.lock);
        g_app.account.token = token;
        g_app.account.gamertag = "Yol";
    }
    bool Idle()
    {
        return WaitUntil([] { return !g_app.flags.friends_busy.load(); });
    }
};

} // namespace

// ---------------------------------------------------------------------------
// Friends
// ---------------------------------------------------------------------------

TEST_F(SocialWire, TheListReplyFillsAllThreeListsInOrder)
{
    port.Answer("/friends/list", R"({"ok":true,"friends":[{"gamertag":"a"},{"gamertag":"b"}]})");
    RefreshFriends();
    ASSERT_TRUE(WaitUntil([] { return Social().friends.size() == 2; }));
    Lists l = Social();
    EXPECT_EQ(l.friends, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(l.incoming.empty());
    EXPECT_EQ(port.Bodies("/friends/list")[0], "{\"token\":\"tok-y\"}");

    ASSERT_TRUE(Idle());
    port.Answer("/friends/list", R"({"ok":true,"friends":[],"incoming":[{"gamertag":"Zed"},{"x":1}],)"
                                 R"("outgoing":[{"gamertag":"Xav"}]})");
    RefreshFriends();
    ASSERT_TRUE(WaitUntil([] { return Social().incoming.size() == 2; }));
    l = Social();
    EXPECT_TRUE(l.friends.empty());
    EXPECT_EQ(l.incoming, (std::vector<std::string>{"Zed", ""})); // no gamertag: an empty entry
    EXPECT_EQ(l.outgoing, (std::vector<std::string>{"Xav"}));
}

TEST_F(SocialWire, ARefreshWhileOneRunsStartsNothing)
{
    port.Delay("/friends/list", 300);
    RefreshFriends();
    RefreshFriends();
    RefreshFriends();
    ASSERT_TRUE(Idle());
    EXPECT_EQ(port.Count("/friends/list"), 1u);
}

TEST_F(SocialWire, SignedOutTheRefreshSendsNothingAndKeepsTheLists)
{
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        g_app.social.friends = {"kept"};
    }
    SignedInAs("");
    RefreshFriends();
    ASSERT_TRUE(Idle());
    EXPECT_EQ(port.Count("/friends/list"), 0u);
    EXPECT_EQ(Social().friends, std::vector<std::string>{"kept"});
}

TEST_F(SocialWire, ActionsSendTheirBodyAndShowTheOutcome)
{
    port.Answer("/friends/add", R"({"ok":false,"error":"No player has that gamertag."})");
    StartFriendAction(L"/friends/add", "Ze\"d", false, false);
    ASSERT_TRUE(WaitUntil([] { return Social().status == "No player has that gamertag."; }));
    EXPECT_EQ(port.Bodies("/friends/add")[0], "{\"token\":\"tok-y\",\"gamertag\":\"Ze\\\"d\"}");
    EXPECT_TRUE(WaitUntil([this] { return port.Count("/friends/list") >= 1; })); // refreshed after

    port.Answer("/friends/respond", R"({"ok":false})");
    StartFriendAction(L"/friends/respond", "Xav", false, true);
    ASSERT_TRUE(WaitUntil([] { return Social().status == "Something went wrong."; }));
    EXPECT_EQ(port.Bodies("/friends/respond")[0], "{\"token\":\"tok-y\",\"gamertag\":\"Xav\",\"accept\":false}");

    port.Answer("/friends/respond", R"({"ok":true})");
    StartFriendAction(L"/friends/respond", "Xav", true, true);
    ASSERT_TRUE(WaitUntil([] { return Social().status.empty(); }));
    EXPECT_EQ(port.Bodies("/friends/respond")[1], "{\"token\":\"tok-y\",\"gamertag\":\"Xav\",\"accept\":true}");

    port.Stop();
    StartFriendAction(L"/friends/remove", "Xav", false, false);
    EXPECT_TRUE(WaitUntil([] { return Social().status == "Can't reach the server."; }));
}

// ---------------------------------------------------------------------------
// Conversations
// ---------------------------------------------------------------------------

TEST_F(SocialWire, AConversationIsFetchedAfterTheLastIdAndNeverShowsAMessageTwice)
{
    OpenConversation("Xav");
    EXPECT_EQ(g_app.shell.pending_page, PageMessages);
    port.Answer("/messages/conversation",
                R"({"ok":true,"messages":[{"id":3,"mine":false,"body":"hi"},{"id":4,"mine":true,"body":"yo"}]})");
    port.Delay("/messages/conversation", 150);
    FetchConversation();
    FetchConversation(); // one is running: this one starts nothing
    ASSERT_TRUE(WaitUntil([this] { return port.Count("/messages/conversation") == 1; }));
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.conversation_busy.load(); }));
    EXPECT_EQ(port.Count("/messages/conversation"), 1u);
    std::vector<DirectMessage> c = Conversation();
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].body, "hi");
    EXPECT_FALSE(c[0].mine);
    EXPECT_TRUE(c[1].mine);
    EXPECT_EQ(port.Bodies("/messages/conversation")[0], "{\"token\":\"tok-y\",\"gamertag\":\"Xav\",\"after_id\":0}");

    // Replies that bring the same messages again keep one copy.
    uint32_t opened = 0;
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        opened = g_app.social.conversation_opens;
    }
    std::thread again(ConversationWorker, std::string("Xav"), 0, opened);
    ConversationWorker("Xav", 0, opened);
    again.join();
    EXPECT_EQ(Conversation().size(), 2u);

    port.Delay("/messages/conversation", 0);
    FetchConversation();
    ASSERT_TRUE(WaitUntil([this] { return port.Count("/messages/conversation") == 4; }));
    EXPECT_EQ(port.Bodies("/messages/conversation")[3], "{\"token\":\"tok-y\",\"gamertag\":\"Xav\",\"after_id\":4}");
}

TEST_F(SocialWire, AReplyForAConversationNoLongerOpenIsDropped)
{
    OpenConversation("Xav");
    port.Delay("/messages/conversation", 300);
    port.Answer("/messages/conversation", R"({"ok":true,"messages":[{"id":1,"mine":false,"body":"for Xav's"}]})");
    FetchConversation();
    ASSERT_TRUE(WaitUntil([this] { return port.Count("/messages/conversation") == 1; }));
    OpenConversation("Zed");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(Conversation().empty());
}

TEST_F(SocialWire, AFetchAskedBeforeTheConversationWasReopenedChangesNothing)
{
    OpenConversation("Xav");
    port.Answer("/messages/conversation", R"({"ok":true,"messages":[{"id":1,"body":"a"},{"id":2,"body":"b"},{"id":3,"body":"c"}]})");
    FetchConversation();
    ASSERT_TRUE(WaitUntil([] { return Conversation().size() == 3 && !g_app.flags.conversation_busy.load(); }));
    // Asked after 3; the player reopens the conversation before it answers.
    port.Delay("/messages/conversation", 300);
    port.Answer("/messages/conversation", R"({"ok":true,"messages":[{"id":4,"body":"d"}]})");
    FetchConversation();
    ASSERT_TRUE(WaitUntil([this] { return port.Count("/messages/conversation") == 2; }));
    OpenConversation("Xav");
    ASSERT_TRUE(WaitUntil([] { return !g_app.flags.conversation_busy.load(); }));
    EXPECT_TRUE(Conversation().empty());
    // The next fetch starts from the beginning again: no history skipped.
    port.Delay("/messages/conversation", 0);
    FetchConversation();
    ASSERT_TRUE(WaitUntil([this] { return port.Count("/messages/conversation") == 3; }));
    EXPECT_EQ(port.Bodies("/messages/conversation")[2], "{\"token\":\"tok-y\",\"gamertag\":\"Xav\",\"after_id\":0}");
}

TEST_F(SocialWire, SendingPostsTheEscapedTextThenFetches)
{
    OpenConversation("Xav");
    SendDirectMessage("a \"quoted\" line");
    ASSERT_TRUE(WaitUntil([this] { return port.Count("/messages/conversation") == 1; }));
    EXPECT_EQ(port.Bodies("/messages/send")[0],
              "{\"token\":\"tok-y\",\"gamertag\":\"Xav\",\"text\":\"a \\\"quoted\\\" line\"}");
    SendDirectMessage("");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(port.Count("/messages/send"), 1u);
}

// ---------------------------------------------------------------------------
// The poller
// ---------------------------------------------------------------------------

TEST_F(SocialWire, ThePollerPrimesFirstThenToastsGrowingCounts)
{
    TakeToasts();
    port.Answer("/messages/threads", R"({"ok":true,"threads":[{"unread":2,"gamertag":"Xav","last":"waiting"}]})");
    ASSERT_TRUE(StartMessagePoller());
    EXPECT_FALSE(StartMessagePoller()); // once per process
    ASSERT_TRUE(WaitUntil([] { return g_app.poller.threads_primed.load(); }));
    EXPECT_TRUE(TakeToasts().empty()); // what waited before the first poll raises nothing
    EXPECT_EQ(port.Bodies("/messages/threads")[0], "{\"token\":\"tok-y\"}");

    port.Answer("/messages/threads", R"({"ok":true,"threads":[{"unread":3,"gamertag":"Xav","last":"new one"}]})");
    ASSERT_TRUE(WaitUntil([] { return !CopyToasts().empty(); })); // the next poll, 5 s on
    const std::vector<Toast> t = TakeToasts();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].title, "Xav");
    EXPECT_EQ(t[0].text, "new one");
}

TEST_F(SocialWire, NoToastForTheConversationOnScreenButOneForAnother)
{
    TakeToasts();
    port.Answer("/messages/threads", R"({"ok":true,"threads":[{"unread":0,"gamertag":"Xav","last":""},)"
                                     R"({"unread":0,"gamertag":"Zed","last":""}]})");
    OpenConversation("Xav");
    g_app.shell.current_page = PageMessages;
    PublishRenderStateForWorkers();
    ASSERT_TRUE(StartMessagePoller());
    ASSERT_TRUE(WaitUntil([] { return g_app.poller.threads_primed.load(); }));
    port.Answer("/messages/threads", R"({"ok":true,"threads":[{"unread":1,"gamertag":"Xav","last":"seen"},)"
                                     R"({"unread":1,"gamertag":"Zed","last":"from Zed"}]})");
    ASSERT_TRUE(WaitUntil([] { return !CopyToasts().empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::vector<Toast> t = TakeToasts();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].title, "Zed");
}

TEST_F(SocialWire, SignOutEmptiesTheListsAndTheNextPollUnprimes)
{
    port.Answer("/messages/threads", R"({"ok":true,"threads":[{"unread":1,"gamertag":"Xav","last":"x"}]})");
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        g_app.social.friends = {"Xav"};
        g_app.social.chat_partner = "Xav";
        g_app.social.conversation.push_back(DirectMessage{1, false, "x"});
    }
    ASSERT_TRUE(StartMessagePoller());
    ASSERT_TRUE(WaitUntil([] { return g_app.poller.threads_primed.load(); }));
    SignOut();
    const Lists l = Social();
    EXPECT_TRUE(l.friends.empty());
    EXPECT_TRUE(Conversation().empty());
    ASSERT_TRUE(WaitUntil([] { return !g_app.poller.threads_primed.load(); }));
    std::lock_guard<std::mutex> g(g_app.poller.lock);
    EXPECT_TRUE(g_app.poller.unread_counts.empty());
}

namespace {

int32_t UnreadSeen(const std::string& tag)
{
    std::lock_guard<std::mutex> g(g_app.poller.lock);
    for (const UnreadCount& c : g_app.poller.unread_counts)
        if (c.gamertag == tag)
            return c.unread;
    return -1;
}

} // namespace

// Sign-out and sign-in between two polls: the new account's first poll only
// records, whatever the old account had seen.
TEST_F(SocialWire, AnotherTokenStartsUnprimed)
{
    TakeToasts();
    port.Answer("/messages/threads", R"({"ok":true,"threads":[{"unread":2,"gamertag":"Xav","last":"old"}]})");
    ASSERT_TRUE(StartMessagePoller());
    ASSERT_TRUE(WaitUntil([] { return g_app.poller.threads_primed.load(); }));
    SignedInAs("tok-z");
    port.Answer("/messages/threads", R"({"ok":true,"threads":[{"unread":5,"gamertag":"Xav","last":"away"}]})");
    ASSERT_TRUE(WaitUntil([] { return UnreadSeen("Xav") == 5; }));
    EXPECT_EQ(port.Bodies("/messages/threads").back(), "{\"token\":\"tok-z\"}");
    EXPECT_TRUE(TakeToasts().empty());
}

// A reply fetched with the old token that lands after the token changed
// counts for nobody.
TEST_F(SocialWire, ALateReplyForAnOldTokenChangesNothing)
{
    TakeToasts();
    port.Answer("/messages/threads", R"({"ok":true,"threads":[{"unread":0,"gamertag":"Xav","last":""}]})");
    ASSERT_TRUE(StartMessagePoller());
    ASSERT_TRUE(WaitUntil([] { return g_app.poller.threads_primed.load(); }));
    port.Delay("/messages/threads", 1500);
    port.Answer("/messages/threads", R"({"ok":true,"threads":[{"unread":4,"gamertag":"Xav","last":"late"}]})");
    ASSERT_TRUE(WaitUntil([this] { return port.Count("/messages/threads") == 2; }));
    SignedInAs("tok-z"); // while the second poll waits for its answer
    port.Delay("/messages/threads", 0);
    ASSERT_TRUE(WaitUntil([this] { return port.Count("/messages/threads") == 3; }));
    ASSERT_TRUE(WaitUntil([] { return UnreadSeen("Xav") == 4 && g_app.poller.threads_primed.load(); }));
    EXPECT_TRUE(TakeToasts().empty());
}
