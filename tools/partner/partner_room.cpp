#include "partner_room.h"

#include "backend/account.h"
#include "backend/player_name.h"
#include "backend/click_sounds.h"
#include "backend/client_frame.h"
#include "platform/platform.h"
#include "backend/friends.h"
#include "backend/invites.h"
#include "backend/messages.h"
#include "backend/lobby_chat.h"
#include "backend/ready.h"
#include "backend/rooms.h"
#include "backend/saved_room.h"
#include "backend/settings.h"
#include "link/peer_link.h"
#include "link/role_file.h"
#include "mirror.h"
#include "state/app_state.h"
#include "state/config.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <unistd.h>

const char* const kRoomUsage =
    "       kestrel-partner [--guest | --user NAME --password PASS [--signup --gamertag TAG --email ADDR]]\n"
    "                       [--quickmatch | --create NAME [--private] | --join CODE | --rejoin]\n"
    "                       [--ready] [--say TEXT]... [--dir DIR] [--mirror] [--game-files] [--host ADDR]\n"
    "                       [--pin SHA256] [--for SECONDS] [--friend TAG]... [--accept-all] [--message TAG TEXT]...\n"
    "                       [--invite TAG]... [--accept-invite | --decline-invite]\n";

bool ParseRoomOptions(int argc, char** argv, int first, RoomOptions& o, std::string& error)
{
    int ways = 0;
    for (int i = first; i < argc; i++) {
        const std::string flag = argv[i];
        if (flag == "--guest") continue;
        if (flag == "--signup") { o.signup = true; continue; }
        if (flag == "--quickmatch") { o.quickmatch = true; ways++; continue; }
        if (flag == "--rejoin") { o.rejoin = true; ways++; continue; }
        if (flag == "--private") { o.create_private = true; continue; }
        if (flag == "--ready") { o.ready = true; continue; }
        if (flag == "--mirror") { o.mirror = true; continue; }
        if (flag == "--game-files") { o.game_files = true; continue; }
        if (flag == "--accept-all") { o.accept_all = true; continue; }
        if (flag == "--accept-invite") { o.accept_invite = true; continue; }
        if (flag == "--decline-invite") { o.decline_invite = true; continue; }
        if (flag == "--message") {
            if (i + 2 >= argc) {
                error = "--message takes a gamertag and a text";
                return false;
            }
            o.messages.push_back({argv[i + 1], argv[i + 2]});
            i += 2;
            continue;
        }
        if (i + 1 >= argc) {
            error = "missing value after " + flag;
            return false;
        }
        const std::string value = argv[++i];
        if (flag == "--user") o.user = value;
        else if (flag == "--password") o.password = value;
        else if (flag == "--gamertag") o.gamertag = value;
        else if (flag == "--email") o.email = value;
        else if (flag == "--create") { o.create_name = value; ways++; }
        else if (flag == "--join") { o.join_code = value; ways++; }
        else if (flag == "--say") o.say.push_back(value);
        else if (flag == "--friend") o.befriend.push_back(value);
        else if (flag == "--invite") o.invite.push_back(value);
        else if (flag == "--dir") o.dir = value;
        else if (flag == "--host") o.host = value;
        else if (flag == "--pin") { o.pin = value; o.pin_set = true; }
        else if (flag == "--for" && atof(value.c_str()) > 0) o.seconds = atof(value.c_str());
        else {
            error = "bad option " + flag + " " + value;
            return false;
        }
    }
    if (ways > 1) {
        error = "say at most one of --quickmatch, --create NAME, --join CODE or --rejoin";
        return false;
    }
    if ((!o.befriend.empty() || o.accept_all || !o.messages.empty() || !o.invite.empty() || o.accept_invite ||
         o.decline_invite) &&
        o.user.empty()) {
        error = "friends, messages and invites need an account (--user)";
        return false;
    }
    if (o.signup && (o.user.empty() || o.password.empty() || o.gamertag.empty() || o.email.empty())) {
        error = "--signup needs --user, --password, --gamertag and --email";
        return false;
    }
    if (!o.user.empty() && o.password.empty()) {
        error = "--user needs --password";
        return false;
    }
    return true;
}

