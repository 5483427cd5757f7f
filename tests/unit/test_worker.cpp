// The worker-start pattern and the state frame. Workers are detached, so each
// test waits for its own workers to finish before its locals go away.
#include "backend/client_check.h"
#include "state/app_state.h"
#include "state/config.h"
#include "state/worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <cstdio>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" void __cxa_finalize(void*);
#endif

namespace {

// A gate the test opens, and a record of what the workers saw.
struct Probe
{
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    int started = 0;
    int finished = 0;
    std::vector<std::string> seen;

    void Open()
    {
        std::lock_guard<std::mutex> g(lock);
        open = true;
        changed.notify_all();
    }
    bool WaitFor(int count, int Probe::*field)
    {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::seconds(10), [&] { return this->*field >= count; });
    }
};

// A worker as the pattern wants it: owns copies of its inputs, records what it
// got, then publishes completion through the busy flag last.
void GatedWorker(std::shared_ptr<Probe> probe, std::atomic<bool>* busy, std::string input)
{
    std::unique_lock<std::mutex> g(probe->lock);
    probe->started++;
    probe->changed.notify_all();
    probe->changed.wait(g, [&] { return probe->open; });
    probe->seen.push_back(input);
    probe->finished++;
    probe->changed.notify_all();
    g.unlock();
    busy->store(false);
}

void WaitClear(const std::atomic<bool>& flag)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (flag.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

// ---------------------------------------------------------------------------
// Guarded start
// ---------------------------------------------------------------------------

TEST(Worker, SecondStartWhileBusyStartsNothing)
{
    static std::atomic<bool> busy{false};
    auto probe = std::make_shared<Probe>();

    EXPECT_TRUE(StartGuardedWorker(busy, GatedWorker, probe, &busy, std::string("first")));
    ASSERT_TRUE(probe->WaitFor(1, &Probe::started));
    EXPECT_FALSE(StartGuardedWorker(busy, GatedWorker, probe, &busy, std::string("second")));
    EXPECT_TRUE(busy.load());

    probe->Open();
    ASSERT_TRUE(probe->WaitFor(1, &Probe::finished));
    WaitClear(busy);
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // a stray second worker would show now
    std::lock_guard<std::mutex> g(probe->lock);
    EXPECT_EQ(probe->started, 1);
    EXPECT_EQ(probe->seen, std::vector<std::string>{"first"});
}

TEST(Worker, StartsAgainOnceTheWorkerHasFinished)
{
    static std::atomic<bool> busy{false};
    auto probe = std::make_shared<Probe>();
    probe->Open();
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(StartGuardedWorker(busy, GatedWorker, probe, &busy, std::to_string(i)));
        ASSERT_TRUE(probe->WaitFor(i + 1, &Probe::finished));
        WaitClear(busy);
    }
    std::lock_guard<std::mutex> g(probe->lock);
    EXPECT_EQ(probe->seen, (std::vector<std::string>{"0", "1", "2"}));
}

