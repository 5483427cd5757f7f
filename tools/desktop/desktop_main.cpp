// kestrel-desktop: the overlay on Linux. A GLFW window with an OpenGL 3 stand-in
// game scene, the same overlay frame as the plugin, GLFW input turned into the
// same per-frame input records, the same virtual cursor, scripted input and
// PNG screenshots. Works under Xvfb.
//
//   kestrel-desktop [--size WxH] [--script FILE] [--screenshot PATH]
//
// With --screenshot and no script: opens the overlay, saves one frame, exits.
// Exit status: 0 when every scripted check passed.
#include "../common/input_script.h"
#include "../common/png_file.h"
#include "glfw_keys.h"
#include "backend/messages.h"
#include "platform/platform.h"
#include "state/config.h"
#include "state/app_state.h"
#include "ui/fonts.h"
#include "ui/input_queue.h"
#include "ui/frame_sequence.h"
#include "ui/overlay_input.h"

#include <imgui.h>
#include <imgui_impl_opengl3.h>

#define GLFW_INCLUDE_NONE
#include <GL/gl.h>
#include <GLFW/glfw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Desktop
{
    GLFWwindow* window = nullptr;
    bool menu_shown = false;     // stands in for the host's own menu
    double last_x = 0, last_y = 0;
    bool have_last = false;
    double last_time = 0;
    float fixed_dt = 0.0f;       // scripted runs: each frame is 1/60 s, however fast it renders
    int checks = 0, failures = 0;
    uint64_t frames = 0;
    // Verdicts on the input the script sent since its last input step.
    int withheld = 0, passed = 0;
    // The stand-in game: a square the arrow keys move while the overlay leaves
    // the keyboard to the game.
    float player_x = 200, player_y = 300;
    std::vector<double> frame_us;
};
Desktop g_desk;

double NowUs()
{
    using namespace std::chrono;
    return (double)duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 1000.0;
}

// The game keeps what the overlay does not want, as the host's message
// callback decides it on Windows.
void Verdict()
{
    (OverlayWantsInput() ? g_desk.withheld : g_desk.passed)++;
}

void GameKey(int vk, bool down)
{
    if (!down || OverlayWantsInput())
        return;
    if (vk == 0x25) g_desk.player_x -= 10;
    if (vk == 0x27) g_desk.player_x += 10;
    if (vk == 0x26) g_desk.player_y -= 10;
    if (vk == 0x28) g_desk.player_y += 10;
}

void KeyEvent(int vk, bool down, bool repeat)
{
    SetAsyncKeyDown(vk, down); // what GetAsyncKeyState would say (key capture reads it)
    QueueKeyEvent((uint32_t)vk, down);
    if (down)
        ToggleOverlayOnKey((uint32_t)vk, repeat);
    Verdict();
    GameKey(vk, down);
}

void CharEvent(unsigned int cp)
{
    if (cp >= 0x10000 && cp <= 0x10FFFF) { // as UTF-16, the way WM_CHAR delivers it
        cp -= 0x10000;
        QueueCharEvent(0xD800 + (cp >> 10));
        QueueCharEvent(0xDC00 + (cp & 0x3FF));
    } else {
        QueueCharEvent(cp);
    }
    Verdict();
}

void OnKey(GLFWwindow*, int key, int, int action, int)
{
    const int vk = VirtualKeyFromGlfw(key);
    if (vk >= 0 && action != GLFW_RELEASE)
        KeyEvent(vk, true, action == GLFW_REPEAT);
    else if (vk >= 0)
        KeyEvent(vk, false, false);
}

void OnChar(GLFWwindow*, unsigned int cp) { CharEvent(cp); }

void OnButton(GLFWwindow*, int button, int action, int)
{
    if (button >= 0 && button <= 4)
        QueueMouseButtonEvent(button, action == GLFW_PRESS);
    Verdict();
}

void OnScroll(GLFWwindow*, double dx, double dy)
{
    QueueWheel((float)dy, (float)dx);
    Verdict();
}

