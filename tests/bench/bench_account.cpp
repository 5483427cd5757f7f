// Timing of the account port on loopback, as the client sees it (one fresh
// connection per request, through the client's own transport), and of the
// password hashing on its own. Starts a real kestrel-service; run it through
// tests/netns-run (scripts/bench does). Not a test: it only prints figures.
#include "backend/http.h"
#include "backend/json_text.h"
#include "accounts/credentials.h"
#include "platform/platform.h"
#include "service_process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

struct Figures
{
    double median_ms = 0, p99_ms = 0, min_ms = 0;
};

Figures Time(int runs, const std::function<bool()>& once)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; i++) {
        const int64_t t0 = SteadyNowNs();
        if (!once()) {
            fprintf(stderr, "request failed\n");
            exit(1);
        }
        ms.push_back((double)(SteadyNowNs() - t0) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, (size_t)((double)ms.size() * 0.99))], ms[0]};
}

void Print(const char* what, int runs, const Figures& f)
{
    printf("%-44s runs %5d  median %8.3f ms  p99 %8.3f ms  min %8.3f ms\n", what, runs, f.median_ms, f.p99_ms,
           f.min_ms);
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? atoi(argv[1]) : 2000;
    ServiceProcess service;
    if (!StartService(service)) {
        fprintf(stderr, "cannot start kestrel-service: %s\n", service.output.c_str());
        return 1;
    }
    std::string reply;
    const std::string password = "Bench#mark1";
    if (!HttpPostJson(kAccountPort, L"/signup",
                      "{\"username\":\"bench\",\"gamertag\":\"\",\"password\":\"" + password +
                          "\",\"email\":\"bench@example.com\"}",
                      reply)) {
        fprintf(stderr, "sign-up failed: %s\n", reply.c_str());
        StopService(service);
        return 1;
    }
    const std::string token = JsonGetString(reply, "token");
    const std::string session = "{\"token\":\"" + token + "\"}";
    const std::string login = "{\"username\":\"bench\",\"password\":\"" + password + "\"}";

    printf("Account port on loopback, one fresh connection per request (client transport):\n");
    Print("/session (no hashing)", runs, Time(runs, [&] { return HttpPostJson(kAccountPort, L"/session", session, reply); }));
    Print("/clientcheck (no storage)", runs,
          Time(runs, [&] { return HttpPostJson(kAccountPort, L"/clientcheck", "{\"channel\":\"beta2\"}", reply); }));
    const int login_runs = std::max(20, runs / 20);
    const Figures signin = Time(login_runs, [&] { return HttpPostJson(kAccountPort, L"/login", login, reply); });
    Print("/login (one Argon2id verification inside)", login_runs, signin);
    StopService(service);

    printf("Password hashing alone (Argon2id, t=2, m=19 MiB, p=1):\n");
    InitCredentials();
    std::string hash;
    HashPassword(password, hash);
    Print("HashPassword", login_runs, Time(login_runs, [&] {
              std::string h;
              return HashPassword(password, h);
          }));
    const Figures verify = Time(login_runs, [&] { return VerifyPassword(hash, password); });
    Print("VerifyPassword", login_runs, verify);
    printf("/login apart from hashing (median difference): %.3f ms\n", signin.median_ms - verify.median_ms);
    return 0;
}
