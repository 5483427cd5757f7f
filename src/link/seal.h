// Sealing of the datagrams between the two players (libsodium): each side
// makes a key pair per link session (crypto_kx) and learns the partner's
// public key through the service; the two derive one key per direction, so
// neither the service nor the relay can read, alter or forge what crosses.
//
// A sealed datagram: kSealMark, an 8-byte little-endian counter, then the
// whole plain datagram encrypted with XChaCha20-Poly1305 (its 16-byte tag at
// the end). The counter is the nonce (each direction has its own key, so a
// counter never repeats under a key) and the receiver keeps a window of the
// counters it has taken: a copy, or one older than the window, is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

const size_t kSealKeyBytes = 32;
const size_t kSealKeyTextBytes = 2 * kSealKeyBytes; // lower-case hex
const unsigned char kSealMark = 0xB7;               // never the first byte of a plain datagram ("FILE:", "HELLO ")
const size_t kSealOverhead = 1 + 8 + 16;
// Counters this far below the highest taken are still accepted once: the
// relay may reorder, and one file's chunks go out as a burst.
const uint64_t kSealWindow = 2048;

// False when libsodium could not start (no random source): nothing can be sealed.
bool SealLibraryReady();

struct SealKeyPair
{
    unsigned char pk[kSealKeyBytes] = {};
    unsigned char sk[kSealKeyBytes] = {};
    std::string pk_text; // what travels in the room requests; "" when no pair
};

// A fresh pair; pk_text stays "" when the library is not ready.
SealKeyPair MakeSealKeyPair();
// The same pair for the same seed word every time (tools and benchmarks only).
SealKeyPair SeedSealKeyPair(const std::string& seed);

// Reads a partner key as the service hands it: exactly 64 hex digits.
bool ReadSealKeyText(const std::string& text, unsigned char out[kSealKeyBytes]);

struct SealSession
{
    bool on = false;
    std::string partner_text; // the partner key it was made for
    std::string own_text;     // and the own
    unsigned char tx[kSealKeyBytes] = {};
    unsigned char rx[kSealKeyBytes] = {};
    uint64_t next_counter = 0;     // the next datagram sent carries it
    uint64_t highest = 0;          // the highest counter taken; valid once `taken`
    bool taken = false;
    uint64_t window[kSealWindow / 64] = {}; // bit i: highest - i taken
};

// Derives the two keys from the own pair and the partner's public key. The
// host ('A') and the joiner take opposite sides of crypto_kx, so A's sending
// key is B's receiving key. False (session off) for a bad or equal key.
bool StartSealSession(SealSession& s, const SealKeyPair& own, const std::string& partner_text, char own_letter);

// Wipes the keys; the session is off.
void EndSealSession(SealSession& s);

// Seals one plain datagram (appends to nothing: `out` is replaced).
void SealDatagram(SealSession& s, const char* data, size_t size, std::string& out);

enum class OpenResult { Opened, Forged, Replayed };

// Opens a sealed datagram into `out`. Forged: not sealed, cut, altered, or
// sealed with another key. Replayed: genuine, but its counter was taken
// already or is older than the window. Only Opened moves the window.
OpenResult OpenDatagram(SealSession& s, const char* data, size_t size, std::string& out);

// True when the datagram starts as a sealed one does.
bool LooksSealed(const char* data, size_t size);
