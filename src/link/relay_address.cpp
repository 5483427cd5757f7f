#include "link/relay_address.h"

#include "state/app_state.h"
#include "state/config.h"

#include <cstdio>

// Digits only, no leading zero, at most `max`; the position after them in `i`.
static bool ReadNumber(const std::string& s, size_t& i, uint32_t max, uint32_t& value)
{
    const size_t start = i;
    value = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 6)
        value = value * 10 + (uint32_t)(s[i++] - '0');
    const size_t digits = i - start;
    return digits > 0 && !(digits > 1 && s[start] == '0') && value <= max && (i == s.size() || s[i] < '0' || s[i] > '9');
}

bool ParseRelayAddress(const std::string& text, NetAddress& out)
{
    size_t i = 0;
    uint32_t ip = 0, part = 0, port = 0;
    for (int k = 0; k < 4; k++) {
        if (!ReadNumber(text, i, 255, part) || i >= text.size() || text[i] != (k < 3 ? '.' : ':'))
            return false;
        ip = ip << 8 | part;
        i++;
    }
    if (!ReadNumber(text, i, 65535, port) || i != text.size() || port == 0)
        return false;
    // Datagrams must come back from it: no "this network", multicast or broadcast.
    if ((ip >> 24) == 0 || (ip >> 24) >= 224)
        return false;
    out.ip = ip;
    out.port = (uint16_t)port;
    return true;
}

std::string RelayAddressText(const NetAddress& a)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "%u.%u.%u.%u:%u", a.ip >> 24, a.ip >> 16 & 255, a.ip >> 8 & 255, a.ip & 255,
             (unsigned)a.port);
    return buf;
}

void KeepRoomRelay(RoomState& room, const std::string& member)
{
    NetAddress a;
    if (member == room.room_relay || !ParseRelayAddress(member, a))
        return;
    room.room_relay = member;
    room.relay_changes.fetch_add(1);
}

void ForgetRoomRelay(RoomState& room)
{
    if (room.room_relay.empty())
        return;
    room.room_relay.clear();
    room.relay_changes.fetch_add(1);
}

NetAddress CurrentRelay(uint32_t& changes)
{
    NetAddress a;
    ParseIpv4(BackendHost().c_str(), a.ip);
    a.port = kRelayPort;
    std::lock_guard<std::mutex> g(g_app.room.lock);
    changes = g_app.room.relay_changes.load();
    NetAddress named;
    if (ParseRelayAddress(g_app.room.room_relay, named))
        a = named;
    return a;
}