static void Say(const char* fmt, const std::string& a = "", const std::string& b = "", const std::string& c = "")
{
    printf(fmt, a.c_str(), b.c_str(), c.c_str());
    printf("\n");
    fflush(stdout);
}

void SayRelayChange(std::string& shown)
{
    const std::string relay = LinkRelay();
    if (relay.empty() || relay == shown)
        return;
    shown = relay;
    Say("relay %s", relay);
}

static const char* SoundName(const uint8_t* image)
{
    if (image && !SoundConfirm.empty() && image == SoundConfirm.data())
        return "confirm";
    if (image && !SoundBack.empty() && image == SoundBack.data())
        return "back";
    if (image && !SoundTick.empty() && image == SoundTick.data())
        return "tick";
    return nullptr;
}

// What the friend list showed last, to print changes.
struct SocialView
{
    std::vector<std::string> friends, incoming;
    std::vector<std::string> presence;    // "TAG presence" per friend, as last printed
    std::set<std::string> invites_shown;  // "TAG/CODE"
    bool invite_answered = false;
    std::set<std::string> answered; // requests accepted already
    int budget = 0;                  // accepts left until the next poll
    bool settled = false;            // every request shown is answered
    std::string status;
    double next_refresh = 0;
};

// A hostile list of thousands of requests must not become thousands of
// workers at once: each poll of the list answers a few, the next poll more.
static const int kAcceptsPerPoll = 8;

// Prints friends' presence changes and invites; takes up or turns down the first invite.
static void InviteStep(SocialView& v, const RoomOptions& o)
{
    std::vector<std::string> presence;
    std::vector<RoomInvite> invites;
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        for (size_t i = 0; i < g_app.social.friends.size() && i < g_app.social.friend_presence.size(); i++) {
            const FriendPresence& p = g_app.social.friend_presence[i];
            presence.push_back(g_app.social.friends[i] + " " + (p.presence.empty() ? "offline" : p.presence) +
                               (p.room_code.empty() ? "" : " " + p.room_code) + (p.invited ? " invited" : ""));
        }
        invites = g_app.social.invites;
    }
    if (presence != v.presence) {
        v.presence = presence;
        for (const std::string& line : presence)
            Say("presence: %s", line);
    }
    for (const RoomInvite& i : invites)
        if (v.invites_shown.insert(i.from + "/" + i.code).second)
            Say("invite from: %s, room %s%s", i.from, i.code, i.full ? " (full)" : "");
    if (invites.empty() || v.invite_answered || !(o.accept_invite || o.decline_invite))
        return;
    v.invite_answered = true;
    if (o.accept_invite) {
        Say("invite taken: %s", invites[0].from);
        JoinInvite(invites[0]);
    } else {
        Say("invite declined: %s", invites[0].from);
        DeclineInvite(invites[0]);
    }
}

static void SocialStep(SocialView& v, bool accept_all, double now_s)
{
    if (now_s >= v.next_refresh) {
        v.next_refresh = now_s + 1.0;
        v.budget = kAcceptsPerPoll;
        RefreshFriends();
    }
    std::vector<std::string> friends, incoming;
    std::string status;
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        friends = g_app.social.friends;
        incoming = g_app.social.incoming_requests;
        status = g_app.social.friend_status;
    }
    if (friends != v.friends) {
        v.friends = friends;
        std::string list;
        for (const std::string& f : friends)
            list += (list.empty() ? "" : ", ") + f;
        Say("friends: %s", list);
    }
    if (incoming != v.incoming) {
        const std::set<std::string> known(v.incoming.begin(), v.incoming.end());
        int shown = 0, more = 0;
        for (const std::string& tag : incoming)
            if (!known.count(tag))
                ++shown <= kAcceptsPerPoll ? Say("friend request from: %s", tag) : (void)more++;
        if (more > 0)
            Say("friend requests: %s more", std::to_string(more));
        v.incoming = incoming;
        v.settled = false;
    }
    if (accept_all && v.budget > 0 && !v.settled) {
        for (const std::string& tag : v.incoming) {
            if (v.budget == 0)
                break;
            if (v.answered.insert(tag).second) {
                StartFriendAction(L"/friends/respond", tag, true, true);
                v.budget--;
            }
        }
        v.settled = v.budget > 0;
    }
    if (status != v.status) {
        v.status = status;
        if (!status.empty())
            Say("friend action: %s", status);
    }
}

