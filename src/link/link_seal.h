// The seal at the link's datagram boundary: everything the link sends to the
// partner goes out through SealOutgoing, everything from the relay comes in
// through OpenIncoming, so the framing inside stays the link's own. HELLO to
// the relay is not the partner's and stays plain.
//
// With the partner's key known, only datagrams sealed by the partner pass;
// without one (an older partner) the link is plain, as before, unless the
// player refuses plain links. Refused datagrams are counted, never handed on.
#pragma once

#include "link/seal.h"

#include <cstdint>
#include <string>

// Render thread, from the settings record each frame: "Only play over an
// encrypted link". Read by the link-start rule and the link thread.
void SetLinkSealedOnly(bool on);
bool LinkSealedOnly();

struct LinkSeal
{
    char letter = 'A';
    uint32_t key_changes = 0;
    bool read_once = false;
    SealSession current;   // sealed to the partner's latest key with the own latest pair
    SealSession previous;  // the one before a key change: the partner may still seal to it
    bool sealed = false;       // a partner key is known: only sealed datagrams pass
    bool refuse_plain = false; // no partner key and plain links refused: nothing passes
    bool current_heard = false; // a datagram has opened under `current`
};

// The link thread's own seal. Kept from one link run to the next: a session
// of the same two keys goes on with its counter and window, so a restarted
// link never seals two datagrams under one nonce, nor takes an old one again.
LinkSeal& TheLinkSeal();

// Each turn of the link thread: re-derives when either key changed (or the
// setting did). True when the sending session changed.
bool RefreshLinkSeal(LinkSeal& seal, char letter);

// The bytes to send for one plain datagram; false: send nothing (plain refused).
bool SealOutgoing(LinkSeal& seal, const char* data, size_t size, std::string& out);

enum class IncomingResult { Pass, Refused };

// One datagram from the relay. Pass: `plain` holds what the link dispatches.
// `renewed` is set when it is the first to open under a session that replaced
// another: the partner has the new keys now, and what was sealed to it
// before may not have opened.
IncomingResult OpenIncoming(LinkSeal& seal, const char* data, size_t size, std::string& plain, bool& renewed);

// What sync health shows of the seal for the running (or last) link.
struct LinkSealHealth
{
    bool sealed = false;
    uint64_t refused_forged = 0;   // not sealed by the partner: forged, altered, another key, plain
    uint64_t refused_replayed = 0; // genuine copies the window refused
};
LinkSealHealth LinkSealStatus();
void ResetLinkSealStatus(); // at each link start