// Each worker ends while the next one is being started, the pattern of a
// player clicking through pages: every worker must start, once, with its own
// input. (mingw's own std::thread lost one in a few thousand here.)
TEST(Worker, WorkersStartedBackToBackEachRunOnceWithTheirOwnInput)
{
    auto probe = std::make_shared<Probe>();
    probe->Open();
    static std::atomic<bool> unused{false};
    const int kInRow = 2000, kBurst = 200;
    std::vector<std::string> expected;
    for (int i = 0; i < kInRow; i++) {
        expected.push_back(std::to_string(i));
        StartWorker(GatedWorker, probe, &unused, expected.back());
        ASSERT_TRUE(probe->WaitFor(i + 1, &Probe::finished)) << "worker " << i << " never ran";
    }
    for (int i = kInRow; i < kInRow + kBurst; i++) {
        expected.push_back(std::to_string(i));
        StartWorker(GatedWorker, probe, &unused, expected.back());
    }
    ASSERT_TRUE(probe->WaitFor(kInRow + kBurst, &Probe::finished));
    std::lock_guard<std::mutex> g(probe->lock);
    std::vector<std::string> seen = probe->seen;
    std::sort(seen.begin(), seen.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
}

// A worker that throws ends alone; the process and later workers carry on.
TEST(Worker, AWorkerThatThrowsEndsOnlyItself)
{
    auto probe = std::make_shared<Probe>();
    probe->Open();
    static std::atomic<bool> unused{false};
    StartWorker([](std::shared_ptr<Probe> p) {
        {
            std::lock_guard<std::mutex> g(p->lock);
            p->started++;
            p->changed.notify_all();
        }
        throw std::runtime_error("reply could not be read");
    }, probe);
    ASSERT_TRUE(probe->WaitFor(1, &Probe::started));
    StartWorker(GatedWorker, probe, &unused, std::string("after"));
    ASSERT_TRUE(probe->WaitFor(1, &Probe::finished));
    std::lock_guard<std::mutex> g(probe->lock);
    EXPECT_EQ(probe->seen, std::vector<std::string>{"after"});
}

// A guarded worker (the link thread is one) that ends by an exception must
// not leave its flag set: the operation could never start again.
TEST(Worker, AGuardedWorkerThatThrowsCanStartAgain)
{
    static std::atomic<bool> busy{false};
    static std::atomic<int> runs{0};
    const auto failing = [] { runs++, throw std::runtime_error("link thread failed"); };
    for (int start = 1; start <= 2; start++) {
        ASSERT_TRUE(StartGuardedWorker(busy, failing)) << "start " << start;
        for (int i = 0; i < 500 && (busy.load() || runs.load() < start); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(runs.load(), 2);
}

TEST(Worker, RacingStartersStartExactlyOne)
{
    static std::atomic<bool> busy{false};
    auto probe = std::make_shared<Probe>();
    std::atomic<int> accepted{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> starters;
    for (int i = 0; i < 8; i++)
        starters.emplace_back([&, i] {
            while (!go.load()) {}
            if (StartGuardedWorker(busy, GatedWorker, probe, &busy, std::to_string(i)))
                accepted++;
        });
    go.store(true);
    for (std::thread& t : starters)
        t.join();
    EXPECT_EQ(accepted.load(), 1);
    probe->Open();
    ASSERT_TRUE(probe->WaitFor(1, &Probe::finished));
    WaitClear(busy);
    std::lock_guard<std::mutex> g(probe->lock);
    EXPECT_EQ(probe->started, 1);
}

TEST(Worker, InputsAreCopiesTakenAtStart)
{
    static std::atomic<bool> busy{false};
    auto probe = std::make_shared<Probe>();
    std::string field = "typed text";
    ASSERT_TRUE(StartGuardedWorker(busy, GatedWorker, probe, &busy, field));
    ASSERT_TRUE(probe->WaitFor(1, &Probe::started));
    field = "changed after start"; // the overlay goes on editing its buffer
    field.clear();
    probe->Open();
    ASSERT_TRUE(probe->WaitFor(1, &Probe::finished));
    WaitClear(busy);
    std::lock_guard<std::mutex> g(probe->lock);
    EXPECT_EQ(probe->seen, std::vector<std::string>{"typed text"});
}

// ---------------------------------------------------------------------------
// Status-guarded start
// ---------------------------------------------------------------------------

TEST(Worker, StatusGuardRefusesWhileRunningAndRestartsAfterAResult)
{
    static std::atomic<int32_t> status{AuthIdle};
    static std::atomic<int> runs{0};
    static std::atomic<bool> release{false};
    auto worker = [](int32_t result) {
        runs++;
        while (!release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        status.store(result);
    };

    EXPECT_TRUE(StartStatusWorker(status, AuthRunning, worker, AuthFailed));
    EXPECT_EQ(status.load(), AuthRunning);
    EXPECT_FALSE(StartStatusWorker(status, AuthRunning, worker, AuthSucceeded));
    release.store(true);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (status.load() == AuthRunning && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(status.load(), AuthFailed);
    EXPECT_EQ(runs.load(), 1);

    // After a failure the user may try again.
    EXPECT_TRUE(StartStatusWorker(status, AuthRunning, worker, AuthSucceeded));
    while (status.load() == AuthRunning && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(status.load(), AuthSucceeded);
    EXPECT_EQ(runs.load(), 2);
}

// ---------------------------------------------------------------------------
// The state frame
// ---------------------------------------------------------------------------

TEST(AppStateFrame, DefaultsAreInPlaceBeforeAnyCall)
{
    EXPECT_FALSE(g_app.flags.api_once.load());
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthIdle);
    EXPECT_EQ(g_app.flags.room_state.load(), RoomIdle);
    EXPECT_FALSE(g_app.flags.link_running.load());
    EXPECT_FALSE(g_app.flags.room_started.load());
}

#ifndef _WIN32
namespace {

// Runs `body` in a child process and gives its exit status (-1 when it died).
template <class Body>
int InChild(Body body)
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

bool Sanitized()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

} // namespace

// Process exit runs the static destructors while detached workers may still
// ask for the backend host; the host must read the same afterwards.
TEST(AppStateFrame, TheBackendHostOutlivesTheStaticDestructors)
{
    const std::string host = "127.0.0.1 (an override too long for inline storage)";
    EXPECT_EQ(InChild([&] {
                  OverrideBackendHost(host);
                  __cxa_finalize(nullptr); // what exit() runs before the process ends
                  return BackendHost() == host ? 0 : 3;
              }),
              0);
}

// A client check whose thread cannot be created (no address space left for
// its stack) puts the started flag back, so a later frame tries again.
TEST(AppStateFrame, AClientCheckThatCannotStartCanStartLater)
{
    if (Sanitized())
        GTEST_SKIP() << "the sanitizers' own mappings need the address space this test takes away";
    EXPECT_EQ(InChild([] {
                  long pages = 0;
                  if (FILE* f = fopen("/proc/self/statm", "r")) {
                      if (fscanf(f, "%ld", &pages) != 1)
                          pages = 0;
                      fclose(f);
                  }
                  // Stacks of ended threads are kept for reuse and need no new
                  // address space; a size none of them has does.
                  pthread_attr_t big;
                  if (pthread_attr_init(&big) != 0 || pthread_attr_setstacksize(&big, 64u << 20) != 0 ||
                      pthread_setattr_default_np(&big) != 0)
                      return 2;
                  const rlim_t now = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE);
                  const rlimit tight{now + (1u << 20), now + (1u << 20)}; // room for a few allocations, not a stack
                  if (pages == 0 || setrlimit(RLIMIT_AS, &tight) != 0)
                      return 2;
                  try {
                      StartClientCheck();
                  } catch (const std::system_error&) {
                      return g_app.flags.client_check_started.load() ? 1 : 0;
                  }
                  return 2; // the thread started after all
              }),
              0);
}
#endif
