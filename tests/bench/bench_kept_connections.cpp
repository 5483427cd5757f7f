// A lobby's request over TLS, on a kept connection and on a new one each time
// (full handshake: nothing kept, no session to resume), in the same run:
// latency as the client sees it and the service's CPU per request.
//   kestrel_kept_bench PIN SERVICE_PID   (the service on 127.0.0.1, TLS)
#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/rooms.h"
#include "platform/platform.h"
#include "state/app_state.h"
#include "state/config.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// User plus system time of a process, in seconds.
double CpuSeconds(int pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return 0;
    char buf[1024] = {};
    const size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* p = strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    if (p)
        sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

void Run(const char* label, int count, bool fresh, const std::string& body, int pid)
{
    std::vector<double> ms;
    const double cpu0 = CpuSeconds(pid);
    int failed = 0;
    for (int i = 0; i < count; i++) {
        if (fresh)
            HttpCloseConnections();
        std::string reply;
        const auto t0 = std::chrono::steady_clock::now();
        if (!HttpPostJson(kRoomPort, L"/heartbeat", body, reply))
            failed++;
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    const double cpu = CpuSeconds(pid) - cpu0;
    std::sort(ms.begin(), ms.end());
    printf("%-32s n %5d  p50 %6.3f ms  p90 %6.3f ms  p99 %6.3f ms  service CPU %6.1f us/request%s\n", label, count,
           ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms[ms.size() * 99 / 100], cpu * 1e6 / count,
           failed ? "  (failures!)" : "");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: kestrel_kept_bench PIN SERVICE_PID\n");
        return 2;
    }
    OverrideBackendHost("127.0.0.1");
    OverrideBackendPin(argv[1]);
    const int pid = atoi(argv[2]);
    RoomOpRequest create;
    create.op.mode = RoomOpCreate;
    create.gamertag = "bench";
    create.cid = ClientId();
    create.op.name = "Bench lobby";
    std::string reply, code;
    if (!HttpPostJson(kRoomPort, L"/create", RoomOpBody(create), reply) || (code = JsonGetString(reply, "code")).empty()) {
        fprintf(stderr, "no room: %s\n", reply.c_str());
        return 1;
    }
    const std::string body = "{\"gamertag\":\"bench\",\"cid\":\"" + create.cid + "\",\"code\":\"" + code + "\"}";
    printf("== a lobby's \"/heartbeat\" over TLS (pinned), one request at a time\n");
    for (int round = 0; round < 2; round++) { // twice, so neither side has the machine to itself
        Run("kept connection:", 2000, false, body, pid);
        Run("new connection each (handshake):", 400, true, body, pid);
    }
    return 0;
}
