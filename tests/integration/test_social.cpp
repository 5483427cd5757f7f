// Friends and messages through the real service: this process is Y (signed
// in), kestrel-partner plays X and Z. On SQLite, on PostgreSQL, and on two
// instances sharing PostgreSQL (Y on the first, X and Z on the second).
#include "backend/account.h"
#include "backend/friends.h"
#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/messages.h"
#include "backend/settings.h"
#include "pg_server.h"
#include "raw_peer.h"
#include "service_process.h"
#include "state/app_state.h"
#include "state/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char* kPassword = "Secret#123";

enum Setup { OnSqlite, OnPostgres, OnTwoInstances };

class Social : public testing::TestWithParam<Setup>
{
protected:
    ServiceProcess service, second;
    std::string root, pg_uri;

    void SetUp() override
    {
        root = MakeTempDir("kestrel-social");
        fs::create_directories(root + "/y/reframework/data");
        fs::current_path(root + "/y");
        std::vector<std::string> args;
        if (GetParam() != OnSqlite) {
            std::string error;
            pg_uri = CreateTestDatabase(error);
            ASSERT_FALSE(pg_uri.empty()) << error;
            args = {"--store", pg_uri};
        }
        if (GetParam() == OnTwoInstances) {
            std::vector<std::string> more = args;
            more.insert(more.end(), {"--bind", "127.0.0.3", "--relay-public", "127.0.0.3:39000"});
            ASSERT_TRUE(StartService(second, more)) << second.output;
            args.insert(args.end(), {"--bind", "127.0.0.2", "--relay-public", "127.0.0.2:39000"});
            OverrideBackendHost("127.0.0.2");
        }
        ASSERT_TRUE(StartService(service, args)) << service.output;
    }
    void TearDown() override
    {
        StopMessagePoller();
        std::this_thread::sleep_for(200ms);
        StopService(service);
        StopService(second);
        OverrideBackendHost("");
        fs::current_path("/");
        std::error_code ec;
        fs::remove_all(root, ec);
        if (!pg_uri.empty())
            DropTestDatabase(pg_uri);
    }
    // Runs kestrel-partner to the end (it signs in, does its part, stops).
    std::string Partner(const std::string& tag, std::vector<std::string> args, const char* seconds = "2")
    {
        args.insert(args.begin(), BuiltProgram("tools/kestrel-partner"));
        args.insert(args.end(), {"--dir", root + "/" + tag, "--for", seconds});
        if (GetParam() == OnTwoInstances)
            args.insert(args.end(), {"--host", "127.0.0.3"});
        const std::string log = root + "/" + tag + ".log";
        const pid_t pid = StartProgram(args, log);
        int status = 0;
        waitpid(pid, &status, 0);
        return ReadFileText(log);
    }
    std::string SignUp(const std::string& tag, const std::string& user)
    {
        return Partner(tag, {"--user", user, "--password", kPassword, "--signup", "--gamertag", tag, "--email",
                             user + "@example.com"}, "0.5");
    }
    template <class Pred>
    bool Until(Pred pred, std::chrono::milliseconds limit = 10000ms)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            PublishRenderStateForWorkers();
            if (pred())
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return pred();
    }
    std::vector<std::string> List(std::vector<std::string> SocialState::*which)
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        return g_app.social.*which;
    }
    bool Toasted(const std::string& title, const std::string& text)
    {
        for (const Toast& t : CopyToasts())
            if (t.title == title && t.text == text)
                return true;
        return false;
    }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Store, Social, testing::Values(OnSqlite, OnPostgres, OnTwoInstances),
                         [](const testing::TestParamInfo<Setup>& i) {
                             return i.param == OnSqlite ? "SQLite" : i.param == OnPostgres ? "PostgreSQL" : "TwoInstances";
                         });

