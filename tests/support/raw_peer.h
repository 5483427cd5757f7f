// A stand-in partner on a plain UDP socket, with the test's own reading of the
// wire: registers with the relay, answers pings, and records every channel
// file datagram it is sent. Lets tests count and time what a link sends.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RawDatagram
{
    std::string name;
    std::string body;
    std::chrono::steady_clock::time_point at;
};

struct RawPeer
{
    int fd = -1;
    std::string code;
    char letter = 'B';
    bool answer_pings = true;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::mutex lock;
    std::vector<RawDatagram> received; // every "FILE:" datagram but pings
    int pings = 0;
};

// Binds a socket on 127.0.0.1, sends HELLO for (code, letter) now and every
// second, and receives on a thread of its own.
bool StartRawPeer(RawPeer& peer, const std::string& code, char letter);
void StopRawPeer(RawPeer& peer);

// Sends a datagram to the relay as this peer.
void RawPeerSend(RawPeer& peer, const std::string& datagram);

// A copy of what arrived so far.
std::vector<RawDatagram> RawPeerReceived(RawPeer& peer);

// Reads the whole file; "" when missing.
std::string ReadFileText(const std::string& path);
bool WriteFileText(const std::string& path, const std::string& text);
