#include "backend/invites.h"

#include "backend/friends.h"
#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/rooms.h"
#include "state/app_state.h"
#include "state/worker.h"

#include <algorithm>

static std::string InviteKey(const std::string& from, const std::string& code)
{
    return from + "/" + code;
}

static bool Holds(const std::vector<std::string>& keys, const std::string& key)
{
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

void StartInvite(const std::string& gamertag)
{
    std::string code;
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        code = g_app.room.room_code;
    }
    if (gamertag.empty() || code.empty() || g_app.flags.room_state.load() != RoomIn)
        return;
    StartWorker(InviteWorker, gamertag, code);
}

void InviteWorker(std::string gamertag, std::string code)
{
    std::string token;
    const std::string status = PostSocialAction(
        L"/invites/send", "\"gamertag\":\"" + JsonEscape(gamertag) + "\",\"code\":\"" + JsonEscape(code) + "\"", token);
    {
        // Signed out (or in as someone else) meanwhile: the next player never sees it.
        std::lock_guard<std::mutex> account(g_app.account.lock);
        if (token.empty() || g_app.account.token != token)
            return;
        std::lock_guard<std::mutex> g(g_app.social.lock);
        g_app.social.friend_status = status;
    }
    RefreshFriends();
}

// Out of the list now; kept out until the service stops reporting it.
static void Dismiss(const RoomInvite& invite)
{
    std::lock_guard<std::mutex> g(g_app.social.lock);
    SocialState& s = g_app.social;
    const std::string key = InviteKey(invite.from, invite.code);
    if (!Holds(s.invites_dismissed, key))
        s.invites_dismissed.push_back(key);
    s.invites.erase(std::remove_if(s.invites.begin(), s.invites.end(),
                                   [&](const RoomInvite& i) { return InviteKey(i.from, i.code) == key; }),
                    s.invites.end());
}

void JoinInvite(const RoomInvite& invite)
{
    if (invite.code.empty() || g_app.flags.room_state.load() == RoomBusy)
        return;
    Dismiss(invite);
    StartRoomOp({.mode = RoomOpJoin, .code = invite.code});
    NavigateTo(PageMatchmaking);
}

void DeclineInvite(const RoomInvite& invite)
{
    Dismiss(invite);
    StartWorker(DeclineInviteWorker, invite.from);
}

void DeclineInviteWorker(std::string from)
{
    std::string reply;
    PostWithToken(L"/invites/decline", "\"gamertag\":\"" + JsonEscape(from) + "\"", reply);
}

void ApplyInvites(const std::string& threads_reply)
{
    std::vector<RoomInvite> live;
    std::vector<std::string> reported;
    std::vector<std::pair<std::string, std::string>> toasts;
    std::lock_guard<std::mutex> g(g_app.social.lock);
    SocialState& s = g_app.social;
    for (const std::string& o : JsonGetObjectArray(threads_reply, "invites")) {
        RoomInvite i;
        i.from = JsonGetString(o, "gamertag");
        i.code = JsonGetString(o, "code");
        i.room = JsonGetString(o, "room");
        const std::string state = JsonGetString(o, "state");
        i.full = state == "full";
        const std::string key = InviteKey(i.from, i.code);
        if (i.from.empty() || i.code.empty())
            continue;
        reported.push_back(key);
        if (Holds(s.invites_dismissed, key))
            continue;
        if (state == "closed") {
            // Said once by the service; only worth a word if the player saw the invite.
            if (Holds(s.invites_seen, key))
                toasts.push_back({"Invite from " + i.from, "That room has closed."});
            continue;
        }
        if (!Holds(s.invites_seen, key))
            // Where to answer it: invites live in the friends section of the profile.
            toasts.push_back({"Invite from " + i.from, (i.room.empty() ? std::string("Their room") : i.room) +
                                                           " - open the menu, then View profile, to join."});
        live.push_back(std::move(i));
    }
    // Only what the service still reports stays remembered: the lists stay small.
    std::vector<std::string> seen, dismissed;
    for (const RoomInvite& i : live)
        seen.push_back(InviteKey(i.from, i.code));
    for (const std::string& key : s.invites_dismissed)
        if (Holds(reported, key))
            dismissed.push_back(key);
    s.invites.swap(live);
    s.invites_seen.swap(seen);
    s.invites_dismissed.swap(dismissed);
    for (const auto& [title, text] : toasts)
        PushToast(title, text, 4.8f);
}