TEST_P(Social, FriendsThenMessagesWithNotifications)
{
    ASSERT_NE(SignUp("Xav", "xavier").find("signed up: Xav"), std::string::npos);
    ASSERT_NE(SignUp("Zed", "zed").find("signed up: Zed"), std::string::npos);
    StartSignIn(true, "yolanda", kPassword, "Yol", "yolanda@example.com");
    ASSERT_TRUE(Until([] { return g_app.flags.auth_status.load() == AuthSucceeded; }));
    FinishSignIn();

    // X and Z ask; Y sees the requests and accepts; both sides are friends.
    Partner("Xav", {"--user", "xavier", "--password", kPassword, "--friend", "Yol"});
    Partner("Zed", {"--user", "zed", "--password", kPassword, "--friend", "Yol"});
    RefreshFriends();
    ASSERT_TRUE(Until([&] { return List(&SocialState::incoming_requests).size() == 2; }));
    // One at a time: each action's list refresh is refused while another runs,
    // so two at once can leave the list one friend short.
    StartFriendAction(L"/friends/respond", "Xav", true, true);
    ASSERT_TRUE(Until([&] { return List(&SocialState::friends).size() == 1 && !g_app.flags.friends_busy.load(); }));
    StartFriendAction(L"/friends/respond", "Zed", true, true);
    ASSERT_TRUE(Until([&] { return List(&SocialState::friends).size() == 2 && !g_app.flags.friends_busy.load(); }));
    std::this_thread::sleep_for(300ms);
    RefreshFriends();
    ASSERT_TRUE(Until([&] { return !g_app.flags.friends_busy.load(); }));
    EXPECT_TRUE(List(&SocialState::incoming_requests).empty());
    EXPECT_TRUE(List(&SocialState::outgoing_requests).empty());
    EXPECT_NE(Partner("Xav", {"--user", "xavier", "--password", kPassword}).find("friends: Yol"), std::string::npos);

    // A message waiting before Y's first poll raises nothing.
    Partner("Xav", {"--user", "xavier", "--password", kPassword, "--message", "Yol", "sent while away"}, "0.5");
    TakeToasts();
    ASSERT_TRUE(StartMessagePoller());
    ASSERT_TRUE(Until([] { return g_app.poller.threads_primed.load(); }));
    Partner("Xav", {"--user", "xavier", "--password", kPassword, "--message", "Yol", "hello Y"}, "0.5");
    ASSERT_TRUE(Until([&] { return Toasted("Xav", "hello Y"); }, 12000ms));
    EXPECT_FALSE(Toasted("Xav", "sent while away"));

    // With X's conversation on screen, X raises no toast, Z still does.
    TakeToasts();
    OpenConversation("Xav");
    g_app.shell.current_page = PageMessages;
    Partner("Xav", {"--user", "xavier", "--password", kPassword, "--message", "Yol", "you see this"}, "0.5");
    Partner("Zed", {"--user", "zed", "--password", kPassword, "--message", "Yol", "from Zed"}, "0.5");
    ASSERT_TRUE(Until([&] { return Toasted("Zed", "from Zed"); }, 12000ms));
    EXPECT_FALSE(Toasted("Xav", "you see this"));

    // Y reads the conversation: each of X's messages once, not Y's own.
    FetchConversation();
    FetchConversation();
    ASSERT_TRUE(Until([&] {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        return g_app.social.conversation.size() >= 3;
    }));
    std::this_thread::sleep_for(500ms);
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        ASSERT_EQ(g_app.social.conversation.size(), 3u);
        for (const DirectMessage& m : g_app.social.conversation)
            EXPECT_FALSE(m.mine);
        EXPECT_EQ(g_app.social.conversation[1].body, "hello Y");
    }

    // X sees the same message as its own.
    std::string login;
    ASSERT_TRUE(HttpPostJson(kAccountPort, L"/login", R"({"username":"xavier","password":"Secret#123"})", login));
    std::string reply;
    ASSERT_TRUE(HttpPostJson(kAccountPort, L"/messages/conversation",
                             "{\"token\":\"" + JsonGetString(login, "token") + "\",\"gamertag\":\"Yol\",\"after_id\":0}",
                             reply));
    const std::vector<std::string> seen = JsonGetObjectArray(reply, "messages");
    ASSERT_EQ(seen.size(), 3u);
    bool mine = false;
    EXPECT_TRUE(JsonGetBool(seen[1], "mine", mine));
    EXPECT_TRUE(mine);
    EXPECT_EQ(JsonGetString(seen[1], "body"), "hello Y");
}

TEST_P(Social, RefusalsCarryTheServicesText)
{
    SignUp("Xav", "xavier");
    StartSignIn(true, "yolanda", kPassword, "Yol", "yolanda@example.com");
    ASSERT_TRUE(Until([] { return g_app.flags.auth_status.load() == AuthSucceeded; }));
    FinishSignIn();
    auto status = [] {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        return g_app.social.friend_status;
    };
    auto act = [&](const wchar_t* path, const char* tag) {
        {
            std::lock_guard<std::mutex> g(g_app.social.lock);
            g_app.social.friend_status = "pending";
        }
        StartFriendAction(path, tag, true, std::wstring(path) == L"/friends/respond");
        Until([&] { return status() != "pending"; });
        return status();
    };
    EXPECT_EQ(act(L"/friends/add", "Yol"), "You can't add yourself.");
    EXPECT_EQ(act(L"/friends/add", "Nobody"), "No player has that gamertag.");
    EXPECT_EQ(act(L"/friends/add", "Xav"), "");
    EXPECT_EQ(act(L"/friends/add", "xav"), "You already sent a request to that player.");
    EXPECT_EQ(act(L"/friends/respond", "Xav"), "That player has not sent you a request.");
    std::string reply;
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        g_app.social.chat_partner = "Xav";
    }
    ASSERT_TRUE(PostWithToken(L"/messages/send", "\"gamertag\":\"Xav\",\"text\":\"hi\"", reply));
    EXPECT_EQ(JsonGetString(reply, "error"), "You can only message friends.");
    StopService(service);
    EXPECT_EQ(act(L"/friends/remove", "Xav"), "Can't reach the server.");
}

