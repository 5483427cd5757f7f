// The service behind a real haproxy that sends PROXY protocol v2: the
// per-address limits (open connections, failed sign-ins) follow the player's
// own address, not the balancer's; a direct connection without the header is
// not served.
#include "service_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

const uint16_t kFrontAccount = 49001, kFrontRoom = 49002;

class ProxyFront : public testing::Test
{
protected:
    ServiceProcess service;
    pid_t haproxy = -1;
    std::string dir;

    void SetUp() override
    {
        ASSERT_TRUE(StartService(service, {"--proxy-protocol", "--per-address-connections", "3"})) << service.output;
        dir = MakeTempDir("kestrel-haproxy");
        std::ofstream(dir + "/haproxy.cfg") << "defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 30s\n"
                                               "  timeout server 30s\n"
                                               "listen account\n  bind 127.0.0.1:49001\n"
                                               "  server s 127.0.0.1:39001 send-proxy-v2\n"
                                               "listen room\n  bind 127.0.0.1:49002\n"
                                               "  server s 127.0.0.1:39002 send-proxy-v2\n";
        haproxy = StartProgram({"/usr/sbin/haproxy", "-db", "-f", dir + "/haproxy.cfg"}, dir + "/haproxy.log");
        ASSERT_GT(haproxy, 0);
        for (int i = 0; i < 100; i++) {
            const int fd = ConnectTcpFrom(kFrontRoom, "127.0.0.9");
            if (fd >= 0) {
                close(fd);
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        FAIL() << "haproxy did not listen";
    }
    void TearDown() override
    {
        if (haproxy > 0)
            StopProgram(haproxy);
        StopService(service);
        std::filesystem::remove_all(dir);
    }
    // One request on a fresh connection from `from`; the whole answer.
    std::string Ask(uint16_t port, const char* from, const std::string& path, const std::string& body)
    {
        const int fd = ConnectTcpFrom(port, from);
        if (fd < 0)
            return "";
        SendText(fd, "POST " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Type: application/json\r\n"
                     "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        const std::string got = ReadAll(fd, 5000);
        close(fd);
        return got;
    }
};

} // namespace

TEST_F(ProxyFront, LimitsFollowTheAddressTheBalancerCarries)
{
    // Three idle connections from one player fill its own cap only.
    int idle[3];
    for (int& fd : idle) {
        fd = ConnectTcpFrom(kFrontRoom, "127.0.0.5");
        ASSERT_GE(fd, 0);
    }
    std::this_thread::sleep_for(300ms); // haproxy has opened its three to the service
    const int fourth = ConnectTcpFrom(kFrontRoom, "127.0.0.5");
    EXPECT_TRUE(ClosedByServer(fourth, 3000)) << "a fourth from the same player is refused";
    close(fourth);
    EXPECT_NE(Ask(kFrontRoom, "127.0.0.6", "/list", "{}").find("\"rooms\""), std::string::npos)
        << "another player behind the same balancer is served";
    for (int fd : idle)
        close(fd);

    // A player who guesses passwords for made-up names locks out only itself.
    Ask(kFrontAccount, "127.0.0.6", "/signup",
        "{\"username\":\"carol\",\"gamertag\":\"Carol\",\"password\":\"Secret#123\",\"email\":\"c@example.com\"}");
    for (int i = 0; i < 31; i++)
        Ask(kFrontAccount, "127.0.0.5", "/login",
            "{\"username\":\"nobody" + std::to_string(i) + "\",\"password\":\"wrong\"}");
    EXPECT_NE(Ask(kFrontAccount, "127.0.0.5", "/login", "{\"username\":\"carol\",\"password\":\"Secret#123\"}")
                  .find("\"ok\":false"),
              std::string::npos)
        << "the guesser's own address is braked";
    EXPECT_NE(Ask(kFrontAccount, "127.0.0.6", "/login", "{\"username\":\"carol\",\"password\":\"Secret#123\"}")
                  .find("\"ok\":true"),
              std::string::npos)
        << "another player's correct password still signs in";

    // Straight to the port, without the balancer's header: not served.
    const int direct = ConnectTcpFrom(39002, "127.0.0.7");
    SendText(direct, "POST /list HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}");
    EXPECT_EQ(ReadAll(direct, 3000).find("200 OK"), std::string::npos);
    close(direct);
}
