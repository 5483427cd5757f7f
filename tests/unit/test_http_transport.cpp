// The transport's contract, seen from the server's side of a real socket:
// what goes on the wire, and what the caller gets back for each kind of answer.
#include "backend/account.h"
#include "backend/http.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "wire_fixture.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <thread>

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return (char)std::tolower((unsigned char)c); });
    return s;
}

void SetToken(const std::string& token)
{
    std::lock_guard<std::mutex> hold(g_app.account.lock);
    g_app.account.token = token;
}

} // namespace

using Transport = Wire;

TEST_F(Transport, OnePostCarriesTheAgentTheOneContentTypeAndTheBodyByteForByte)
{
    std::string body;
    for (int i = 0; i < 256; i++)
        body += (char)i;
    body += "{\"name\":\"\xc3\xa9\"}";
    std::string reply;
    ASSERT_TRUE(HttpPostJson(kAccountPort, L"/probe/path-1", body, reply));
    EXPECT_EQ(reply, "{\"ok\":true}");

    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    const MiniHttpRequest& r = requests[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/probe/path-1");
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_EQ(r.body, body);
    EXPECT_EQ(r.Header("User-Agent"), std::vector<std::string>{"Kestrel/1.0"});
    EXPECT_EQ(r.Header("Content-Type"), std::vector<std::string>{"application/json"});
    EXPECT_EQ(r.Header("Content-Length"), std::vector<std::string>{std::to_string(body.size())});
    EXPECT_EQ(r.Header("Host").size(), 1u);
    // Nothing optional beyond the content type: no Accept, Expect, cookies,
    // encodings or credentials.
    const std::set<std::string> allowed = {"host", "user-agent", "content-type", "content-length", "connection",
                                           "cache-control", "pragma"};
    for (const auto& h : r.headers)
        EXPECT_TRUE(allowed.count(Lower(h.first))) << "unexpected header " << h.first << ": " << h.second;
}

TEST_F(Transport, EmptyBodyIsStillAPostWithTheContentTypeAndAnEmptyOk200IsTrue)
{
    Answer(200, "");
    std::string reply = "left over";
    EXPECT_TRUE(HttpPostJson(kAccountPort, L"/empty", "", reply));
    EXPECT_EQ(reply, "");
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, "");
    EXPECT_EQ(requests[0].Header("Content-Type"), std::vector<std::string>{"application/json"});
    EXPECT_EQ(requests[0].Header("Content-Length"), std::vector<std::string>{"0"});
}

TEST_F(Transport, OtherStatusesAreFalseButKeepTheBody)
{
    for (int status : {404, 500}) {
        const std::string body = "{\"ok\":false,\"error\":\"status " + std::to_string(status) + "\"}";
        Answer(status, body);
        std::string reply = "before";
        EXPECT_FALSE(HttpPostJson(kAccountPort, L"/x", "{}", reply)) << status;
        EXPECT_EQ(reply, body) << status;
    }
}

TEST_F(Transport, NoAnswerIsFalseAndLeavesTheReplyAsItWas)
{
    // The server takes the request and hangs up without a word.
    SetMiniHttpHandler(server, [](const MiniHttpRequest&) {
        MiniHttpAnswer a;
        a.hang_up = true;
        return a;
    });
    std::string reply = "caller's text";
    EXPECT_FALSE(HttpPostJson(kAccountPort, L"/x", "{}", reply));
    EXPECT_EQ(reply, "caller's text");

    // Nothing listening at all.
    StopServer();
    EXPECT_FALSE(HttpPostJson(kAccountPort, L"/x", "{}", reply));
    EXPECT_EQ(reply, "caller's text");
}

TEST_F(Transport, RepliesPastFourMiBAreAbandoned)
{
    Answer(200, std::string(kHttpMaxReplyBytes, 'a'));
    std::string reply = "untouched";
    EXPECT_TRUE(HttpPostJson(kAccountPort, L"/x", "{}", reply));
    EXPECT_EQ(reply.size(), kHttpMaxReplyBytes);

    Answer(200, std::string(kHttpMaxReplyBytes + 1, 'b'));
    reply = "untouched";
    EXPECT_FALSE(HttpPostJson(kAccountPort, L"/x", "{}", reply));
    EXPECT_EQ(reply, "untouched");
}

