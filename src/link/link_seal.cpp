#include "link/link_seal.h"

#include "link/link_keys.h"
#include "state/app_state.h"

#include <atomic>

static std::atomic<bool> g_sealed_only{false};

void SetLinkSealedOnly(bool on)
{
    g_sealed_only.store(on);
}

bool LinkSealedOnly()
{
    return g_sealed_only.load();
}

LinkSeal& TheLinkSeal()
{
    // Only link threads touch it, and never two at once (StartPeerLink
    // refuses while one runs). Never destroyed: a detached thread may be
    // finishing while the process exits.
    static LinkSeal* seal = new LinkSeal;
    return *seal;
}

static void NoteSealed(bool sealed)
{
    std::lock_guard<std::mutex> g(g_app.link.lock);
    g_app.link.sealed = sealed;
}

bool RefreshLinkSeal(LinkSeal& seal, char letter)
{
    const bool sealed_only = LinkSealedOnly();
    const uint32_t changes = LinkKeyChanges();
    if (seal.read_once && changes == seal.key_changes && letter == seal.letter) {
        seal.refuse_plain = !seal.sealed && sealed_only;
        return false;
    }
    const LinkKeys keys = CurrentLinkKeys();
    seal.read_once = true;
    seal.key_changes = keys.changes;
    const bool same = seal.current.on && letter == seal.letter && seal.current.own_text == keys.own.pk_text &&
                      seal.current.partner_text == keys.partner;
    seal.letter = letter;
    bool changed = false;
    if (!same) {
        SealSession next;
        StartSealSession(next, keys.own, keys.partner, letter);
        if (next.on || seal.current.on) {
            // The partner may seal to the keys it knew until its next answer
            // from the service: the last session still opens.
            EndSealSession(seal.previous);
            seal.previous = seal.current;
            seal.current = next;
            seal.current_heard = false;
            changed = true;
        }
        EndSealSession(next);
    }
    seal.sealed = seal.current.on;
    seal.refuse_plain = !seal.sealed && sealed_only;
    NoteSealed(seal.sealed);
    return changed;
}

bool SealOutgoing(LinkSeal& seal, const char* data, size_t size, std::string& out)
{
    if (seal.sealed) {
        SealDatagram(seal.current, data, size, out);
        return true;
    }
    if (seal.refuse_plain)
        return false;
    out.assign(data, size);
    return true;
}

static void CountRefused(OpenResult why)
{
    std::lock_guard<std::mutex> g(g_app.link.lock);
    if (why == OpenResult::Replayed)
        g_app.link.refused_replayed++;
    else
        g_app.link.refused_forged++;
}

IncomingResult OpenIncoming(LinkSeal& seal, const char* data, size_t size, std::string& plain, bool& renewed)
{
    renewed = false;
    if (!seal.sealed) {
        if (seal.refuse_plain || LooksSealed(data, size)) {
            CountRefused(OpenResult::Forged);
            return IncomingResult::Refused;
        }
        plain.assign(data, size);
        return IncomingResult::Pass;
    }
    OpenResult r = OpenDatagram(seal.current, data, size, plain);
    if (r == OpenResult::Opened) {
        renewed = !seal.current_heard && seal.previous.on;
        seal.current_heard = true;
        return IncomingResult::Pass;
    }
    if (r == OpenResult::Forged && seal.previous.on) {
        r = OpenDatagram(seal.previous, data, size, plain);
        if (r == OpenResult::Opened)
            return IncomingResult::Pass;
    }
    CountRefused(r);
    return IncomingResult::Refused;
}

LinkSealHealth LinkSealStatus()
{
    LinkSealHealth h;
    std::lock_guard<std::mutex> g(g_app.link.lock);
    h.sealed = g_app.link.sealed;
    h.refused_forged = g_app.link.refused_forged;
    h.refused_replayed = g_app.link.refused_replayed;
    return h;
}

void ResetLinkSealStatus()
{
    std::lock_guard<std::mutex> g(g_app.link.lock);
    g_app.link.sealed = false;
    g_app.link.refused_forged = 0;
    g_app.link.refused_replayed = 0;
}
