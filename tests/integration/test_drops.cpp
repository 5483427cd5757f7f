// A session through drops, against the real service, kestrel-partner as both
// players: frozen (SIGSTOP: no beat, no datagram), killed and restarted, gone
// past the grace period; and an old-style client with a new one.
#include "raw_peer.h"
#include "service_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <sys/wait.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

struct Drops : testing::Test
{
    ServiceProcess service;
    std::string root = MakeTempDir("kestrel-drops");
    std::map<std::string, int> pids, runs; // a restart logs to a new file

    void TearDown() override
    {
        for (auto& [tag, pid] : pids)
            printf("%s", HasFailure() ? ("--- " + tag + "\n" + Log(tag)).c_str() : ""), kill(pid, SIGCONT), StopProgram(pid);
        StopService(service), std::filesystem::remove_all(root);
    }
    std::string Log(const std::string& tag) { return ReadFileText(root + "/" + tag + std::to_string(runs[tag]) + ".log"); }
    bool Logged(const std::string& tag, const std::string& line) { return Log(tag).find(line) != std::string::npos; }
    void Start(const std::string& tag, std::vector<std::string> args)
    {
        args.insert(args.begin(), BuiltProgram("tools/kestrel-partner"));
        args.insert(args.end(), {"--dir", root + "/" + tag});
        pids[tag] = StartProgram(args, root + "/" + tag + std::to_string(++runs[tag]) + ".log");
    }
    void Kill(const std::string& tag) { kill(pids[tag], SIGKILL), waitpid(pids[tag], nullptr, 0), pids.erase(tag); }
    template <class Pred> bool Until(Pred pred, std::chrono::seconds limit = 15s)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!pred() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(20ms);
        return pred();
    }
    std::string File(const std::string& tag, const std::string& name) { return root + "/" + tag + "/reframework/data/" + name; }
    bool Arrives(const std::string& tag, const std::string& name, const std::string& text)
    { return Until([&] { return ReadFileText(File(tag, name)) == text; }); }
    std::string Pair(const std::string& joiner_flag = "--ready")
    {
        Start("host", {"--create", "Drops", "--ready"});
        std::smatch m;
        std::string log; // m points into it
        EXPECT_TRUE(Until([&] { return std::regex_search(log = Log("host"), m, std::regex("room: (\\w+)")); }));
        const std::string code = m[1];
        Start("joiner", {"--join", code, "--ready", joiner_flag});
        EXPECT_TRUE(Until([&] { return Logged("host", "link up") && Logged("joiner", "link up"); }));
        return code;
    }
};

} // namespace

TEST_F(Drops, FrozenTwentySecondsThenKilledAndRejoinedThenGonePastTheGrace)
{
    ASSERT_TRUE(StartService(service, {"--away-grace", "18"})) << service.output;
    const std::string code = Pair();

    // Frozen: the host sees the joiner away; a file written after the relay
    // let the frozen address go (15 s) crosses at once on the return.
    kill(pids["joiner"], SIGSTOP);
    const auto frozen = std::chrono::steady_clock::now();
    ASSERT_TRUE(Until([&] { return Logged("host", "partner away"); }, 25s));
    std::this_thread::sleep_until(frozen + 17s);
    ASSERT_TRUE(WriteFileText(File("host", "Kestrel_Flags_A.json"), "{\"f\":2}"));
    std::this_thread::sleep_until(frozen + 20s);
    kill(pids["joiner"], SIGCONT);
    EXPECT_TRUE(Arrives("joiner", "Kestrel_Flags_A.json", "{\"f\":2}"));
    ASSERT_TRUE(Until([&] { return Logged("host", "toast: Partner Reconnected: "); }));
    for (const char* gone : {"partner left", "not started", "link down", "room closed"})
        EXPECT_FALSE(Logged("host", gone) || Logged("joiner", gone)) << gone;

    // Killed, both games write on, restarted: one operation, ready again, both folders converge.
    Kill("joiner");
    ASSERT_TRUE(WriteFileText(File("host", "Kestrel_Packet_A.json"), "{\"p\":3}"));
    ASSERT_TRUE(WriteFileText(File("joiner", "Kestrel_Joints_B.json"), "{\"j\":3}"));
    Start("joiner", {"--rejoin"});
    ASSERT_TRUE(Until([&] { return Logged("joiner", "room: " + code + ", role B") && Logged("joiner", "link up"); }));
    EXPECT_TRUE(Arrives("joiner", "Kestrel_Packet_A.json", "{\"p\":3}"));
    EXPECT_TRUE(Arrives("host", "Kestrel_Joints_B.json", "{\"j\":3}"));

    // Gone for good: removed after the grace period and the host told as before.
    Kill("joiner");
    ASSERT_TRUE(Until([&] { return Logged("host", "toast: Partner Left: Your partner left the lobby."); }, 40s));
    EXPECT_TRUE(Until([&] { return Logged("host", "link down") && Logged("host", "not started"); }));
}

TEST_F(Drops, AnOldStyleClientAndANewOneMeetPlayAndLeave)
{
    ASSERT_TRUE(StartService(service)) << service.output;
    Pair("--no-resume");
    EXPECT_TRUE(WriteFileText(File("host", "Kestrel_Anim_A.json"), "{}") && Arrives("joiner", "Kestrel_Anim_A.json", "{}"));
    EXPECT_FALSE(std::filesystem::exists(File("joiner", "Kestrel_rejoin.json")));
    kill(pids["joiner"], SIGTERM);
    EXPECT_TRUE(Until([&] { return Logged("host", "partner left") && Logged("host", "link down"); }));
    EXPECT_FALSE(Logged("host", "partner away"));
}
