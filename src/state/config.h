// Built-in configuration. The backend host is compiled in; the tools (partner
// client, harnesses) may point it elsewhere before starting any work, the
// plugin never does.
#pragma once

#include <string>

const unsigned short kRelayPort = 39000;
const unsigned short kAccountPort = 39001;
const unsigned short kRoomPort = 39002;

// The backend's IPv4 address literal (relay, account and room ports).
std::string BackendHost();

// Tools only, before any worker or link thread starts.
void OverrideBackendHost(const std::string& host);

// On (default): a room survives a drop. The client keeps its id and last room
// in the data folder to rejoin after a restart, tells a partner who is away
// from one who left, and the link sends the own files again when the partner
// is heard from after a gap. Off: the client as it was before (tools only,
// to check that both kinds still play together).
bool RideOutDrops();
void SetRideOutDrops(bool on);

// The pinned key of the backend's HTTPS (base64 SHA-256 of its
// SubjectPublicKeyInfo); "" when the release talks plain HTTP.
std::string BackendPin();

// Tools and tests only, like the host.
void OverrideBackendPin(const std::string& pin);
