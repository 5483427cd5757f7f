// Pieces shared by the page tests: a game folder of their own, the real
// service or a scripted account port, kestrel-partner runs, and where a
// colour was drawn.
#pragma once

#include "ui_fixture.h"

#include "backend/account.h"
#include "mini_http_server.h"
#include "raw_peer.h"
#include "service_process.h"
#include "ui/palette.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <sys/wait.h>

constexpr const char* kTestPassword = "Secret#123";

// The box around every vertex drawn in `col` (alpha ignored) by the windows
// whose name holds `window_part`; an inverted box when there is none.
inline ImRect DrawnBox(const char* window_part, const ImVec4& col)
{
    const ImU32 rgb = ImGui::ColorConvertFloat4ToU32(col) & ~IM_COL32_A_MASK;
    ImRect box(ImVec2(FLT_MAX, FLT_MAX), ImVec2(-FLT_MAX, -FLT_MAX));
    const ImDrawData* data = ImGui::GetDrawData();
    for (int i = 0; data && i < data->CmdListsCount; i++) {
        const ImDrawList* dl = data->CmdLists[i];
        if (!dl->_OwnerName || !strstr(dl->_OwnerName, window_part))
            continue;
        for (const ImDrawVert& v : dl->VtxBuffer)
            if ((v.col & ~IM_COL32_A_MASK) == rgb && (v.col & IM_COL32_A_MASK) != 0)
                box.Add(v.pos);
    }
    return box;
}

// Lets a scripted answer that waits on `flag` go when the test ends, however it ends.
struct ReleaseOnExit
{
    std::atomic<bool>& flag;
    ~ReleaseOnExit() { flag = true; }
};

inline bool Drawn(const ImRect& box)
{
    return box.Min.x <= box.Max.x;
}

// A temporary game folder as the working directory, and the service on the
// fixed ports (real, or a scripted account port).
class PageUi : public OverlayUi
{
protected:
    std::string dir, old_dir;
    ServiceProcess service;
    MiniHttpServer* account = nullptr;

    void StartIn(bool real_service, const std::vector<std::string>& service_args = {})
    {
        old_dir = std::filesystem::current_path().string();
        dir = MakeTempDir("kestrel-pages");
        std::filesystem::create_directories(dir + "/reframework/data");
        std::filesystem::current_path(dir);
        if (real_service)
            ASSERT_TRUE(StartService(service, service_args)) << service.output;
        else
            ASSERT_NE(account = StartMiniHttpServer(39001), nullptr);
    }
    void TearDown() override
    {
        OverlayUi::TearDown();
        if (account)
            StopMiniHttpServer(account);
        if (service.pid > 0)
            StopService(service);
        if (dir.empty())
            return;
        std::filesystem::current_path(old_dir);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

public:
    // A page change: out in 1/6 s, in again in 1/6 s.
    static void Fade() { DriverFrame(21); }
    // Requests to `path` the scripted port received, and their bodies.
    std::vector<std::string> Bodies(const std::string& path) const
    {
        std::vector<std::string> out;
        for (const MiniHttpRequest& r : MiniHttpRequests(account))
            if (r.target == path)
                out.push_back(r.body);
        return out;
    }
    // Runs kestrel-partner for `tag` in its own folder to its end.
    std::string Partner(const std::string& tag, std::vector<std::string> args, const char* seconds = "0.5")
    {
        const pid_t pid = StartPartner(tag, std::move(args), seconds);
        int status = 0;
        waitpid(pid, &status, 0);
        return ReadFileText(dir + "/" + tag + ".log");
    }
    pid_t StartPartner(const std::string& tag, std::vector<std::string> args, const char* seconds)
    {
        args.insert(args.begin(), BuiltProgram("tools/kestrel-partner"));
        args.insert(args.end(), {"--dir", dir + "/" + tag, "--for", seconds});
        return StartProgram(args, dir + "/" + tag + ".log");
    }
    std::string SignUpPartner(const std::string& user, const std::string& tag)
    {
        return Partner(tag, {"--user", user, "--password", kTestPassword, "--signup", "--gamertag", tag, "--email",
                             user + "@example.com"});
    }
    // Signs this player up through the account port and lets the frame take it over.
    static bool SignUpHere(const std::string& user, const std::string& tag)
    {
        StartSignIn(true, user, kTestPassword, tag, user + "@example.com");
        return DriverRunUntil([] { return g_app.shell.current_page == PageWelcome; });
    }
};
