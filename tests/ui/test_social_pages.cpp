// Profile, Friends and Messages as a player meets them: the account card and
// verification through the real service, friends and a conversation with
// kestrel-partner on the other side, and what the buttons send.
#include "page_fixture.h"

#include "backend/messages.h"
#include "ui/ui_state.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

constexpr uint32_t kVkReturn = 0x0D;

class SocialPages : public PageUi
{
protected:
    static ImGuiWindow* ContentView()
    {
        for (ImGuiWindow* w : GImGui->Windows)
            if (strstr(w->Name, "/content_") && w->Active)
                return w;
        return nullptr;
    }
    static ImGuiWindow* ChatView()
    {
        for (ImGuiWindow* w : GImGui->Windows)
            if (strstr(w->Name, "chatscroll") && w->Active)
                return w;
        return nullptr;
    }
    static size_t Lines()
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        return g_app.social.conversation.size();
    }
    // Waits for `count` lines, then lets the view settle.
    static bool LinesReach(size_t count)
    {
        const bool ok = DriverRunUntil([count] { return Lines() >= count; });
        DriverFrame(3);
        return ok;
    }
    static void SignedInWithToken(const char* token)
    {
        std::lock_guard<std::mutex> g(g_app.account.lock);
        g_app.account.token = token;
        g_app.account.gamertag = g_app.account.username = "nova";
        g_app.account.is_guest = false;
    }
};

