// Worker and transport tests against a scripted server on the account port
// itself (39001), so they run in a private network namespace (tests/netns-run,
// also under Wine). Each case gets a fresh game directory and fresh state.
#pragma once

#include "app_reset.h"
#include "backend/http.h"
#include "mini_http_server.h"
#include "platform/platform.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <memory>

class Wire : public testing::Test
{
protected:
    MiniHttpServer* server = nullptr;
    std::unique_ptr<GameDirectory> game;

    void SetUp() override
    {
        ResetAccountAreas();
        HttpCloseConnections(); // nothing kept from the last case's server
        game = std::make_unique<GameDirectory>();
        server = StartMiniHttpServer(kAccountPort);
        ASSERT_NE(server, nullptr) << "port 39001 is taken: run through tests/netns-run";
    }
    void TearDown() override
    {
        StopMiniHttpServer(server);
        game.reset();
    }
    // Every request gets this answer.
    void Answer(int status, const std::string& body)
    {
        SetMiniHttpHandler(server, [status, body](const MiniHttpRequest&) {
            MiniHttpAnswer a;
            a.status = status;
            a.body = body;
            return a;
        });
    }
    void StopServer()
    {
        StopMiniHttpServer(server);
        server = nullptr;
    }
    std::vector<MiniHttpRequest> Requests() { return server ? MiniHttpRequests(server) : std::vector<MiniHttpRequest>{}; }
};