// Cursor motion as raw relative motion: it moves the overlay's own cursor.
void OnCursor(GLFWwindow*, double x, double y)
{
    if (g_desk.have_last && g_app.overlay.overlay_open.load())
        AddVirtualCursorMotion((float)(x - g_desk.last_x), (float)(y - g_desk.last_y));
    g_desk.last_x = x;
    g_desk.last_y = y;
    g_desk.have_last = true;
}

void OnFocus(GLFWwindow*, int focused)
{
    if (!focused)
        QueueFocusLost();
}

void FillRect(int x, int y, int w, int h, float r, float g, float b)
{
    int fw, fh;
    glfwGetFramebufferSize(g_desk.window, &fw, &fh);
    glScissor(x, fh - y - h, w, h);
    glClearColor(r, g, b, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
}

// The stand-in game scene: sky, ground, a few blocks and the player.
void DrawScene()
{
    int w, h;
    glfwGetFramebufferSize(g_desk.window, &w, &h);
    glViewport(0, 0, w, h);
    glEnable(GL_SCISSOR_TEST);
    FillRect(0, 0, w, h, 0.15f, 0.35f, 0.45f);
    FillRect(0, h * 2 / 3, w, h - h * 2 / 3, 0.22f, 0.30f, 0.18f);
    for (int i = 0; i < 6; i++)
        FillRect(60 + i * (w / 6), h * 2 / 3 - 40 - (i % 3) * 30, 70, 40 + (i % 3) * 30, 0.35f, 0.33f, 0.30f);
    FillRect((int)g_desk.player_x, (int)g_desk.player_y, 28, 44, 0.85f, 0.55f, 0.20f);
    glDisable(GL_SCISSOR_TEST);
}

// The platform half of the frame, as the plugin's is on Windows.
void PlatformFrame(ImGuiIO& io, void*)
{
    int w, h;
    glfwGetFramebufferSize(g_desk.window, &w, &h);
    io.DisplaySize = ImVec2((float)w, (float)h);
    const double now = glfwGetTime();
    io.DeltaTime = now > g_desk.last_time ? (float)(now - g_desk.last_time) : 1e-6f;
    if (g_desk.fixed_dt > 0.0f)
        io.DeltaTime = g_desk.fixed_dt;
    g_desk.last_time = now;
    io.KeyCtrl = io.KeysDown[0x11] || io.KeysDown[0xA2] || io.KeysDown[0xA3];
    io.KeyShift = io.KeysDown[0x10] || io.KeysDown[0xA0] || io.KeysDown[0xA1];
    io.KeyAlt = io.KeysDown[0x12] || io.KeysDown[0xA4] || io.KeysDown[0xA5];
    io.KeySuper = false;
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
    if (glfwGetWindowAttrib(g_desk.window, GLFW_FOCUSED) || g_desk.have_last) {
        double x, y;
        glfwGetCursorPos(g_desk.window, &x, &y);
        io.MousePos = ImVec2((float)x, (float)y);
    }
}

// One frame; `scene` and `full` receive read-backs when given.
void Frame(std::vector<uint8_t>* scene = nullptr, std::vector<uint8_t>* full = nullptr)
{
    glfwPollEvents();
    DrawScene();
    if (scene) {
        int w, h;
        glfwGetFramebufferSize(g_desk.window, &w, &h);
        scene->resize((size_t)w * h * 4);
        glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, scene->data());
    }
    const double t0 = NowUs();
    ImGui_ImplOpenGL3_NewFrame();
    FramePlatform platform;
    platform.new_frame = PlatformFrame;
    platform.fonts_rebuilt = [](void*) {
        ImGui_ImplOpenGL3_DestroyFontsTexture();
        ImGui_ImplOpenGL3_CreateFontsTexture();
    };
    platform.host_menu_shown = g_desk.menu_shown;
    RunOverlayFrameSequence(platform);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    const double dt = NowUs() - t0;
    if (g_desk.frames == 0)
        std::printf("desktop: first overlay frame: %.2f ms\n", dt / 1000.0);
    g_desk.frame_us.push_back(dt);
    if (full) {
        int w, h;
        glfwGetFramebufferSize(g_desk.window, &w, &h);
        full->resize((size_t)w * h * 4);
        glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, full->data());
    }
    glfwSwapBuffers(g_desk.window);
    g_desk.frames++;
}