TEST_F(SocialPages, ProfileShowsTheGuestFaceOrTheAccountCard)
{
    StartIn(true);
    g_app.shell.current_page = PageProfile;
    OpenMenu();
    EXPECT_TRUE(Shows("Guest Profile"));
    EXPECT_TRUE(Shows("You're playing as a guest."));
    EXPECT_FALSE(Shows("NOTIFICATIONS")) << "no friends section for a guest";
    EXPECT_FALSE(Shows("Email not verified") || Shows("Email verified")) << "no account card";
    g_app.flags.auth_status = AuthFailed;
    ASSERT_TRUE(DriverClick("Go to Sign In"));
    Fade();
    EXPECT_EQ(g_app.shell.current_page, PageSignIn);
    EXPECT_EQ(g_app.flags.auth_status.load(), AuthIdle);

    ASSERT_TRUE(SignUpHere("nova", "Nova"));
    g_app.shell.current_page = PageProfile;
    DriverFrame(2);
    for (const char* text : {"Nova", "@nova   -   player", "Email not verified", "NOTIFICATIONS (0)"})
        EXPECT_TRUE(Shows(text)) << text << "\n" << DriverText();
    ASSERT_TRUE(DriverClick("Resend verification email"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Verification email sent - check your inbox."); }));
    // The service may answer before the next frame, so the request out is set here.
    g_app.flags.request_status = RequestSending;
    DriverFrame();
    EXPECT_TRUE(Shows("Sending...")) << DriverText();
    EXPECT_FALSE(Shows("Verification email sent - check your inbox."));
    g_app.flags.request_status = RequestDone;

    // Verified, with no gamertag, login name or role to show.
    {
        std::lock_guard<std::mutex> g(g_app.account.lock);
        g_app.account.email_verified = true;
        g_app.account.gamertag.clear();
        g_app.account.username.clear();
        g_app.account.role.clear();
    }
    DriverFrame(2);
    EXPECT_TRUE(Shows("Email verified"));
    EXPECT_TRUE(Shows("@-   -   user"));
    EXPECT_TRUE(Shows("Nova")) << "the shown name stands in for the gamertag";
    EXPECT_EQ(DriverFind("Resend verification email"), nullptr);
}

TEST_F(SocialPages, FriendsAndAConversationWithThePartner)
{
    StartIn(true);
    ASSERT_NE(SignUpPartner("kes", "Kes").find("signed up: Kes"), std::string::npos);
    ASSERT_NE(SignUpPartner("rex", "Rex").find("signed up: Rex"), std::string::npos);
    ASSERT_TRUE(SignUpHere("nova", "Nova"));
    const pid_t kes = StartPartner("Kes", {"--user", "kes", "--password", kTestPassword, "--accept-all"}, "60");
    g_app.shell.current_page = PageFriends;
    OpenMenu();
    EXPECT_TRUE(Shows("NOTIFICATIONS (0)"));
    EXPECT_TRUE(Shows("No friends yet. Add someone by their gamertag above."));

    // Asked by gamertag; the partner accepts.
    ASSERT_TRUE(DriverClick("##addf"));
    DriverType("Kes");
    ASSERT_TRUE(DriverClick("Add"));
    EXPECT_EQ(g_ui.add_friend[0], 0);
    ASSERT_TRUE(DriverRunUntil([] { return DriverFind("Message") != nullptr; }, 20.0)) << DriverText();
    StopProgram(kes);

    // Asked by Rex: a notification, accepted here.
    Partner("Rex", {"--user", "rex", "--password", kTestPassword, "--friend", "Nova"});
    ASSERT_TRUE(DriverRunUntil([] { return Shows("NOTIFICATIONS (1)"); }, 20.0));
    EXPECT_TRUE(Shows("wants to be friends"));
    ASSERT_TRUE(DriverClick("Accept"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("NOTIFICATIONS (0)") && Shows("Rex"); }, 20.0));

    // Message, from the profile scrolled down to its friends, opens the
    // conversation at its top with an empty compose line.
    NavigateTo(PageProfile);
    Fade();
    ImGuiWindow* content = ContentView();
    ASSERT_NE(content, nullptr);
    DriverWheelAt(content->InnerRect.GetCenter(), -40.0f);
    ASSERT_GT(content->Scroll.y, 0.0f) << "the profile is taller than its area";
    snprintf(g_app.social.compose, sizeof(g_app.social.compose), "draft");
    ASSERT_TRUE(DriverClick("Message")); // Kes: the first friend
    Fade();
    ASSERT_EQ(g_app.shell.current_page, PageMessages);
    EXPECT_EQ(content->Scroll.y, 0.0f);
    const DriverItem* back = DriverFind("  < Back to Friends");
    ASSERT_NE(back, nullptr);
    EXPECT_GE(back->rect.Min.y, content->InnerRect.Min.y) << "the way back is whole";
    EXPECT_TRUE(Shows("Kes"));
    EXPECT_EQ(g_app.social.compose[0], 0);
    EXPECT_TRUE(Shows("No messages yet. Say hi!"));

    ASSERT_TRUE(DriverClick("##chatin"));
    DriverType("hello kes");
    DriverKey(kVkReturn);
    EXPECT_TRUE(DriverRunUntil([] { return g_app.social.compose[0] == 0; })) << "once it arrived";
    Partner("Kes", {"--user", "kes", "--password", kTestPassword, "--message", "Nova", "hi nova"});
    ASSERT_TRUE(LinesReach(2));
    EXPECT_TRUE(Shows("hello kes"));
    EXPECT_TRUE(Shows("hi nova"));
    ImGuiWindow* view = ChatView();
    ASSERT_NE(view, nullptr);
    const ImRect own = DrawnBox("chatscroll", ColAccentHover), theirs = DrawnBox("chatscroll", ColText);
    ASSERT_TRUE(Drawn(own) && Drawn(theirs));
    EXPECT_GT(own.Min.x, theirs.Max.x) << "own lines at the right";
    EXPECT_NEAR(own.Max.x, view->InnerRect.Max.x - view->WindowPadding.x - 16.0f, 3.0f);
    EXPECT_LT(theirs.Min.x, view->InnerRect.Min.x + view->WindowPadding.x + 3.0f);

    // A view at the bottom follows new lines; one scrolled up stays put.
    for (int i = 0; i < 24; i++)
        SendDirectMessage("line " + std::to_string(i));
    ASSERT_TRUE(LinesReach(26));
    ASSERT_GT(view->ScrollMax.y, 0.0f);
    EXPECT_EQ(view->Scroll.y, view->ScrollMax.y);
    const float before = view->ScrollMax.y;
    SendDirectMessage("one more");
    ASSERT_TRUE(LinesReach(27));
    EXPECT_GT(view->ScrollMax.y, before);
    EXPECT_EQ(view->Scroll.y, view->ScrollMax.y);
    DriverWheelAt(view->InnerRect.GetCenter(), 40.0f);
    EXPECT_EQ(view->Scroll.y, 0.0f);
    SendDirectMessage("while scrolled up");
    ASSERT_TRUE(LinesReach(28));
    EXPECT_EQ(view->Scroll.y, 0.0f);

    ASSERT_TRUE(DriverClick("  < Back to Friends"));
    Fade();
    EXPECT_EQ(g_app.shell.current_page, PageProfile);
}

// A scripted account port: exactly what each button sends.
TEST_F(SocialPages, TheButtonsSendTheirBodiesAndFetchesNeverStack)
{
    StartIn(false);
    std::atomic<bool> answer_fetch{true};
    ReleaseOnExit release{answer_fetch};
    SetMiniHttpHandler(account, [&answer_fetch](const MiniHttpRequest& r) {
        MiniHttpAnswer a;
        if (r.target == "/friends/list")
            a.body = R"({"ok":true,"friends":[{"gamertag":"Kes"}],"incoming":[{"gamertag":"Zed"}],)"
                     R"("outgoing":[{"gamertag":"Pip"}]})";
        else if (r.target == "/friends/add")
            a.body = R"({"ok":false,"error":"No player with that gamertag."})";
        else if (r.target == "/messages/conversation") {
            while (!answer_fetch.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            a.body = R"({"ok":true,"messages":[]})";
        } else
            a.body = R"({"ok":true})";
        return a;
    });
    g_app.shell.current_page = PageFriends;
    OpenMenu();
    EXPECT_TRUE(Shows("Sign in to add friends and send messages."));
    EXPECT_TRUE(Bodies("/friends/list").empty());

    SignedInWithToken("T");
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Pip  -  waiting"); })) << DriverText();
    EXPECT_TRUE(Shows("NOTIFICATIONS (1)"));
    EXPECT_TRUE(Shows("PENDING (SENT)"));
    ASSERT_TRUE(DriverClick("Add"));
    ASSERT_TRUE(DriverClick("Decline"));
    DriverWheelAt(DriverFind("Add")->rect.GetCenter(), -10.0f); // the list is below the fold
    ASSERT_TRUE(DriverClick("Remove"));
    ASSERT_TRUE(DriverRunUntil([this] { return Bodies("/friends/remove").size() == 1; }));
    EXPECT_TRUE(Bodies("/friends/add").empty()) << "an empty field sends nothing";
    EXPECT_EQ(Bodies("/friends/respond"), std::vector<std::string>{R"({"token":"T","gamertag":"Zed","accept":false})"});
    EXPECT_EQ(Bodies("/friends/remove"), std::vector<std::string>{R"({"token":"T","gamertag":"Kes"})"});
    snprintf(g_ui.add_friend, sizeof(g_ui.add_friend), "Nobody");
    ASSERT_TRUE(DriverClick("Add"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("No player with that gamertag."); }));
    EXPECT_TRUE(Drawn(DrawnBox("content", ColGold)));

    // A fetch that hangs: the page's timer starts no second one meanwhile.
    answer_fetch = false;
    OpenConversation("Kes");
    Fade();
    ASSERT_EQ(g_app.shell.current_page, PageMessages);
    ASSERT_TRUE(DriverRunUntil([this] { return Bodies("/messages/conversation").size() == 1; }));
    DriverFrame(400); // more than six 1.5 s periods
    // The first ends with no frame drawn meanwhile, so the page's timer can
    // start no new fetch: a second one now would have been started while the
    // first hung (the service answers one request at a time, so a stacked
    // request reaches it only now).
    answer_fetch = true;
    for (int i = 0; i < 1000 && g_app.flags.conversation_busy.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(g_app.flags.conversation_busy.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Bodies("/messages/conversation").size(), 1u);
    ASSERT_TRUE(DriverRunUntil([this] { return Bodies("/messages/conversation").size() == 2; }))
        << "the timer fetches again once the first has ended";
}

// A message the service did not take stays in the line to send again; a
// gamertag as long as gamertags go can be added.
TEST_F(SocialPages, AFailedMessageKeepsItsDraftAndLongGamertagsCanBeAdded)
{
    StartIn(false);
    std::atomic<bool> refuse{true};
    SetMiniHttpHandler(account, [&refuse](const MiniHttpRequest& r) {
        MiniHttpAnswer a;
        a.body = "{\"ok\":true}";
        if (r.target == "/messages/send" && refuse.load())
            a.body = "{\"ok\":false,\"error\":\"You can only message friends.\"}";
        return a;
    });
    SignedInWithToken("T");
    // With no conversation open the page points to where friends are.
    g_app.shell.current_page = PageMessages;
    OpenMenu();
    EXPECT_TRUE(Shows("Open a friend from the Profile page to chat."));
    ASSERT_TRUE(DriverClick("  < Back to Friends"));
    Fade();
    EXPECT_TRUE(Shows("FRIENDS")) << DriverText();
    OpenConversation("Xav");
    Fade();
    ASSERT_TRUE(DriverClick("##chatin"));
    DriverType("see you at the bridge");
    ASSERT_TRUE(DriverClick("Send"));
    ASSERT_TRUE(DriverRunUntil([] { return Shows("Message not sent: You can only message friends."); })) << DriverText();
    EXPECT_STREQ(g_app.social.compose, "see you at the bridge");
    refuse = false;
    ASSERT_TRUE(DriverClick("Send"));
    ASSERT_TRUE(DriverRunUntil([] { return g_app.social.compose[0] == 0; }));
    EXPECT_FALSE(Shows("Message not sent"));
    EXPECT_EQ(Bodies("/messages/send").size(), 2u);

    const std::string tag(63, 'k');
    g_app.shell.current_page = PageFriends;
    DriverFrame(2);
    ASSERT_TRUE(DriverClick("##addf"));
    DriverType(tag);
    ASSERT_TRUE(DriverClick("Add"));
    ASSERT_TRUE(DriverRunUntil([this] { return !Bodies("/friends/add").empty(); }));
    EXPECT_EQ(Bodies("/friends/add")[0], "{\"token\":\"T\",\"gamertag\":\"" + tag + "\"}");
}

} // namespace


namespace {

class FriendRowsUi : public SocialPages
{
protected:
    void SetUp() override
    {
        SocialPages::SetUp();
        StartIn(false); // a scripted account port answers the friend actions
        SetMiniHttpHandler(account, [](const MiniHttpRequest&) {
            MiniHttpAnswer a;
            a.body = R"({"ok":true})";
            return a;
        });
        SignedInWithToken("T");
        std::lock_guard<std::mutex> g(g_app.social.lock);
        g_app.social.friends = {"Kes", "Rex", "Zed"};
        g_app.social.friend_presence = {{"in_room", "QX7K2P", false}, {"online", "", false}, {"", "", false}};
        g_app.social.incoming_requests = {"Pip"};
        g_app.social.invites = {RoomInvite{"Ana", "AB12C", "Ana's den", false}};
        g_ui.last_friends_refresh = 1e9; // the lists above stay as set
    }
    // Every item of the last frame showing `label`.
    static std::vector<const DriverItem*> All(const std::string& label)
    {
        std::vector<const DriverItem*> out;
        for (const DriverItem& i : DriverItems())
            if (i.label.substr(0, i.label.find("##")) == label)
                out.push_back(&i);
        return out;
    }
};

} // namespace

// The small row buttons lay their labels inside their boxes at every font
// size, centred on their row and clear of the scrollbar; and while a session
// runs, a friend's or an invite's Join asks before it leaves anything.
TEST_F(FriendRowsUi, RowButtonsHoldTheirLabelsAndJoinAsksFirstWhileLinked)
{
    g_app.shell.current_page = PageFriends;
    OpenMenu();
    for (const float scale : {1.0f, 1.4f, 0.8f}) {
        ImGui::GetIO().FontGlobalScale = scale;
        DriverFrame(2);
        const ImGuiWindow* content = nullptr;
        for (ImGuiWindow* w : GImGui->Windows)
            if (strstr(w->Name, "/content_") && w->Active)
                content = w;
        ASSERT_NE(content, nullptr);
        EXPECT_TRUE(content->ScrollbarY) << "a list long enough to scroll at " << scale;
        int checked = 0;
        for (const char* label : {"Accept", "Decline", "Join", "Message", "Remove"}) {
            for (const DriverItem* b : All(label)) {
                ASSERT_TRUE(b->has_label_rect) << label << " is a kit row button";
                const ImRect& box = b->rect;
                const ImRect& text = b->label_rect;
                EXPECT_TRUE(box.Contains(text)) << label << " at " << scale << ": label (" << text.Min.x << ","
                                                << text.Min.y << ")-(" << text.Max.x << "," << text.Max.y
                                                << ") box (" << box.Min.x << "," << box.Min.y << ")-(" << box.Max.x
                                                << "," << box.Max.y << ")";
                EXPECT_LE(box.Max.x, content->InnerClipRect.Max.x) << label << ": cut off by the scrollbar";
                EXPECT_NEAR(text.GetCenter().y, box.GetCenter().y, 1.0f) << label;
                checked++;
            }
        }
        EXPECT_EQ(checked, 2 + 2 + 1 + 3 + 3) << "request, invite, Kes's Join, three rows' Message and Remove";
        // One row's buttons share a line; Kes's row is the one with Join.
        const DriverItem* join_row = nullptr;
        for (const DriverItem* j : All("Join"))
            if (j->window.find("content") != std::string::npos && j->rect.Min.y > All("Accept")[0]->rect.Max.y)
                join_row = j;
        ASSERT_NE(join_row, nullptr);
        bool same_line = false;
        for (const DriverItem* m : All("Message"))
            same_line = same_line || m->rect.GetCenter().y == join_row->rect.GetCenter().y;
        EXPECT_TRUE(same_line) << "Join and Message of one row on one line";
    }
    ImGui::GetIO().FontGlobalScale = 1.0f;
    DriverFrame(2);

    // In a running session: each Join asks first; Stay keeps everything.
    g_app.flags.link_running = true;
    DriverWheelAt(DriverFind("Add")->rect.GetCenter(), -10.0f); // the friends are below the fold
    DriverFrame(2);
    const auto invite_join = [] { return All("Join").front(); }; // invites come first
    const auto friend_join = [] { return All("Join").back(); };
    DriverClickAt(friend_join()->rect.GetCenter());
    DriverFrame(2);
    EXPECT_TRUE(Shows("Joining another room ends the co-op session you are playing now.")) << DriverText();
    EXPECT_NE(DriverFind("Leave and join"), nullptr);
    EXPECT_EQ(g_app.flags.room_state.load(), RoomIdle) << "nothing started yet";
    ASSERT_TRUE(DriverClick("Stay"));
    DriverFrame(2);
    EXPECT_FALSE(Shows("Joining another room ends the co-op session you are playing now."));
    EXPECT_EQ(g_app.flags.room_state.load(), RoomIdle);
    EXPECT_EQ(g_app.shell.current_page, PageFriends);

    DriverWheelAt(DriverFind("Add")->rect.GetCenter(), 10.0f); // back up to the invites
    DriverFrame(2);
    DriverClickAt(invite_join()->rect.GetCenter());
    DriverFrame(2);
    ASSERT_TRUE(Shows("Joining another room ends the co-op session you are playing now."));
    ASSERT_TRUE(DriverClick("Leave and join"));
    EXPECT_NE(g_app.flags.room_state.load(), RoomIdle) << "the invite's room is joined";
    Fade();
    EXPECT_EQ(g_app.shell.current_page, PageMatchmaking);
    {
        std::lock_guard<std::mutex> g(g_app.social.lock);
        EXPECT_FALSE(g_app.social.invites_dismissed.empty()) << "the invite taken up is gone";
    }
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.room_state.load() != RoomBusy; }));

    // Not in a session: Join joins at once.
    g_app.flags.link_running = false;
    g_app.flags.room_state = RoomIdle;
    NavigateTo(PageFriends);
    Fade();
    DriverWheelAt(DriverFind("Add")->rect.GetCenter(), -10.0f);
    DriverFrame(2);
    DriverClickAt(friend_join()->rect.GetCenter());
    DriverFrame(2);
    EXPECT_FALSE(Shows("Joining another room ends the co-op session you are playing now."));
    EXPECT_NE(g_app.flags.room_state.load(), RoomIdle);
    ASSERT_TRUE(DriverRunUntil([] { return g_app.flags.room_state.load() != RoomBusy; }));
}
