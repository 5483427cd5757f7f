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

// This build's version ("0.1.0"), sent with the room requests.
std::string KestrelVersion();

// The game's build as the room requests tell it: the file version of the
// process's own executable on Windows ("1.0.2.0"), "" where it has none.
// The harnesses and the partner client report theirs through the override.
std::string GameVersion();
void OverrideGameVersion(const std::string& version);

// On (default): the room requests carry the link key and the versions, and
// the link seals. Off: the client as it was before (tools only, to check that
// an older partner still plays, plain).
bool SendLinkKeys();
void SetSendLinkKeys(bool on);