bool Screenshot(const std::string& path)
{
    std::vector<uint8_t> rgba;
    Frame(nullptr, &rgba);
    int w, h;
    glfwGetFramebufferSize(g_desk.window, &w, &h);
    // OpenGL rows run bottom to top.
    return WritePng(path, w, h, rgba.data() + (size_t)(h - 1) * w * 4, -w * 4);
}

void Report(const ScriptStep& s, bool ok, const std::string& detail)
{
    g_desk.checks++;
    if (!ok)
        g_desk.failures++;
    std::printf("%s line %d: check%s%s  (%s)\n", ok ? "ok" : "FAIL", s.line, s.rest.empty() ? "" : " ", s.rest.c_str(),
                detail.c_str());
}

void Check(const ScriptStep& s)
{
    const std::string& what = s.args[0];
    if (what == "withheld" || what == "passed") {
        const bool want = what == "withheld";
        const int hit = want ? g_desk.withheld : g_desk.passed, other = want ? g_desk.passed : g_desk.withheld;
        Report(s, hit > 0 && other == 0, std::to_string(g_desk.withheld) + " withheld, " + std::to_string(g_desk.passed) + " passed");
    } else if (what == "drawn" || what == "clean") {
        std::vector<uint8_t> scene, full;
        Frame(&scene, &full);
        int w, h;
        glfwGetFramebufferSize(g_desk.window, &w, &h);
        size_t off = 0;
        for (size_t i = 0; i + 3 < full.size(); i += 4) {
            // Read-back rows run bottom-up.
            const size_t x = (i / 4) % (size_t)w, y = (size_t)h - 1 - (i / 4) / (size_t)w;
            if (std::memcmp(&scene[i], &full[i], 3) != 0 && !(what == "clean" && InIndicatorBand(x, y, (size_t)w)))
                off++;
        }
        const size_t all = full.size() / 4;
        Report(s, what == "clean" ? off == 0 : off * 100 >= all * 2,
               std::to_string(off) + " of " + std::to_string(all) + " pixels changed by the overlay");
    } else if (what == "size" && s.args.size() >= 3) {
        Frame();
        int w, h;
        glfwGetFramebufferSize(g_desk.window, &w, &h);
        Report(s, w == std::stoi(s.args[1]) && h == std::stoi(s.args[2]), std::to_string(w) + "x" + std::to_string(h));
    } else if (what == "player-moved") {
        Report(s, g_desk.player_x != 200 || g_desk.player_y != 300, "player at " + std::to_string((int)g_desk.player_x));
    } else {
        Report(s, false, "unknown check");
    }
}

void Bench(const std::string& label, int frames)
{
    g_desk.frame_us.clear();
    for (int i = 0; i < frames; i++)
        Frame();
    std::vector<double> t = g_desk.frame_us;
    std::sort(t.begin(), t.end());
    double sum = 0;
    for (double v : t)
        sum += v;
    std::printf("bench %s: %zu frames, overlay frame CPU mean %.1f us, median %.1f us, p95 %.1f us\n", label.c_str(),
                t.size(), sum / (double)t.size(), t[t.size() / 2], t[t.size() * 95 / 100]);
}

