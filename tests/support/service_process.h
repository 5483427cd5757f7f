// Starts the real kestrel-service for a test, on a fresh data folder, and stops
// exactly that process. Tests that use it run in a private network namespace
// (tests/netns-run), so the fixed ports never collide.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct ServiceProcess
{
    pid_t pid = -1;
    std::string data_dir;   // removed again by StopService
    std::string output;     // what the service printed before "ready"
    std::string log_path;   // set before the start: its log (stderr) is appended there
    bool reuse_data = false; // set before the start: data_dir is used as it is (a restart)
};

// Runs kestrel-service --data <fresh folder> plus `extra_args`, and waits (up to
// 10 s) until it prints that it is ready. False with the reason in `output`.
bool StartService(ServiceProcess& service, const std::vector<std::string>& extra_args = {});

// SIGTERM, then SIGKILL after 5 s; waits for the process and removes its data.
void StopService(ServiceProcess& service);
// SIGTERM and waits (up to 15 s, then SIGKILL); keeps the data folder. Its
// exit status, or 128 + signal.
int StopServiceKeepingData(ServiceProcess& service);

// The path of a built program of this build tree, e.g. "service/kestrel-service".
std::string BuiltProgram(const std::string& relative);

// A fresh, empty temporary folder (removed by the caller).
std::string MakeTempDir(const char* prefix);

// Runs a program with stdout and stderr going to `output_path`; its pid, or -1.
pid_t StartProgram(const std::vector<std::string>& args, const std::string& output_path);

// SIGTERM, then SIGKILL after `grace_ms`; waits for it. Returns its exit status
// (or 128 + signal), -1 if it was not running.
int StopProgram(pid_t pid, int grace_ms = 5000);

// A TCP connection to 127.0.0.1:port from the local address `from` (any
// 127.x.y.z stands for another host); -1 on failure. Nonblocking: the connect
// may still be in progress.
int ConnectTcpFrom(uint16_t port, const char* from, bool nonblocking = false);

// Raw bytes on such a connection, as a hostile or slow peer sends them.
void SendText(int fd, const std::string& text);
// Everything the server sends until it closes, or until `ms` pass in silence.
std::string ReadAll(int fd, int ms = 3000);
// True once the server has closed the connection (within `ms`).
bool ClosedByServer(int fd, int ms);