// One turn of the client frame, as the overlay runs it every frame.
static ClientFrameResult Frame(ClientFrameState& frame, std::chrono::steady_clock::time_point t0)
{
    const double now_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return ClientFrame(frame, now_s, SteadyNowNs());
}

static bool SignIn(const RoomOptions& o, volatile int& stop, ClientFrameState& frame,
                   std::chrono::steady_clock::time_point t0)
{
    if (o.user.empty()) {
        ContinueAsGuest();
        Say("signed in: guest %s", PlayerName());
        return true;
    }
    StartSignIn(o.signup, o.user, o.password, o.gamertag, o.email);
    // The frame takes the finished sign-in over, as it does in the game.
    while (!stop) {
        if (Frame(frame, t0).signed_in) {
            Say(o.signup ? "signed up: %s" : "signed in: %s", PlayerName());
            return true;
        }
        if (g_app.flags.auth_status.load() == AuthFailed) {
            std::lock_guard<std::mutex> g(g_app.account.lock);
            Say("sign-in failed: %s", g_app.account.auth_message);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int RunRoom(const RoomOptions& o, volatile int& stop)
{
    namespace fs = std::filesystem;
    const std::string dir = o.dir.empty() ? (fs::temp_directory_path() / ("kestrel-partner-" + std::to_string(getpid()))).string() : o.dir;
    std::error_code ec;
    fs::create_directories(fs::path(dir) / "reframework" / "data", ec);
    fs::current_path(dir, ec);
    if (ec) {
        fprintf(stderr, "kestrel-partner: cannot enter %s: %s\n", dir.c_str(), ec.message().c_str());
        return 1;
    }
    if (!o.host.empty())
        OverrideBackendHost(o.host);
    if (o.pin_set) // HTTPS to the key with this pin; "" = plain HTTP
        OverrideBackendPin(o.pin);
    BuildClickSounds();
    ClientFrameState frame;
    const auto t0 = std::chrono::steady_clock::now();
    if (!SignIn(o, stop, frame, t0))
        return 1;

    if (o.quickmatch)
        StartRoomOp({.mode = RoomOpQuickmatch});
    else if (!o.join_code.empty())
        StartRoomOp({.mode = RoomOpJoin, .code = o.join_code});
    else if (!o.create_name.empty())
        StartRoomOp({.mode = RoomOpCreate, .name = o.create_name, .visibility = o.create_private ? 1u : 0u});
    else if (o.rejoin) {
        std::string code;
        if (!RejoinOffer(code)) {
            Say("rejoin: no room to rejoin");
            return 1;
        }
        Say("rejoin: %s", code);
        RejoinSavedRoom();
    }
    if (!o.user.empty())
        StartMessagePoller();
    for (const std::string& tag : o.befriend) {
        StartFriendAction(L"/friends/add", tag, false, false);
        Say("friend request: %s", tag);
    }
    for (const auto& [tag, text] : o.messages) {
        SendMessageWorker(tag, text); // blocking is fine here: no frame to keep
        Say("message to %s: %s", tag, text);
    }
    SocialView social;

    MirrorState mirror;
    int32_t chat_printed = 0; // the id of the last line printed (the list keeps only the newest lines)
    bool in_room = false, readied = false, said = false, started = false, link_up = false, refused_plain = false;
    bool reconnecting = false, partner_away = false;
    std::set<std::string> invited;
    std::string partner, room_shown, relay_shown;
    int exit_code = 0;
    auto next_stats = t0, next_game_files = t0;
    int game_tick = 0;
    while (!stop) {
        const auto now = std::chrono::steady_clock::now();
        const double now_s = std::chrono::duration<double>(now - t0).count();
        if (o.seconds > 0 && now_s >= o.seconds)
            break;

        Frame(frame, t0);
        char role = 0;
        std::string code, partner_now, error;
        {
            std::lock_guard<std::mutex> g(g_app.room.lock);
            role = g_app.room.room_role;
            code = g_app.room.room_code;
            partner_now = g_app.room.room_partner;
            error = g_app.room.room_error;
        }

        const int32_t state = g_app.flags.room_state.load();
        if (state == RoomIn && (!in_room || code != room_shown)) {
            in_room = true;
            room_shown = code;
            Say("room: %s, role %s", code, std::string(1, role));
        }
        // Each invite goes out once, as soon as that player is a friend.
        if (in_room && invited.size() < o.invite.size()) {
            std::vector<std::string> friends;
            {
                std::lock_guard<std::mutex> g(g_app.social.lock);
                friends = g_app.social.friends;
            }
            for (const std::string& tag : o.invite)
                if (!invited.count(tag) && std::find(friends.begin(), friends.end(), tag) != friends.end()) {
                    invited.insert(tag);
                    StartInvite(tag);
                    Say("invite to: %s", tag);
                }
        }
        if (state == RoomFailed) {
            Say(in_room ? "room closed: %s" : "room failed: %s", error);
            exit_code = in_room ? 0 : 1;
            break;
        }
        if (in_room && o.ready && !readied) {
            readied = true;
            SetReady(true);
            Say("ready");
        }
        if (in_room && !said && g_app.chat.chat_primed.load()) {
            said = true;
            for (const std::string& line : o.say) {
                SendChat(line);
                Say("said: %s", line);
            }
        }
        if (partner_now != partner) {
            partner = partner_now;
            Say(partner.empty() ? "partner left" : "partner joined: %s", partner);
        }
        if (g_app.room.reconnecting.load() != reconnecting) {
            reconnecting = !reconnecting;
            Say(reconnecting ? "reconnecting" : "reconnected");
        }
        if (g_app.room.partner_away.load() != partner_away) {
            partner_away = !partner_away;
            Say(partner_away ? "partner away" : "partner back");
        }
        if (g_app.flags.room_started.load() != started) {
            started = !started;
            Say(started ? "started" : "not started");
        }
        if (LinkRefusedPlain() != refused_plain) {
            refused_plain = !refused_plain;
            Say(refused_plain ? "link refused: the partner cannot seal" : "link no longer refused");
        }
        if (g_app.flags.link_running.load() != link_up) {
            link_up = !link_up;
            Say(link_up ? "link up" : "link down");
        }
        SayRelayChange(relay_shown);
        if (link_up && now >= next_stats) {
            next_stats = now + std::chrono::seconds(1);
            const int rtt = LinkRttMs(), loss = LinkLossPercent();
            Say("link: rtt %s ms, loss %s %%", rtt < 0 ? "--" : std::to_string(rtt),
                loss < 0 ? "--" : std::to_string(loss));
            Say("link: %s", SyncHealthLine());
        }
        {
            std::lock_guard<std::mutex> g(g_app.chat.lock);
            for (const ChatMessage& m : g_app.chat.chat_messages)
                if (m.id > chat_printed) {
                    chat_printed = m.id;
                    Say("chat %s (%s): %s", m.name, m.role, m.body);
                }
        }
        for (const Toast& t : TakeToasts())
            Say("toast: %s: %s", t.title, t.text);
        for (const RecordedSound& s : TakeRecordedSounds())
            if (const char* name = SoundName(s.image))
                Say("sound: %s", name);
        if (o.mirror)
            MirrorPartnerFiles(mirror, role == 'B' ? 2 : 1);
        if (o.game_files && link_up && now >= next_game_files) {
            next_game_files = now + std::chrono::milliseconds(100);
            WriteOwnGameFiles(role == 'B' ? 2 : 1, game_tick++);
        }
        if (!o.user.empty())
            SocialStep(social, o.accept_all, now_s);
        if (!o.user.empty())
            InviteStep(social, o);
        std::this_thread::sleep_for(std::chrono::milliseconds(16));
    }
    if (g_app.flags.room_state.load() == RoomIn || g_app.flags.room_state.load() == RoomBusy) {
        LeaveRoom();
        Say("left room");
    }
    UpdateRoleFile(frame.role_file, 0, false);
    StopMessagePoller();
    // The leave request and the link's last turn are detached: give them a moment.
    for (int i = 0; i < 100 && g_app.flags.link_running.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return exit_code;
}
