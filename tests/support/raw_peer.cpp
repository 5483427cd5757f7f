#include "raw_peer.h"

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

static void SendToRelay(int fd, const std::string& d)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(39000);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, d.data(), d.size(), 0, (sockaddr*)&to, sizeof(to));
}

static void PeerLoop(RawPeer* p)
{
    std::vector<char> buf(70000);
    auto next_hello = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!p->stop.load()) {
        pollfd pf{p->fd, POLLIN, 0};
        poll(&pf, 1, 20);
        if (std::chrono::steady_clock::now() >= next_hello) {
            SendToRelay(p->fd, "HELLO " + p->code + " " + p->letter + "\n");
            next_hello += std::chrono::seconds(1);
        }
        for (;;) {
            const ssize_t n = recv(p->fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n < 0)
                break;
            const std::string d(buf.data(), (size_t)n);
            const size_t nl = d.find('\n');
            if (d.compare(0, 5, "FILE:") != 0 || nl == std::string::npos)
                continue;
            RawDatagram r{d.substr(5, nl - 5), d.substr(nl + 1), std::chrono::steady_clock::now()};
            if (r.name.compare(0, 8, "__ping__") == 0) {
                if (p->answer_pings)
                    SendToRelay(p->fd, std::string("FILE:__pong___") + p->letter + ".json\n" + r.body);
                std::lock_guard<std::mutex> g(p->lock);
                p->pings++;
                continue;
            }
            std::lock_guard<std::mutex> g(p->lock);
            p->received.push_back(std::move(r));
        }
    }
}

bool StartRawPeer(RawPeer& peer, const std::string& code, char letter)
{
    peer.fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int size = 4 << 20;
    setsockopt(peer.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(peer.fd, (sockaddr*)&a, sizeof(a)) != 0)
        return false;
    peer.code = code;
    peer.letter = letter;
    SendToRelay(peer.fd, "HELLO " + code + " " + letter + "\n");
    peer.thread = std::thread(PeerLoop, &peer);
    return true;
}

void StopRawPeer(RawPeer& peer)
{
    peer.stop.store(true);
    if (peer.thread.joinable())
        peer.thread.join();
    if (peer.fd >= 0)
        close(peer.fd);
    peer.fd = -1;
}

void RawPeerSend(RawPeer& peer, const std::string& datagram)
{
    SendToRelay(peer.fd, datagram);
}

std::vector<RawDatagram> RawPeerReceived(RawPeer& peer)
{
    std::lock_guard<std::mutex> g(peer.lock);
    return peer.received;
}

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFileText(const std::string& path, const std::string& text)
{
    const std::string tmp = path + ".writing";
    {
        std::ofstream out(tmp, std::ios::binary);
        out << text;
        if (!out)
            return false;
    }
    return rename(tmp.c_str(), path.c_str()) == 0;
}
