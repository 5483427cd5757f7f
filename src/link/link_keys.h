// The keys of the link session: the own key pair travels (public half only)
// in the "/ready" and "/heartbeat" requests; the service hands back the
// partner's as "peer_link_key". The shared keys are derived by each side
// (link/seal.h); the service and the relay never hold them.
#pragma once

#include "link/seal.h"

#include <cstdint>
#include <string>

// A fresh own pair (a new room, a rejoin, a relay move); the partner's key is
// kept (it is the partner's to change). Returns the public text ("" when the
// library could not start). Any thread.
std::string RenewLinkKeys();

// The own public key as the requests send it; "" before any room, or when
// this client sends no keys (SendLinkKeys off).
std::string OwnLinkKey();

// Leaving: no own pair, no partner key.
void ForgetLinkKeys();

// From a "/ready" or "/heartbeat" answer of the current room: the reply text.
// A valid "peer_link_key" is the partner's key; an empty one (or one that is
// not a key) says the partner sends none; no member at all, an older service.
void NotePartnerLinkKey(const std::string& reply);

enum class PartnerSeal
{
    Unknown,       // no answer yet, or no partner
    Sealed,        // the partner's key is known: the link seals
    PartnerOlder,  // the partner's requests carry no key
    ServiceOlder,  // the service passes no keys
};
PartnerSeal PartnerSealState();

struct LinkKeys
{
    SealKeyPair own;
    std::string partner; // "" none
    uint32_t changes = 0;
};
LinkKeys CurrentLinkKeys();
uint32_t LinkKeyChanges();

// Tools only (benchmarks, links without a room): the own pair made from a
// seed word and the partner's public key from the partner's seed word, so two
// processes seal to each other without a service.
void UseLinkKeysFromSeeds(const std::string& own_seed, const std::string& partner_seed);