// The compose input holds 511 bytes; a message that long is sent and read back whole.
TEST_P(Social, AMessageAsLongAsTheInputHoldsIsSent)
{
    auto post = [](const wchar_t* path, const std::string& body) {
        std::string reply;
        EXPECT_TRUE(HttpPostJson(kAccountPort, path, body, reply)) << body;
        return reply;
    };
    std::string token[2];
    const char* tags[2] = {"Ann", "Ben"};
    for (int i = 0; i < 2; i++)
        token[i] = JsonGetString(post(L"/signup", std::string("{\"username\":\"") + tags[i] + "_u\",\"gamertag\":\"" +
                                                      tags[i] + "\",\"password\":\"" + kPassword + "\",\"email\":\"" +
                                                      tags[i] + "@example.com\"}"),
                                 "token");
    post(L"/friends/add", "{\"token\":\"" + token[0] + "\",\"gamertag\":\"Ben\"}");
    post(L"/friends/add", "{\"token\":\"" + token[1] + "\",\"gamertag\":\"Ann\"}");
    const std::string text(511, 'm');
    const std::string to_ben = "{\"token\":\"" + token[0] + "\",\"gamertag\":\"Ben\",\"text\":\"";
    bool ok = false;
    EXPECT_TRUE(JsonGetBool(post(L"/messages/send", to_ben + text + "\"}"), "ok", ok) && ok);
    EXPECT_EQ(JsonGetString(post(L"/messages/send", to_ben + text + "m\"}"), "error"), "Messages are at most 511 characters.");
    const std::vector<std::string> seen = JsonGetObjectArray(
        post(L"/messages/conversation", "{\"token\":\"" + token[1] + "\",\"gamertag\":\"Ann\",\"after_id\":0}"),
        "messages");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(JsonGetString(seen[0], "body"), text);
}
