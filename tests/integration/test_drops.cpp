// A session through a drop, against the real service: two kestrel-partner
// processes in a room, one of them frozen (SIGSTOP: no beat, no datagram),
// killed and restarted, or gone for good; and an old-style client with a new one.
#include "raw_peer.h"
#include "service_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>
#include <sys/wait.h>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class Drops : public testing::Test
{
protected:
    ServiceProcess service;
    std::string root;
    std::map<std::string, pid_t> running;

    void SetUp() override { root = MakeTempDir("kestrel-drops"); }
    void TearDown() override
    {
        if (HasFailure())
            for (const char* tag : {"host", "joiner"})
                printf("--- %s\n%s", tag, Log(tag).c_str());
        for (auto& [tag, pid] : running) {
            kill(pid, SIGCONT);
            StopProgram(pid);
        }
        StopService(service);
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void Service(std::vector<std::string> args = {}) { ASSERT_TRUE(StartService(service, args)) << service.output; }
    // kestrel-partner in root/<tag>, its output appended to root/<tag>.log
    // (a restart keeps the folder and adds to the log).
    void Start(const std::string& tag, std::vector<std::string> args)
    {
        args.insert(args.begin(), BuiltProgram("tools/kestrel-partner"));
        args.insert(args.end(), {"--dir", root + "/" + tag});
        const std::string log = root + "/" + tag + ".log";
        const pid_t pid = StartProgram(args, log + ".part");
        ASSERT_GT(pid, 0);
        running[tag] = pid;
    }
    void Kill(const std::string& tag)
    {
        const pid_t pid = running[tag];
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        running.erase(tag);
        const std::string log = root + "/" + tag + ".log";
        WriteFileText(log + ".old", ReadFileText(log + ".old") + ReadFileText(log + ".part"));
    }
    std::string Log(const std::string& tag)
    {
        const std::string log = root + "/" + tag + ".log";
        return ReadFileText(log + ".old") + ReadFileText(log + ".part");
    }
    bool Logged(const std::string& tag, const std::string& line) { return Log(tag).find(line) != std::string::npos; }
    // In the output of the latest run only.
    bool LoggedNow(const std::string& tag, const std::string& line)
    {
        return ReadFileText(root + "/" + tag + ".log.part").find(line) != std::string::npos;
    }
    std::string Match(const std::string& tag, const std::string& pattern)
    {
        std::smatch m;
        const std::string log = Log(tag);
        return std::regex_search(log, m, std::regex(pattern)) ? m[1].str() : "";
    }
    template <class Pred>
    bool Until(Pred pred, std::chrono::milliseconds limit = 15000ms)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (pred())
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return pred();
    }
    std::string Data(const std::string& tag, const std::string& name)
    {
        return root + "/" + tag + "/reframework/data/" + name;
    }
    // A host and a joiner, both ready, both links up.
    std::string Pair(std::vector<std::string> host_extra = {}, std::vector<std::string> joiner_extra = {})
    {
        std::vector<std::string> host = {"--create", "Drop room", "--ready"};
        host.insert(host.end(), host_extra.begin(), host_extra.end());
        Start("host", host);
        EXPECT_TRUE(Until([&] { return !Match("host", "room: ([A-Z0-9]+), role A").empty(); }));
        const std::string code = Match("host", "room: ([A-Z0-9]+), role A");
        std::vector<std::string> joiner = {"--join", code, "--ready"};
        joiner.insert(joiner.end(), joiner_extra.begin(), joiner_extra.end());
        Start("joiner", joiner);
        EXPECT_TRUE(Until([&] { return Logged("host", "link up") && Logged("joiner", "link up"); }));
        return code;
    }
    bool Arrives(const std::string& tag, const std::string& name, const std::string& text,
                 std::chrono::milliseconds limit = 15000ms)
    {
        return Until([&] { return ReadFileText(Data(tag, name)) == text; }, limit);
    }
};

} // namespace

TEST_F(Drops, TwentySecondsFrozenTheRoomWaitsAndBothCatchUpOnReturn)
{
    Service();
    Pair();
    ASSERT_TRUE(WriteFileText(Data("host", "Kestrel_Flags_A.json"), "{\"flags\":1}"));
    ASSERT_TRUE(Arrives("joiner", "Kestrel_Flags_A.json", "{\"flags\":1}"));

    kill(running["joiner"], SIGSTOP);
    const auto frozen = std::chrono::steady_clock::now();
    ASSERT_TRUE(Until([&] { return Logged("host", "partner away"); }, 25000ms));
    // Changed while the joiner is gone (after the relay let its address go):
    // sent three times into nowhere, and never changed again.
    std::this_thread::sleep_until(frozen + 17s);
    ASSERT_TRUE(WriteFileText(Data("host", "Kestrel_Flags_A.json"), "{\"flags\":2}"));
    std::this_thread::sleep_until(frozen + 20s);
    kill(running["joiner"], SIGCONT);

    // Back without a click: the file written meanwhile crosses at once (no
    // later change would ever carry it), and the host sees the partner back.
    EXPECT_TRUE(Arrives("joiner", "Kestrel_Flags_A.json", "{\"flags\":2}", 5000ms));
    ASSERT_TRUE(Until([&] { return Logged("host", "partner back"); }));
    EXPECT_TRUE(Logged("host", "toast: Partner Reconnected: "));
    // The room, both ready flags and "started" held throughout; no link went down.
    for (const char* tag : {"host", "joiner"}) {
        EXPECT_FALSE(Logged(tag, "partner left")) << Log(tag);
        EXPECT_FALSE(Logged(tag, "not started")) << Log(tag);
        EXPECT_FALSE(Logged(tag, "link down")) << Log(tag);
        EXPECT_FALSE(Logged(tag, "room closed")) << Log(tag);
    }
    // And it goes on: a new change crosses the other way.
    ASSERT_TRUE(WriteFileText(Data("joiner", "Kestrel_Anim_B.json"), "{\"anim\":7}"));
    EXPECT_TRUE(Arrives("host", "Kestrel_Anim_B.json", "{\"anim\":7}"));
}

