#include "service_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

std::string BuiltProgram(const std::string& relative)
{
    return std::string(KESTREL_BUILD_DIR) + "/" + relative;
}

std::string MakeTempDir(const char* prefix)
{
    std::string templ = std::filesystem::temp_directory_path().string() + "/" + prefix + ".XXXXXX";
    if (!mkdtemp(templ.data()))
        return std::string();
    return templ;
}

// Everything the child needs is made before the fork: the child of a process
// with threads may make only async-signal-safe calls, since a lock another
// thread held at the fork (the allocator's, say) is held there for good.
static pid_t ForkExec(const std::vector<std::string>& args, int out_fd, bool errors_too, int err_fd = -1)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (out_fd >= 0) {
            dup2(out_fd, 1);
            if (errors_too)
                dup2(out_fd, 2);
        }
        if (err_fd >= 0)
            dup2(err_fd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool StartService(ServiceProcess& service, const std::vector<std::string>& extra_args)
{
    if (!service.reuse_data || service.data_dir.empty())
        service.data_dir = MakeTempDir("kestrel-service");
    std::vector<std::string> args = {BuiltProgram("service/kestrel-service"), "--data", service.data_dir};
    args.insert(args.end(), extra_args.begin(), extra_args.end());

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    const int err = service.log_path.empty()
                        ? -1
                        : open(service.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const pid_t pid = ForkExec(args, out[1], false, err);
    close(out[1]);
    if (err >= 0)
        close(err);
    if (pid < 0) {
        close(out[0]);
        return false;
    }
    service.pid = pid;

    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char buf[512];
    bool ready = false;
    while (!ready && std::chrono::steady_clock::now() < until) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = read(out[0], buf, sizeof(buf));
        if (n <= 0)
            break; // exited
        service.output.append(buf, (size_t)n);
        ready = service.output.find("kestrel-service ready") != std::string::npos;
    }
    // Later output is not read; keep the pipe drained by closing our end (the
    // service ignores SIGPIPE and only prints the ready line).
    close(out[0]);
    if (!ready) {
        StopService(service);
        return false;
    }
    return true;
}

int StopServiceKeepingData(ServiceProcess& service)
{
    if (service.pid <= 0)
        return -1;
    kill(service.pid, SIGTERM);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 1500 && (done = waitpid(service.pid, &status, WNOHANG)) == 0; i++)
        usleep(10000);
    if (done != service.pid) {
        kill(service.pid, SIGKILL);
        waitpid(service.pid, &status, 0);
    }
    service.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void StopService(ServiceProcess& service)
{
    if (service.pid > 0) {
        kill(service.pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500; i++) {
            if (waitpid(service.pid, &status, WNOHANG) == service.pid) {
                service.pid = -1;
                break;
            }
            usleep(10000);
        }
        if (service.pid > 0) {
            kill(service.pid, SIGKILL);
            waitpid(service.pid, &status, 0);
            service.pid = -1;
        }
    }
    if (!service.data_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(service.data_dir, ec);
        service.data_dir.clear();
    }
}

pid_t StartProgram(const std::vector<std::string>& args, const std::string& output_path)
{
    const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = ForkExec(args, out, true);
    if (out >= 0)
        close(out);
    return pid;
}

int StopProgram(pid_t pid, int grace_ms)
{
    if (pid <= 0)
        return -1;
    kill(pid, SIGTERM);
    int status = 0;
    for (int waited = 0; waited < grace_ms; waited += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return 128 + SIGKILL;
}

int ConnectTcpFrom(uint16_t port, const char* from, bool nonblocking)
{
    const int fd = socket(AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from, &a.sin_addr);
    bind(fd, (sockaddr*)&a, sizeof(a));
    a.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (connect(fd, (sockaddr*)&a, sizeof(a)) != 0 && !(nonblocking && errno == EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

void SendText(int fd, const std::string& text)
{
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

std::string ReadAll(int fd, int ms)
{
    std::string got;
    char buf[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return got;
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            return got;
        got.append(buf, (size_t)n);
    }
}

bool ClosedByServer(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    char c;
    return poll(&p, 1, ms) == 1 && recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}
