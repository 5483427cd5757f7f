#include "link/seal.h"

#include <sodium.h>

#include <cstring>

static_assert(kSealKeyBytes == crypto_kx_PUBLICKEYBYTES && kSealKeyBytes == crypto_kx_SECRETKEYBYTES &&
                  kSealKeyBytes == crypto_kx_SESSIONKEYBYTES &&
                  kSealKeyBytes == crypto_aead_xchacha20poly1305_ietf_KEYBYTES,
              "key sizes");
static_assert(kSealOverhead == 1 + 8 + crypto_aead_xchacha20poly1305_ietf_ABYTES, "overhead");

bool SealLibraryReady()
{
    // Thread-safe and idempotent: 0 first time, 1 afterwards.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

SealKeyPair MakeSealKeyPair()
{
    SealKeyPair p;
    if (!SealLibraryReady())
        return p;
    crypto_kx_keypair(p.pk, p.sk);
    char hex[kSealKeyTextBytes + 1];
    sodium_bin2hex(hex, sizeof(hex), p.pk, sizeof(p.pk));
    p.pk_text.assign(hex, kSealKeyTextBytes);
    return p;
}

SealKeyPair SeedSealKeyPair(const std::string& seed)
{
    SealKeyPair p;
    if (!SealLibraryReady())
        return p;
    unsigned char hashed[crypto_kx_SEEDBYTES];
    crypto_generichash(hashed, sizeof(hashed), (const unsigned char*)seed.data(), seed.size(), nullptr, 0);
    crypto_kx_seed_keypair(p.pk, p.sk, hashed);
    char hex[kSealKeyTextBytes + 1];
    sodium_bin2hex(hex, sizeof(hex), p.pk, sizeof(p.pk));
    p.pk_text.assign(hex, kSealKeyTextBytes);
    return p;
}

bool ReadSealKeyText(const std::string& text, unsigned char out[kSealKeyBytes])
{
    if (text.size() != kSealKeyTextBytes)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    size_t n = 0;
    return sodium_hex2bin(out, kSealKeyBytes, text.data(), text.size(), nullptr, &n, nullptr) == 0 &&
           n == kSealKeyBytes;
}

void EndSealSession(SealSession& s)
{
    sodium_memzero(s.tx, sizeof(s.tx));
    sodium_memzero(s.rx, sizeof(s.rx));
    s = SealSession{};
}

bool StartSealSession(SealSession& s, const SealKeyPair& own, const std::string& partner_text, char own_letter)
{
    EndSealSession(s);
    unsigned char partner[kSealKeyBytes];
    if (own.pk_text.empty() || !ReadSealKeyText(partner_text, partner) || partner_text == own.pk_text)
        return false;
    // The host is crypto_kx's server, the joiner its client: one side's
    // sending key is the other's receiving key.
    const int r = own_letter == 'A' ? crypto_kx_server_session_keys(s.rx, s.tx, own.pk, own.sk, partner)
                                    : crypto_kx_client_session_keys(s.rx, s.tx, own.pk, own.sk, partner);
    if (r != 0) { // the partner's key is a weak point
        EndSealSession(s);
        return false;
    }
    s.on = true;
    s.partner_text = partner_text;
    s.own_text = own.pk_text;
    return true;
}

static void CounterNonce(uint64_t counter, unsigned char nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES])
{
    memset(nonce, 0, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
    for (int i = 0; i < 8; i++)
        nonce[i] = (unsigned char)(counter >> (8 * i));
}

void SealDatagram(SealSession& s, const char* data, size_t size, std::string& out)
{
    const uint64_t counter = s.next_counter++;
    out.resize(kSealOverhead + size);
    unsigned char* o = (unsigned char*)&out[0];
    o[0] = kSealMark;
    for (int i = 0; i < 8; i++)
        o[1 + i] = (unsigned char)(counter >> (8 * i));
    unsigned char nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES];
    CounterNonce(counter, nonce);
    unsigned long long clen = 0;
    // The mark and the counter are authenticated too.
    crypto_aead_xchacha20poly1305_ietf_encrypt(o + 9, &clen, (const unsigned char*)data, size, o, 9, nullptr, nonce,
                                               s.tx);
}

bool LooksSealed(const char* data, size_t size)
{
    return size >= kSealOverhead && (unsigned char)data[0] == kSealMark;
}

static bool WindowHas(const SealSession& s, uint64_t counter)
{
    const uint64_t back = s.highest - counter;
    return (s.window[back / 64] >> (back % 64)) & 1u;
}

// Moves the window up to `counter` (when higher) and marks it.
static void WindowTake(SealSession& s, uint64_t counter)
{
    const size_t words = kSealWindow / 64;
    if (!s.taken || counter > s.highest) {
        const uint64_t shift = s.taken ? counter - s.highest : kSealWindow;
        if (shift >= kSealWindow) {
            memset(s.window, 0, sizeof(s.window));
        } else {
            const size_t word_shift = (size_t)(shift / 64), bit_shift = (size_t)(shift % 64);
            for (size_t i = words; i-- > 0;) {
                uint64_t v = i >= word_shift ? s.window[i - word_shift] << bit_shift : 0;
                if (bit_shift && i >= word_shift + 1)
                    v |= s.window[i - word_shift - 1] >> (64 - bit_shift);
                s.window[i] = v;
            }
        }
        s.highest = counter;
        s.taken = true;
    }
    const uint64_t back = s.highest - counter;
    s.window[back / 64] |= (uint64_t)1 << (back % 64);
}

OpenResult OpenDatagram(SealSession& s, const char* data, size_t size, std::string& out)
{
    out.clear();
    if (!s.on || !LooksSealed(data, size))
        return OpenResult::Forged;
    const unsigned char* in = (const unsigned char*)data;
    uint64_t counter = 0;
    for (int i = 0; i < 8; i++)
        counter |= (uint64_t)in[1 + i] << (8 * i);
    out.resize(size - kSealOverhead);
    unsigned char nonce[crypto_aead_xchacha20poly1305_ietf_NPUBBYTES];
    CounterNonce(counter, nonce);
    unsigned long long mlen = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt((unsigned char*)&out[0], &mlen, nullptr, in + 9, size - 9, in, 9,
                                                   nonce, s.rx) != 0) {
        out.clear();
        return OpenResult::Forged;
    }
    // Genuine: now whether it is new. Older than the window, or taken before.
    if (s.taken && counter <= s.highest && (s.highest - counter >= kSealWindow || WindowHas(s, counter))) {
        out.clear();
        return OpenResult::Replayed;
    }
    out.resize((size_t)mlen);
    WindowTake(s, counter);
    return OpenResult::Opened;
}