TEST_F(Transport, PostWithTokenSendsNothingWithoutAToken)
{
    std::string reply = "mine";
    EXPECT_FALSE(PostWithToken(L"/friends/list", "\"a\":1", reply));
    EXPECT_EQ(reply, "mine");
    EXPECT_EQ(WaitForMiniHttpRequests(server, 1, 200), 0u);
}

TEST_F(Transport, PostWithTokenSplicesTheFieldsAfterTheEscapedTokenWithOneComma)
{
    SetToken("t\"k\\1");
    std::string reply;
    EXPECT_TRUE(PostWithToken(L"/one", "", reply));
    EXPECT_TRUE(PostWithToken(L"/two", "\"a\":1", reply));
    EXPECT_TRUE(PostWithToken(L"/three", "\"gamertag\":\"x\",\"n\":2", reply));
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].target, "/one");
    EXPECT_EQ(requests[0].body, "{\"token\":\"t\\\"k\\\\1\"}");
    EXPECT_EQ(requests[1].body, "{\"token\":\"t\\\"k\\\\1\",\"a\":1}");
    EXPECT_EQ(requests[2].body, "{\"token\":\"t\\\"k\\\\1\",\"gamertag\":\"x\",\"n\":2}");
}

TEST_F(Transport, ConcurrentCallsEachGetTheirOwnAnswer)
{
    SetMiniHttpHandler(server, [](const MiniHttpRequest& r) {
        MiniHttpAnswer a;
        a.body = r.target + "|" + r.body;
        return a;
    });
    constexpr int kThreads = 6;
    std::string replies[kThreads];
    bool results[kThreads] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++)
        threads.emplace_back([i, &replies, &results] {
            const std::wstring path = L"/p" + std::to_wstring(i);
            results[i] = HttpPostJson(kAccountPort, path, "body" + std::to_string(i), replies[i]);
        });
    for (std::thread& t : threads)
        t.join();
    for (int i = 0; i < kThreads; i++) {
        EXPECT_TRUE(results[i]);
        EXPECT_EQ(replies[i], "/p" + std::to_string(i) + "|body" + std::to_string(i));
    }
}

// A server that stalls anywhere in its reply costs the caller at most the one
// overall deadline, and its half reply is no answer: never an empty 200.
TEST_F(Transport, StalledRepliesAreFalseWithinTheOverallDeadline)
{
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n\r\n";
    std::map<std::string, MiniHttpAnswer> stalls;
    stalls["/status-line-then-silence"].raw = {"HTTP/1.1 200 OK\r\n"};
    stalls["/headers-then-silence"].raw = {head};
    stalls["/headers-dripping"].raw = {"HTTP/1.1 200 OK\r\n"};
    for (int i = 0; i < 40; i++)
        stalls["/headers-dripping"].raw.push_back("X");
    stalls["/headers-dripping"].pause_ms = 500;
    stalls["/body-dripping"].raw = {head};
    for (char c : std::string("{\"ok\":true}"))
        stalls["/body-dripping"].raw.push_back(std::string(1, c));
    stalls["/body-dripping"].pause_ms = 1000;
    stalls["/never-answers"] = MiniHttpAnswer{};
    for (auto& s : stalls)
        s.second.hold_ms = kHttpDeadlineMs + 4000;
    SetMiniHttpHandler(server, [stalls](const MiniHttpRequest& r) { return stalls.at(r.target); });

    std::vector<std::string> paths;
    for (const auto& s : stalls)
        paths.push_back(s.first);
    std::vector<std::string> replies(paths.size(), "untouched");
    std::vector<int> results(paths.size(), -1);
    std::vector<long long> took_ms(paths.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < paths.size(); i++)
        threads.emplace_back([&, i] {
            const auto t0 = std::chrono::steady_clock::now();
            results[i] = HttpPostJson(kAccountPort, std::wstring(paths[i].begin(), paths[i].end()), "{}", replies[i]);
            took_ms[i] = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                             .count();
        });
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 0; i < paths.size(); i++) {
        EXPECT_EQ(results[i], 0) << paths[i];
        EXPECT_EQ(replies[i], "untouched") << paths[i];
        // The bound is the contract's; the margin covers a loaded machine.
        EXPECT_LT(took_ms[i], kHttpDeadlineMs + 2000) << paths[i];
    }
}

