#include "raw_peer.h"

#include "platform/platform.h"

#include <fstream>
#include <sstream>

static NetAddress Relay()
{
    NetAddress a;
    ParseIpv4("127.0.0.1", a.ip);
    a.port = 39000;
    return a;
}

static void SendToRelay(int64_t fd, const std::string& d)
{
    UdpSendTo((UdpSocket)fd, Relay(), d.data(), d.size());
}

static void PeerLoop(RawPeer* p)
{
    std::vector<char> buf(70000);
    auto next_hello = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!p->stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (std::chrono::steady_clock::now() >= next_hello) {
            SendToRelay(p->fd, "HELLO " + p->code + " " + p->letter + "\n");
            next_hello += std::chrono::seconds(1);
        }
        for (;;) {
            NetAddress from;
            const int n = UdpReceive((UdpSocket)p->fd, buf.data(), buf.size(), from);
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
                p->ping_bodies.push_back(r.body);
                continue;
            }
            std::lock_guard<std::mutex> g(p->lock);
            p->received.push_back(std::move(r));
        }
    }
}

bool StartRawPeer(RawPeer& peer, const std::string& code, char letter)
{
    NetStartup();
    const UdpSocket s = UdpOpen(0, 4 << 20);
    if (s == kNoSocket)
        return false;
    peer.fd = (int64_t)s;
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
        UdpClose((UdpSocket)peer.fd);
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
    // On Windows a reader holding the file open makes the move fail for a moment.
    for (int attempt = 0; attempt < 100; attempt++) {
        if (MoveFileOver(tmp, path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}
