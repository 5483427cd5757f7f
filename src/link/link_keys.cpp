#include "link/link_keys.h"

#include "state/app_state.h"
#include "state/config.h"

#include <cstring>

std::string RenewLinkKeys()
{
    SealKeyPair p = MakeSealKeyPair();
    LinkKeysState& k = g_app.link_keys;
    std::lock_guard<std::mutex> g(k.lock);
    k.own_public = p.pk_text;
    k.own_secret.assign((const char*)p.sk, sizeof(p.sk));
    k.changes++;
    return p.pk_text;
}

std::string OwnLinkKey()
{
    if (!SendLinkKeys())
        return std::string();
    LinkKeysState& k = g_app.link_keys;
    std::lock_guard<std::mutex> g(k.lock);
    return k.own_public;
}

void ForgetLinkKeys()
{
    LinkKeysState& k = g_app.link_keys;
    std::lock_guard<std::mutex> g(k.lock);
    k.own_public.clear();
    k.own_secret.assign(k.own_secret.size(), '\0');
    k.own_secret.clear();
    k.partner.clear();
    k.partner_keyless = false;
    k.service_keyless = false;
    k.changes++;
}

void NotePartnerLinkKey(const std::string& reply)
{
    static const char kMember[] = "\"peer_link_key\"";
    const size_t at = reply.find(kMember);
    std::string key;
    if (at != std::string::npos) {
        // "peer_link_key":"<64 hex>": the value is read as the scanners would,
        // then only a well-formed key counts.
        size_t i = at + sizeof(kMember) - 1;
        while (i < reply.size() && (reply[i] == ' ' || reply[i] == ':'))
            i++;
        if (i < reply.size() && reply[i] == '"') {
            const size_t end = reply.find('"', i + 1);
            if (end != std::string::npos)
                key = reply.substr(i + 1, end - i - 1);
        }
        unsigned char raw[kSealKeyBytes];
        if (!ReadSealKeyText(key, raw))
            key.clear();
    }
    LinkKeysState& k = g_app.link_keys;
    std::lock_guard<std::mutex> g(k.lock);
    const bool service_keyless = at == std::string::npos;
    const bool partner_keyless = !service_keyless && key.empty();
    if (key != k.partner)
        k.changes++;
    k.partner = key;
    k.partner_keyless = partner_keyless;
    k.service_keyless = service_keyless;
}

PartnerSeal PartnerSealState()
{
    LinkKeysState& k = g_app.link_keys;
    std::lock_guard<std::mutex> g(k.lock);
    if (!k.partner.empty())
        return PartnerSeal::Sealed;
    if (k.service_keyless)
        return PartnerSeal::ServiceOlder;
    if (k.partner_keyless)
        return PartnerSeal::PartnerOlder;
    return PartnerSeal::Unknown;
}

LinkKeys CurrentLinkKeys()
{
    LinkKeys out;
    LinkKeysState& k = g_app.link_keys;
    std::lock_guard<std::mutex> g(k.lock);
    out.changes = k.changes;
    out.partner = k.partner;
    if (SendLinkKeys() && k.own_secret.size() == kSealKeyBytes && k.own_public.size() == kSealKeyTextBytes) {
        out.own.pk_text = k.own_public;
        memcpy(out.own.sk, k.own_secret.data(), kSealKeyBytes);
        ReadSealKeyText(k.own_public, out.own.pk);
    }
    return out;
}

uint32_t LinkKeyChanges()
{
    LinkKeysState& k = g_app.link_keys;
    std::lock_guard<std::mutex> g(k.lock);
    return k.changes;
}

void UseLinkKeysFromSeeds(const std::string& own_seed, const std::string& partner_seed)
{
    const SealKeyPair own = SeedSealKeyPair(own_seed);
    const SealKeyPair partner = SeedSealKeyPair(partner_seed);
    LinkKeysState& k = g_app.link_keys;
    std::lock_guard<std::mutex> g(k.lock);
    k.own_public = own.pk_text;
    k.own_secret.assign((const char*)own.sk, sizeof(own.sk));
    k.partner = partner.pk_text;
    k.partner_keyless = false;
    k.service_keyless = false;
    k.changes++;
}
