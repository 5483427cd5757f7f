// kestrel-partner --accept-all against an account port that lists 50,000
// friend requests: a few answers per poll of the list, not one worker each.
#include "mini_http_server.h"
#include "service_process.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>

TEST(PartnerAcceptAll, AHostileRequestListIsAnsweredAFewPerPoll)
{
    std::string list = "{\"ok\":true,\"friends\":[],\"outgoing\":[],\"incoming\":[";
    for (int i = 0; i < 50000; i++)
        list += std::string(i ? "," : "") + "{\"gamertag\":\"flood" + std::to_string(i) + "\"}";
    list += "]}";
    MiniHttpServer* port = StartMiniHttpServer(39001);
    ASSERT_NE(port, nullptr) << "port 39001 is taken: run through tests/netns-run";
    SetMiniHttpHandler(port, [&list](const MiniHttpRequest& r) {
        MiniHttpAnswer a;
        a.body = r.target == "/login" ? "{\"ok\":true,\"email_verified\":true,\"token\":\"t0\",\"username\":\"me\","
                                        "\"gamertag\":\"Me\"}"
                 : r.target == "/friends/list" ? list
                                                : "{\"ok\":true}";
        return a;
    });
    const std::string dir = MakeTempDir("kestrel-partner-accept");
    const pid_t pid = StartProgram({BuiltProgram("tools/kestrel-partner"), "--user", "me", "--password", "Pass#word1",
                                    "--accept-all", "--dir", dir, "--for", "3.5"},
                                   dir + "/partner.log");
    ASSERT_GT(pid, 0);
    int status = 0;
    waitpid(pid, &status, 0);
    size_t answers = 0, polls = 0;
    for (const MiniHttpRequest& r : MiniHttpRequests(port)) {
        answers += r.target == "/friends/respond";
        polls += r.target == "/friends/list";
    }
    StopMiniHttpServer(port);
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_GT(answers, 0u);
    EXPECT_LE(answers, 8 * (polls + 1)) << polls << " polls";
}
