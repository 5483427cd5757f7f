// A plain UDP socket on loopback and a datagram to the relay's port: for tests
// that speak to the relay as a stranger would, outside the client's code.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

inline int LoopbackUdp()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&a, sizeof(a));
    return fd;
}

inline void SendToRelayPort(int fd, const std::string& text)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(39000);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, text.data(), text.size(), 0, (sockaddr*)&to, sizeof(to));
}