void RunStep(const ScriptStep& s, const std::string& out_dir)
{
    const std::string& op = s.op;
    if (op == "key" || op == "keyup" || op == "syskey" || op == "tap" || op == "type" || op == "click" ||
        op == "mousemove" || op == "wheel")
        g_desk.withheld = g_desk.passed = 0;
    const int vk = (op == "key" || op == "keyup" || op == "syskey" || op == "tap") ? VirtualKeyFromName(s.args[0]) : 0;
    if (vk < 0) {
        std::printf("FAIL line %d: unknown key\n", s.line);
        g_desk.failures++;
        return;
    }
    if (op == "frames") {
        for (int i = 0, n = std::stoi(s.args[0]); i < n; i++)
            Frame();
    } else if (op == "wait") {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(s.args[0]));
        while (std::chrono::steady_clock::now() < until) {
            Frame();
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
        }
    } else if (op == "waitfile") {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!ScriptDataFileReady(s) && std::chrono::steady_clock::now() < until) {
            Frame();
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
        }
        if (!ScriptDataFileReady(s)) {
            std::printf("FAIL line %d: waitfile %s\n", s.line, s.args[0].c_str());
            g_desk.failures++;
        }
    } else if (op == "waitstill" || op == "waitchange") {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        RegionWatch watch;
        std::vector<uint8_t> rgba;
        bool still = false;
        while (!still && std::chrono::steady_clock::now() < until) {
            Frame(nullptr, &rgba);
            int w, h;
            glfwGetFramebufferSize(g_desk.window, &w, &h);
            // OpenGL rows run bottom to top.
            still = ScriptRegionSettled(s, rgba.data() + (size_t)(h - 1) * w * 4, w, h, -(ptrdiff_t)w * 4, watch);
            std::this_thread::sleep_for(std::chrono::milliseconds(16));
        }
        if (!still) {
            std::printf("FAIL line %d: %s %s\n", s.line, op.c_str(), s.rest.c_str());
            g_desk.failures++;
        }
    } else if (op == "datafile") {
        if (!WriteScriptDataFile(s)) {
            std::printf("FAIL line %d: datafile %s\n", s.line, s.args[0].c_str());
            g_desk.failures++;
        }
    } else if (op == "key" || op == "syskey") {
        if (op == "syskey")
            QueueKeyEvent(0x12, true);
        KeyEvent(vk, true, s.args.size() > 1 && s.args[1] == "repeat");
        if (op == "syskey")
            QueueKeyEvent(0x12, false);
    } else if (op == "keyup") {
        KeyEvent(vk, false, false);
    } else if (op == "tap") {
        KeyEvent(vk, true, false);
        KeyEvent(vk, false, false);
    } else if (op == "type") {
        for (unsigned char c : s.rest)
            CharEvent(c);
    } else if (op == "click") {
        const int b = !s.args.empty() && s.args[0] == "right" ? 1 : 0;
        OnButton(g_desk.window, b, GLFW_PRESS, 0);
        OnButton(g_desk.window, b, GLFW_RELEASE, 0);
    } else if (op == "mousemove") {
        glfwSetCursorPos(g_desk.window, std::stod(s.args[0]), std::stod(s.args[1]));
        g_desk.last_x = std::stod(s.args[0]);
        g_desk.last_y = std::stod(s.args[1]);
        g_desk.have_last = true;
        Verdict();
    } else if (op == "move") {
        AddVirtualCursorMotion(std::stof(s.args[0]), std::stof(s.args[1]));
    } else if (op == "wheel") {
        OnScroll(g_desk.window, 0, std::stod(s.args[0]));
    } else if (op == "menu") {
        g_desk.menu_shown = s.args[0] == "on";
    } else if (op == "resize") {
        glfwSetWindowSize(g_desk.window, std::stoi(s.args[0]), std::stoi(s.args[1]));
        for (int i = 0; i < 50; i++) { // the X server answers asynchronously
            glfwPollEvents();
            int w, h;
            glfwGetFramebufferSize(g_desk.window, &w, &h);
            if (w == std::stoi(s.args[0]) && h == std::stoi(s.args[1]))
                break;
            glfwWaitEventsTimeout(0.02);
        }
    } else if (op == "screenshot") {
        const std::string path = out_dir + "/" + s.args[0];
        if (Screenshot(path)) {
            std::printf("desktop: saved %s\n", path.c_str());
        } else {
            std::printf("FAIL line %d: screenshot %s\n", s.line, path.c_str());
            g_desk.failures++;
        }
    } else if (op == "check") {
        Check(s);
    } else if (op == "bench") {
        Bench(s.args[0], std::stoi(s.args[1]));
    }
}

} // namespace

