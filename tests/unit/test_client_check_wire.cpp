// The client check: which answers refuse this build, and with what text.
#include "backend/client_check.h"
#include "wire_fixture.h"

namespace {

std::string UpdateMessage()
{
    std::lock_guard<std::mutex> hold(g_app.update_notice.lock);
    return g_app.update_notice.update_message;
}

} // namespace

using ClientCheckWire = Wire;

TEST_F(ClientCheckWire, SendsTheReleaseChannelOncePerProcess)
{
    EXPECT_TRUE(StartClientCheck());
    EXPECT_FALSE(StartClientCheck());
    ASSERT_EQ(WaitForMiniHttpRequests(server, 1, 5000), 1u);
    EXPECT_EQ(WaitForMiniHttpRequests(server, 2, 300), 1u);
    const MiniHttpRequest r = Requests()[0];
    EXPECT_EQ(r.target, "/clientcheck");
    EXPECT_EQ(r.body, "{\"channel\":\"beta2\"}");
}

TEST_F(ClientCheckWire, OnlyAnAnsweredOkFalseRefusesThisBuild)
{
    for (const auto& [status, body] : std::vector<std::pair<int, std::string>>{
             {200, "{\"ok\":true}"}, {200, "{}"}, {200, ""}, {500, "{\"ok\":false,\"error\":\"x\"}"},
             {404, "{\"ok\":false}"}}) {
        Answer(status, body);
        ClientCheckWorker();
        EXPECT_FALSE(g_app.update_notice.update_required.load()) << status << " " << body;
        EXPECT_EQ(UpdateMessage(), "");
    }
    StopServer();
    ClientCheckWorker();
    EXPECT_FALSE(g_app.update_notice.update_required.load());
}

TEST_F(ClientCheckWire, ARefusalCarriesTheServiceTextOrTheFixedOne)
{
    Answer(200, "{\"ok\":false}");
    ClientCheckWorker();
    EXPECT_TRUE(g_app.update_notice.update_required.load());
    EXPECT_EQ(UpdateMessage(), kUpdateDefaultText);
    EXPECT_EQ(std::string(kUpdateDefaultText),
              "This version is no longer supported. Please download the latest version.");

    ResetAccountAreas();
    Answer(200, "{\"ok\":false,\"error\":\"Beta 2 has ended.\"}");
    ClientCheckWorker();
    EXPECT_TRUE(g_app.update_notice.update_required.load());
    EXPECT_EQ(UpdateMessage(), "Beta 2 has ended.");
}