namespace {

// Wine's WinHTTP pools sockets for the whole process, not per session, so
// closing the kept session does not close them there (Windows' does, as
// libcurl's handles do on Linux).
bool SessionsOwnTheirSockets()
{
#ifdef _WIN32
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr;
#else
    return true;
#endif
}

uint64_t Opened()
{
    return HttpCountConnections().opened;
}

MiniHttpAnswer KeptOpen(int ms)
{
    MiniHttpAnswer a;
    a.body = "{\"ok\":true}";
    a.keep_open_ms = ms;
    return a;
}

} // namespace

TEST_F(Transport, KeptConnectionsCarryTheNextRequestsAndOneTheServerClosedIsReplaced)
{
    SetMiniHttpHandler(server, [](const MiniHttpRequest&) { return KeptOpen(4000); });
    const uint64_t before = Opened();
    std::string reply;
    for (int i = 0; i < 3; i++) {
        reply.clear();
        EXPECT_TRUE(HttpPostJson(kAccountPort, L"/kept", "{\"n\":" + std::to_string(i) + "}", reply)) << i;
        EXPECT_EQ(reply, "{\"ok\":true}");
    }
    EXPECT_EQ(Opened() - before, 1u) << "three requests, one connection";

    // The server closes a connection left idle: the next request goes out on
    // a new one, answered, and reaches the server once.
    SetMiniHttpHandler(server, [](const MiniHttpRequest&) { return KeptOpen(150); });
    EXPECT_TRUE(HttpPostJson(kAccountPort, L"/kept", "{\"n\":3}", reply)); // the kept connection, closed after
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    SetMiniHttpHandler(server, [](const MiniHttpRequest&) { return KeptOpen(6000); });
    EXPECT_TRUE(HttpPostJson(kAccountPort, L"/kept", "{\"n\":4}", reply));
    EXPECT_TRUE(HttpPostJson(kAccountPort, L"/kept", "{\"n\":5}", reply));
    EXPECT_EQ(Opened() - before, 2u);

    // Sign-out closes them: the next account's first request opens its own,
    // and is answered at once (the one-connection server is not left waiting
    // on a connection the client still holds).
    SignOut();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(HttpPostJson(kAccountPort, L"/kept", "{\"n\":6}", reply));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
    if (SessionsOwnTheirSockets()) {
        EXPECT_EQ(Opened() - before, 3u);
    }
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 7u);
    for (size_t i = 0; i < requests.size(); i++)
        EXPECT_EQ(requests[i].body, "{\"n\":" + std::to_string(i) + "}");
}

TEST_F(Transport, ARequestWhoseAnswerWasCutOnAKeptConnectionIsNeverSentTwice)
{
    // The server takes the second request of a kept connection and hangs up
    // without an answer: it may have acted on it, so the client must not
    // send it again, on this connection or a new one.
    SetMiniHttpHandler(server, [](const MiniHttpRequest& r) {
        MiniHttpAnswer a = KeptOpen(4000);
        a.hang_up = r.body == "{\"cut\":true}";
        return a;
    });
    std::string reply = "before";
    ASSERT_TRUE(HttpPostJson(kAccountPort, L"/first", "{}", reply));
    reply = "before";
    EXPECT_FALSE(HttpPostJson(kAccountPort, L"/chat/send", "{\"cut\":true}", reply));
    EXPECT_EQ(reply, "before");
    EXPECT_TRUE(HttpPostJson(kAccountPort, L"/after", "{}", reply));
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].target, "/first");
    EXPECT_EQ(requests[1].target, "/chat/send");
    EXPECT_EQ(requests[2].target, "/after");
}