int main(int argc, char** argv)
{
    int width = 1280, height = 720;
    std::string script_path, screenshot, out_dir = ".";
    // The stand-in game's build, as the room requests report it (a game's
    // executable says its own on Windows).
    std::string game_version = "1.0.2.0";
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--game-version" && i + 1 < argc) {
            game_version = argv[++i];
            continue;
        }
        if (a == "--size" && i + 1 < argc) std::sscanf(argv[++i], "%dx%d", &width, &height);
        else if (a == "--script" && i + 1 < argc) script_path = argv[++i];
        else if (a == "--screenshot" && i + 1 < argc) screenshot = argv[++i];
        else if (a == "--out" && i + 1 < argc) out_dir = argv[++i];
        else {
            std::fprintf(stderr, "usage: kestrel-desktop [--size WxH] [--script FILE] [--out DIR] [--screenshot PATH]"
                                 " [--game-version V]\n");
            return 2;
        }
    }
    OverrideGameVersion(game_version);
    std::vector<ScriptStep> steps;
    if (!script_path.empty()) {
        std::string text, error;
        if (!ReadTextFile(script_path, text) || !ParseInputScript(text, steps, error)) {
            std::fprintf(stderr, "desktop: script %s: %s\n", script_path.c_str(), error.empty() ? "unreadable" : error.c_str());
            return 2;
        }
    }
    if (!glfwInit()) {
        std::fprintf(stderr, "desktop: no display (run under Xvfb when headless)\n");
        return 3;
    }
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 0);
    glfwWindowHint(GLFW_RESIZABLE, GLFW_TRUE);
    g_desk.window = glfwCreateWindow(width, height, "Kestrel Multiplayer - desktop harness", nullptr, nullptr);
    if (!g_desk.window) {
        std::fprintf(stderr, "desktop: cannot create an OpenGL 3 window\n");
        return 3;
    }
    glfwMakeContextCurrent(g_desk.window);
    glfwSwapInterval(steps.empty() && screenshot.empty() ? 1 : 0);
    if (!steps.empty() || !screenshot.empty())
        g_desk.fixed_dt = 1.0f / 60.0f;
    glfwSetKeyCallback(g_desk.window, OnKey);
    glfwSetCharCallback(g_desk.window, OnChar);
    glfwSetMouseButtonCallback(g_desk.window, OnButton);
    glfwSetScrollCallback(g_desk.window, OnScroll);
    glfwSetCursorPosCallback(g_desk.window, OnCursor);
    glfwSetWindowFocusCallback(g_desk.window, OnFocus);

    // The message-notification poller (threads and room invites), started as
    // the plugin's initialisation starts it.
    StartMessagePoller();

    // First-frame set-up, as the plugin's renderer set-up does it.
    const double t0 = NowUs();
    ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    const bool fonts = SetUpOverlay(io);
    const bool gl = ImGui_ImplOpenGL3_Init("#version 130");
    ImGui_ImplOpenGL3_CreateDeviceObjects();
    std::printf("desktop: set-up (context, fonts, atlas, renderer): %.2f ms\n", (NowUs() - t0) / 1000.0);
    if (!fonts || !gl) {
        std::fprintf(stderr, "desktop: overlay set-up failed\n");
        return 3;
    }

    if (!steps.empty()) {
        for (const ScriptStep& s : steps)
            RunStep(s, out_dir);
        std::printf("desktop: %d checks, %d failed, %llu frames\n", g_desk.checks, g_desk.failures,
                    (unsigned long long)g_desk.frames);
    } else if (!screenshot.empty()) {
        g_app.overlay.overlay_open = true;
        for (int i = 0; i < 4; i++)
            Frame();
        if (!Screenshot(screenshot)) {
            std::fprintf(stderr, "desktop: cannot write %s\n", screenshot.c_str());
            g_desk.failures++;
        }
    } else {
        std::printf("desktop: End opens the overlay; arrows move the stand-in player.\n");
        while (!glfwWindowShouldClose(g_desk.window))
            Frame();
    }
    ImGui_ImplOpenGL3_Shutdown();
    ImGui::DestroyContext();
    glfwDestroyWindow(g_desk.window);
    glfwTerminate();
    return g_desk.failures == 0 ? 0 : 1;
}