TEST_F(Drops, AKilledPlayerRestartsAndRejoinsWithOneOperation)
{
    Service();
    const std::string code = Pair();
    ASSERT_TRUE(WriteFileText(Data("joiner", "Kestrel_Joints_B.json"), "{\"joints\":1}"));
    ASSERT_TRUE(Arrives("host", "Kestrel_Joints_B.json", "{\"joints\":1}"));
    EXPECT_NE(ReadFileText(Data("joiner", "Kestrel_rejoin.json")).find("\"code\":\"" + code + "\""), std::string::npos);

    Kill("joiner");
    // Both games go on writing while the joiner's is down.
    ASSERT_TRUE(WriteFileText(Data("host", "Kestrel_Packet_A.json"), "{\"packet\":2}"));
    ASSERT_TRUE(WriteFileText(Data("joiner", "Kestrel_Joints_B.json"), "{\"joints\":2}"));
    std::this_thread::sleep_for(12s); // past the time-out: the service has it away
    ASSERT_TRUE(Until([&] { return Logged("host", "partner away"); }));

    // One operation, no --ready: the saved room says the player was ready.
    Start("joiner", {"--rejoin"});
    ASSERT_TRUE(Until([&] { return LoggedNow("joiner", "rejoin: " + code); }));
    ASSERT_TRUE(Until([&] { return LoggedNow("joiner", "room: " + code + ", role B"); }));
    ASSERT_TRUE(Until([&] { return LoggedNow("joiner", "link up"); }));
    EXPECT_TRUE(Arrives("joiner", "Kestrel_Packet_A.json", "{\"packet\":2}"));
    EXPECT_TRUE(Arrives("host", "Kestrel_Joints_B.json", "{\"joints\":2}"));
    EXPECT_TRUE(Until([&] { return Logged("host", "partner back"); }));
    EXPECT_FALSE(Logged("host", "partner left"));
    EXPECT_FALSE(Logged("host", "not started"));

    // Leaving forgets the room: nothing is offered after the next restart.
    kill(running["joiner"], SIGTERM);
    ASSERT_TRUE(Until([&] { return LoggedNow("joiner", "left room"); }));
    EXPECT_TRUE(Until([&] { return Logged("host", "partner left"); }));
    waitpid(running["joiner"], nullptr, 0);
    running.erase("joiner");
    EXPECT_EQ(ReadFileText(Data("joiner", "Kestrel_rejoin.json")).find("\"code\""), std::string::npos);
}

TEST_F(Drops, AwayPastTheGraceIsGoneAsBeforeAndARejoinFindsNoRoom)
{
    Service({"--away-grace", "6"}); // wider than a beat, so the host sees the away state
    const std::string code = Pair();
    Kill("joiner");
    ASSERT_TRUE(Until([&] { return Logged("host", "partner away"); }, 20000ms));
    ASSERT_TRUE(Until([&] { return Logged("host", "partner left"); }, 20000ms));
    EXPECT_TRUE(Until([&] { return Logged("host", "toast: Partner Left: Your partner left the lobby."); }));
    EXPECT_TRUE(Until([&] { return Logged("host", "link down"); }));
    EXPECT_TRUE(Logged("host", "not started"));

    // The host closes its room; the saved room is then gone for the joiner.
    kill(running["host"], SIGTERM);
    ASSERT_TRUE(Until([&] { return Logged("host", "left room"); }));
    Start("joiner", {"--rejoin"});
    ASSERT_TRUE(Until([&] { return LoggedNow("joiner", "room failed: Room not found."); }));
    EXPECT_FALSE(LoggedNow("joiner", "room: " + code));
    EXPECT_EQ(ReadFileText(Data("joiner", "Kestrel_rejoin.json")).find("\"code\""), std::string::npos);
}

TEST_F(Drops, AnOldStyleClientAndANewOneMeetPlayAndLeave)
{
    Service();
    Pair({}, {"--no-resume", "--mirror"});
    ASSERT_TRUE(WriteFileText(Data("host", "Kestrel_Companion_A.json"), "{\"companion\":3}"));
    EXPECT_TRUE(Arrives("joiner", "Kestrel_Companion_A.json", "{\"companion\":3}"));
    EXPECT_TRUE(Arrives("host", "Kestrel_Companion_B.json", "{\"companion\":3}")); // mirrored back
    EXPECT_FALSE(fs::exists(Data("joiner", "Kestrel_rejoin.json")));
    kill(running["joiner"], SIGTERM);
    EXPECT_TRUE(Until([&] { return Logged("host", "partner left"); }));
    EXPECT_FALSE(Logged("host", "partner away"));
    EXPECT_TRUE(Until([&] { return Logged("host", "link down"); }));
}
