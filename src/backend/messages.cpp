#include "backend/messages.h"

#include "backend/http.h"
#include "backend/invites.h"
#include "backend/json_text.h"
#include "state/app_state.h"
#include "state/worker.h"

#include <algorithm>
#include <chrono>
#include <thread>

void OpenConversation(const std::string& gamertag)
{
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        g_app.social.chat_partner = gamertag;
        g_app.social.conversation.clear();
        g_app.social.conversation_ids.clear();
        g_app.social.conversation_opens++;
        g_app.social.conversation_changes++;
        g_app.social.last_message_id = 0;
        g_app.social.compose[0] = 0;
        g_app.social.send_status.clear();
    }
    NavigateTo(PageMessages);
}

void FetchConversation()
{
    std::string partner;
    int32_t after = 0;
    uint32_t opened = 0;
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        partner = g_app.social.chat_partner;
        after = g_app.social.last_message_id;
        opened = g_app.social.conversation_opens;
    }
    // One fetch at a time: on a slow service the page's timer would stack them.
    if (!partner.empty())
        StartGuardedWorker(g_app.flags.conversation_busy, ConversationWorker, partner, after, opened);
}

namespace {

void StoreConversationReply(const std::string& partner, uint32_t opened, const std::string& reply)
{
    const std::vector<std::string> objects = JsonGetObjectArray(reply, "messages");
    std::lock_guard<std::mutex> g(g_app.social.lock);
    SocialState& s = g_app.social;
    // Asked for another conversation, or for this one before it was opened
    // anew (its marker then was past history never fetched since): dropped.
    if (s.chat_partner != partner || s.conversation_opens != opened)
        return;
    for (const std::string& o : objects) {
        DirectMessage m;
        JsonGetInt(o, "id", m.id);
        JsonGetBool(o, "mine", m.mine);
        m.body = JsonGetString(o, "body");
        // Overlapping fetches (the periodic one and the one after a send)
        // can both bring the same message: one copy is kept.
        if (m.id != 0) {
            // Ids come in rising order, so this is an append but for a stray one.
            std::vector<int32_t>& ids = s.conversation_ids;
            const auto at = std::lower_bound(ids.begin(), ids.end(), m.id);
            if (at != ids.end() && *at == m.id)
                continue;
            ids.insert(at, m.id);
        }
        if (m.id > s.last_message_id)
            s.last_message_id = m.id;
        s.conversation.push_back(std::move(m));
        s.conversation_changes++;
    }
}

} // namespace

void ConversationWorker(std::string partner, int32_t after_id, uint32_t opened)
{
    std::string reply;
    if (PostWithToken(L"/messages/conversation",
                      "\"gamertag\":\"" + JsonEscape(partner) + "\",\"after_id\":" + std::to_string(after_id), reply))
        StoreConversationReply(partner, opened, reply);
    g_app.flags.conversation_busy.store(false);
}

bool SendDirectMessage(const std::string& text)
{
    std::string partner;
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        partner = g_app.social.chat_partner;
    }
    if (partner.empty() || text.empty())
        return false;
    g_app.flags.message_send.store(SendRunning);
    StartWorker(SendMessageWorker, partner, text);
    return true;
}

void SendMessageWorker(std::string partner, std::string text)
{
    std::string reply;
    const bool answered = PostWithToken(
        L"/messages/send", "\"gamertag\":\"" + JsonEscape(partner) + "\",\"text\":\"" + JsonEscape(text) + "\"", reply);
    bool ok = false;
    if (answered)
        JsonGetBool(reply, "ok", ok);
    std::string failure;
    if (!answered)
        failure = "Message not sent: can't reach the server.";
    else if (!ok)
        failure = "Message not sent: " + (JsonGetString(reply, "error").empty() ? std::string("something went wrong.")
                                                                                 : JsonGetString(reply, "error"));
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        if (g_app.social.chat_partner == partner)
            g_app.social.send_status = failure;
    }
    g_app.flags.message_send.store(ok ? SendDelivered : SendFailed);
    FetchConversation();
}

// One poll; the caller holds no lock. The counts belong to the session they
// were fetched with: another token starts afresh (unprimed), and a reply that
// arrives after the token changed is dropped.
static void PollThreads()
{
    std::string token;
    {
        std::lock_guard<std::mutex> g(g_app.account.lock);
        token = g_app.account.token;
    }
    PollerState& p = g_app.poller;
    {
        std::lock_guard<std::mutex> g(p.lock);
        if (p.counts_token != token) {
            p.threads_primed.store(false);
            p.unread_counts.clear();
            p.counts_token = token;
        }
    }
    if (token.empty())
        return;
    std::string reply;
    if (!HttpPostJson(kAccountPort, L"/messages/threads", "{\"token\":\"" + JsonEscape(token) + "\"}", reply))
        return;
    const std::vector<std::string> threads = JsonGetObjectArray(reply, "threads");
    std::string partner;
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        partner = g_app.social.chat_partner;
    }
    const int32_t page = g_app.flags.shown_page.load();
    std::lock_guard<std::mutex> g(p.lock);
    // Held while the counts are applied, so a sign-out or sign-in cannot slip
    // in between the check and the toasts.
    std::lock_guard<std::mutex> account(g_app.account.lock);
    if (g_app.account.token != token || p.counts_token != token)
        return;
    const bool primed = p.threads_primed.load();
    for (const std::string& o : threads) {
        const std::string tag = JsonGetString(o, "gamertag");
        if (tag.empty())
            continue;
        int32_t unread = 0;
        JsonGetInt(o, "unread", unread);
        UnreadCount* seen = nullptr;
        for (UnreadCount& c : p.unread_counts)
            if (c.gamertag == tag)
                seen = &c;
        const int32_t previous = seen ? seen->unread : 0;
        if (primed && unread > previous && !(page == PageMessages && tag == partner))
            PushToast(tag, JsonGetString(o, "last"), 4.8f);
        if (seen)
            seen->unread = unread;
        else
            p.unread_counts.push_back(UnreadCount{tag, unread});
    }
    p.threads_primed.store(true);
    ApplyInvites(reply);
}

void MessageThreadsPoller()
{
    while (g_app.flags.api_once.load()) {
        PollThreads();
        for (int i = 0; i < 50 && g_app.flags.api_once.load(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool StartMessagePoller()
{
    return StartGuardedWorker(g_app.flags.api_once, MessageThreadsPoller);
}

void StopMessagePoller()
{
    g_app.flags.api_once.store(false);
}
