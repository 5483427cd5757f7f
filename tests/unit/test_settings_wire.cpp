// The settings upload: when it happens, for whom, and what reaches the server.
#include "backend/json_text.h"
#include "backend/settings.h"
#include "wire_fixture.h"

namespace {

constexpr int64_t kMs = 1000000;

void SignedIn(const std::string& token)
{
    std::lock_guard<std::mutex> hold(g_app.account.lock);
    g_app.account.token = token;
    g_app.account.is_guest = false;
}

} // namespace

using SettingsWire = Wire;

TEST_F(SettingsWire, TenChangesWithinASecondGiveOneUploadOneSecondAfterTheLast)
{
    SignedIn("tk");
    const int64_t t0 = 5000 * kMs;
    int64_t now = t0;
    for (int i = 0; i < 10; i++) {
        now = t0 + i * 100 * kMs;
        g_app.settings.snd_vol_pct = 0.1f * (float)i;
        MarkSettingsChanged(now);
        EXPECT_FALSE(UploadSettingsIfDue(now));
    }
    const int64_t last = now;
    EXPECT_FALSE(UploadSettingsIfDue(last + 500 * kMs));
    EXPECT_FALSE(UploadSettingsIfDue(last + 1000 * kMs)); // must be more than one second
    EXPECT_TRUE(UploadSettingsIfDue(last + 1001 * kMs));
    EXPECT_FALSE(UploadSettingsIfDue(last + 3000 * kMs));
    EXPECT_FALSE(g_app.flags.settings_dirty.load());

    ASSERT_EQ(WaitForMiniHttpRequests(server, 1, 5000), 1u);
    EXPECT_EQ(WaitForMiniHttpRequests(server, 2, 300), 1u);
    const MiniHttpRequest r = Requests()[0];
    EXPECT_EQ(r.target, "/settings/set");
    EXPECT_EQ(JsonGetString(r.body, "token"), "tk");
    const std::string sent = JsonGetString(r.body, "settings");
    EXPECT_EQ(sent, BuildSettingsJson());
    int32_t vol = 0;
    ASSERT_TRUE(JsonGetInt(sent, "snd_vol_pct", vol));
    EXPECT_EQ(vol, 90); // the last change's value
    // The record travels as a string member: its quotes are escaped.
    EXPECT_EQ(r.body, "{\"token\":\"tk\",\"settings\":\"" + JsonEscape(BuildSettingsJson()) + "\"}");
}

TEST_F(SettingsWire, AGuestOrAPlayerWithoutATokenUploadsNothing)
{
    g_app.account.is_guest = true;
    MarkSettingsChanged(0);
    EXPECT_FALSE(UploadSettingsIfDue(10000 * kMs));
    EXPECT_TRUE(g_app.flags.settings_dirty.load()); // still waiting, not sent

    g_app.account.is_guest = false; // signed in, but the reply carried no token
    EXPECT_TRUE(UploadSettingsIfDue(10000 * kMs));
    EXPECT_FALSE(g_app.flags.settings_dirty.load());
    EXPECT_EQ(WaitForMiniHttpRequests(server, 1, 500), 0u);
}

TEST_F(SettingsWire, AFailedUploadIsNotRetried)
{
    SignedIn("tk");
    Answer(500, "{}");
    MarkSettingsChanged(0);
    EXPECT_TRUE(UploadSettingsIfDue(2000 * kMs));
    EXPECT_EQ(WaitForMiniHttpRequests(server, 1, 5000), 1u);
    EXPECT_FALSE(UploadSettingsIfDue(9000 * kMs));
    EXPECT_EQ(WaitForMiniHttpRequests(server, 2, 300), 1u);
}
