// winhost: a stand-in for the game and its plugin host on Windows. It opens a
// window with a D3D11 or D3D12 swap chain, fills the host's records, loads
// the plugin DLL, calls its exports, forwards window messages to the
// registered callback (withholding what it refuses), presents every frame and
// runs a script of input, resizes, screenshots, checks and benchmarks.
//
//   winhost --dll PATH [--renderer d3d11|d3d12] [--renderer-type N]
//           [--size WxH] [--script FILE] [--out DIR] [--skip-pixel-checks]
//
// Exit status: 0 when every check passed.
#include "../common/input_script.h"
#include "../common/png_file.h"
#include "gpu.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

// The host's records, written here from the plugin interface independently of
// the plugin's own headers: the table by slot, the renderer record by field.
struct StandInVersion { int32_t major, minor, patch; char reserved[52]; };
struct StandInRenderer { int32_t type; void* device; void* swapchain; void* queue; };
struct StandInParam
{
    HMODULE module;
    StandInVersion* version;
    void** functions;
    StandInRenderer* renderer;
    void* sdk;
};

using PresentFn = void (*)();
using ResetFn = void (*)();
using MessageFn = bool (*)(void*, uint32_t, uint64_t, int64_t);
using RequiredVersionFn = void (*)(StandInVersion*);
using InitializeFn = bool (*)(const StandInParam*);

struct Host
{
    PresentFn present = nullptr;
    ResetFn reset = nullptr;
    MessageFn message = nullptr;
    bool menu_shown = false;
    int unexpected_calls = 0;
    // Verdicts on the messages the script sent since its last input step.
    bool scripted = false;
    int withheld = 0;
    int passed = 0;
};
Host g_host;

bool RegisterPresent(PresentFn f) { g_host.present = f; return true; }
bool RegisterReset(ResetFn f) { g_host.reset = f; return true; }
bool RegisterMessage(MessageFn f) { g_host.message = f; return true; }
bool MenuShown() { return g_host.menu_shown; }

template <int Slot>
void UnexpectedCall()
{
    std::printf("winhost: plugin called host table slot %d\n", Slot + 1);
    g_host.unexpected_calls++;
}

template <int... Slots>
void FillTraps(void** table, std::integer_sequence<int, Slots...>)
{
    ((table[Slots] = (void*)&UnexpectedCall<Slots>), ...);
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (g_host.message) {
        const bool pass = g_host.message(hwnd, msg, (uint64_t)wparam, (int64_t)lparam);
        const bool input = (msg >= WM_KEYFIRST && msg <= WM_KEYLAST) || (msg >= WM_MOUSEFIRST && msg <= WM_MOUSELAST);
        if (g_host.scripted && input)
            (pass ? g_host.passed : g_host.withheld)++;
        if (!pass)
            return msg == WM_SETCURSOR ? TRUE : 0;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wparam, lparam);
}

struct Options
{
    std::string dll;
    GpuApi api = GpuD3D11;
    int renderer_type = -1; // as the api unless given
    UINT width = 1280, height = 720;
    std::string script;
    std::string out = ".";
    bool skip_pixel_checks = false;
};

struct Run
{
    Options opt;
    Gpu gpu;
    HWND window = nullptr;
    HMODULE plugin = nullptr;
    RequiredVersionFn required_version = nullptr;
    InitializeFn initialize = nullptr;
    StandInParam param = {};
    StandInRenderer renderer = {};
    StandInVersion version = {};
    void* table[32] = {};
    POINT mouse = {0, 0};
    int checks = 0, failures = 0;
    uint64_t frames = 0;
    std::vector<double> present_us; // time spent in the plugin's present callback
};

double NowUs()
{
    static LARGE_INTEGER f = [] { LARGE_INTEGER x; QueryPerformanceFrequency(&x); return x; }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return (double)c.QuadPart * 1e6 / (double)f.QuadPart;
}

void Pump()
{
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

// One frame: scene, the plugin's present callback, optional read-back, present.
void Frame(Run& r, std::vector<uint8_t>* capture = nullptr)
{
    Pump();
    GpuDrawScene(r.gpu);
    if (g_host.present) {
        const double t0 = NowUs();
        g_host.present();
        const double dt = NowUs() - t0;
        if (r.frames == 0)
            std::printf("winhost: first present callback (renderer set-up, fonts, atlas): %.2f ms\n", dt / 1000.0);
        r.present_us.push_back(dt);
    }
    if (capture && !GpuReadBack(r.gpu, *capture))
        capture->clear();
    GpuPresent(r.gpu);
    r.frames++;
}

void Send(Run& r, UINT msg, WPARAM w, LPARAM l)
{
    SendMessageW(r.window, msg, w, l);
}

LPARAM MouseLparam(const Run& r)
{
    return MAKELPARAM(r.mouse.x, r.mouse.y);
}

void Report(Run& r, const ScriptStep& s, bool ok, const std::string& detail)
{
    r.checks++;
    if (!ok)
        r.failures++;
    std::printf("%s line %d: check%s%s%s\n", ok ? "ok" : "FAIL", s.line, s.rest.empty() ? "" : " ", s.rest.c_str(),
                detail.empty() ? "" : ("  (" + detail + ")").c_str());
}

// `width`: with it, the indicators' corner is not counted.
size_t PixelsOffScene(const std::vector<uint8_t>& rgba, size_t width = 0)
{
    size_t n = 0;
    for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
        if (width && InIndicatorBand((i / 4) % width, (i / 4) / width, width))
            continue;
        if (std::abs(rgba[i] - kSceneColour[0]) > 2 || std::abs(rgba[i + 1] - kSceneColour[1]) > 2 ||
            std::abs(rgba[i + 2] - kSceneColour[2]) > 2)
            n++;
    }
    return n;
}

bool Resize(Run& r, UINT w, UINT h)
{
    // As a game does on a resolution change: the host reports the reset
    // before the swap chain's buffers go.
    if (g_host.reset)
        g_host.reset();
    RECT rc = {0, 0, (LONG)w, (LONG)h};
    AdjustWindowRect(&rc, WS_OVERLAPPEDWINDOW, FALSE);
    SetWindowPos(r.window, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top, SWP_NOMOVE | SWP_NOZORDER);
    return GpuResize(r.gpu, w, h);
}

void Check(Run& r, const ScriptStep& s)
{
    const std::string& what = s.args[0];
    if (what == "withheld" || what == "passed") {
        const bool want_withheld = what == "withheld";
        const int hit = want_withheld ? g_host.withheld : g_host.passed;
        const int other = want_withheld ? g_host.passed : g_host.withheld;
        Report(r, s, hit > 0 && other == 0,
               std::to_string(g_host.withheld) + " withheld, " + std::to_string(g_host.passed) + " passed");
    } else if ((what == "drawn" || what == "clean") && r.opt.skip_pixel_checks) {
        Frame(r);
        std::printf("skip line %d: check %s (pixel checks off for this stack)\n", s.line, what.c_str());
    } else if (what == "drawn" || what == "clean") {
        std::vector<uint8_t> rgba;
        Frame(r, &rgba);
        const size_t off = PixelsOffScene(rgba, what == "clean" ? r.gpu.width : 0);
        const size_t all = rgba.size() / 4;
        // The overlay's window covers several percent of the screen.
        const bool ok = !rgba.empty() && (what == "clean" ? off == 0 : off * 100 >= all * 2);
        Report(r, s, ok, std::to_string(off) + " of " + std::to_string(all) + " pixels off the scene" +
                             (what == "clean" ? " outside the indicators' corner" : ""));
    } else if (what == "size" && s.args.size() >= 3) {
        std::vector<uint8_t> rgba;
        Frame(r, &rgba);
        const UINT w = (UINT)std::stoul(s.args[1]), h = (UINT)std::stoul(s.args[2]);
        Report(r, s, rgba.size() == (size_t)w * h * 4 && r.gpu.width == w && r.gpu.height == h,
               std::to_string(r.gpu.width) + "x" + std::to_string(r.gpu.height));
    } else if (what == "version" && s.args.size() >= 3) {
        StandInVersion v = {};
        v.patch = 77;
        r.required_version(&v);
        Report(r, s, v.major == std::stoi(s.args[1]) && v.minor == std::stoi(s.args[2]) && v.patch == 77,
               std::to_string(v.major) + "." + std::to_string(v.minor));
    } else if (what == "reinit") {
        const std::string expected = s.rest.substr(s.rest.find("reinit") + 7);
        std::string got = "no exception";
        try {
            r.initialize(&r.param);
        } catch (const std::exception& e) {
            got = e.what();
        } catch (...) {
            got = "unknown exception";
        }
        Report(r, s, got == expected, got);
    } else if (what == "host-calls") {
        Report(r, s, g_host.unexpected_calls == 0 && g_host.present && g_host.reset && g_host.message,
               std::to_string(g_host.unexpected_calls) + " calls to slots the plugin should not use");
    } else {
        Report(r, s, false, "unknown check");
    }
}

void Bench(Run& r, const std::string& label, int frames)
{
    r.present_us.clear();
    for (int i = 0; i < frames; i++)
        Frame(r);
    std::vector<double> t = r.present_us;
    if (t.empty())
        return;
    std::sort(t.begin(), t.end());
    double sum = 0;
    for (double v : t)
        sum += v;
    std::printf("bench %s: %zu frames, present callback mean %.1f us, median %.1f us, p95 %.1f us\n", label.c_str(),
                t.size(), sum / (double)t.size(), t[t.size() / 2], t[t.size() * 95 / 100]);
}

bool RunStep(Run& r, const ScriptStep& s)
{
    const std::string& op = s.op;
    const bool input = op == "key" || op == "keyup" || op == "syskey" || op == "tap" || op == "type" ||
                       op == "click" || op == "mousemove" || op == "wheel";
    if (input) {
        g_host.withheld = g_host.passed = 0;
        g_host.scripted = true;
    }
    int vk = -1;
    if (op == "key" || op == "keyup" || op == "syskey" || op == "tap") {
        vk = VirtualKeyFromName(s.args[0]);
        if (vk < 0) {
            std::printf("FAIL line %d: unknown key %s\n", s.line, s.args[0].c_str());
            r.failures++;
            return true;
        }
    }
    const bool repeat = s.args.size() > 1 && s.args[1] == "repeat";
    const LPARAM key_lparam = repeat ? (LPARAM)(1u << 30) | 1 : 1;
    if (op == "frames") {
        // Paced like a game at about 60 frames a second: the plugin times its
        // animations on the real clock.
        for (int i = 0, n = std::stoi(s.args[0]); i < n; i++) {
            Frame(r);
            Sleep(16);
        }
    } else if (op == "wait") {
        const ULONGLONG until = GetTickCount64() + (ULONGLONG)std::stoi(s.args[0]);
        while (GetTickCount64() < until) {
            Frame(r);
            Sleep(16);
        }
    } else if (op == "waitfile") {
        const ULONGLONG until = GetTickCount64() + 60000;
        while (!ScriptDataFileReady(s) && GetTickCount64() < until) {
            Frame(r);
            Sleep(16);
        }
        if (!ScriptDataFileReady(s)) {
            std::printf("FAIL line %d: waitfile %s\n", s.line, s.args[0].c_str());
            r.failures++;
        }
    } else if (op == "waitstill" || op == "waitchange") {
        const ULONGLONG until = GetTickCount64() + 60000;
        RegionWatch watch;
        std::vector<uint8_t> rgba;
        bool still = false;
        while (!still && GetTickCount64() < until) {
            Frame(r, &rgba);
            still = !rgba.empty() && ScriptRegionSettled(s, rgba.data(), (int)r.gpu.width, (int)r.gpu.height,
                                                       (ptrdiff_t)r.gpu.width * 4, watch);
            Sleep(16);
        }
        if (!still) {
            std::printf("FAIL line %d: %s %s\n", s.line, op.c_str(), s.rest.c_str());
            r.failures++;
        }
    } else if (op == "datafile") {
        if (!WriteScriptDataFile(s)) {
            std::printf("FAIL line %d: datafile %s\n", s.line, s.args[0].c_str());
            r.failures++;
        }
    } else if (op == "key") {
        Send(r, WM_KEYDOWN, (WPARAM)vk, key_lparam);
    } else if (op == "keyup") {
        Send(r, WM_KEYUP, (WPARAM)vk, (LPARAM)0xC0000001);
    } else if (op == "syskey") {
        Send(r, WM_SYSKEYDOWN, (WPARAM)vk, key_lparam | (LPARAM)(1u << 29));
    } else if (op == "tap") {
        Send(r, WM_KEYDOWN, (WPARAM)vk, 1);
        Send(r, WM_KEYUP, (WPARAM)vk, (LPARAM)0xC0000001);
    } else if (op == "type") {
        for (unsigned char c : s.rest)
            Send(r, WM_CHAR, (WPARAM)c, 1);
    } else if (op == "click") {
        const bool right = !s.args.empty() && s.args[0] == "right";
        Send(r, right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN, right ? MK_RBUTTON : MK_LBUTTON, MouseLparam(r));
        Send(r, right ? WM_RBUTTONUP : WM_LBUTTONUP, 0, MouseLparam(r));
    } else if (op == "mousemove") {
        r.mouse = {std::stoi(s.args[0]), std::stoi(s.args[1])};
        POINT screen = r.mouse;
        ClientToScreen(r.window, &screen);
        SetCursorPos(screen.x, screen.y);
        Send(r, WM_MOUSEMOVE, 0, MouseLparam(r));
    } else if (op == "wheel") {
        Send(r, WM_MOUSEWHEEL, MAKEWPARAM(0, (WORD)(short)(std::stoi(s.args[0]) * WHEEL_DELTA)), MouseLparam(r));
    } else if (op == "menu") {
        g_host.menu_shown = s.args[0] == "on";
    } else if (op == "resize") {
        if (!Resize(r, (UINT)std::stoul(s.args[0]), (UINT)std::stoul(s.args[1]))) {
            std::printf("FAIL line %d: resize\n", s.line);
            r.failures++;
            return false;
        }
    } else if (op == "screenshot") {
        std::vector<uint8_t> rgba;
        Frame(r, &rgba);
        const std::string path = r.opt.out + "/" + s.args[0];
        if (rgba.empty() || !WritePng(path, (int)r.gpu.width, (int)r.gpu.height, rgba.data(), (int)r.gpu.width * 4)) {
            std::printf("FAIL line %d: screenshot %s\n", s.line, path.c_str());
            r.failures++;
        } else {
            std::printf("winhost: saved %s (%ux%u)\n", path.c_str(), r.gpu.width, r.gpu.height);
        }
    } else if (op == "check") {
        Check(r, s);
    } else if (op == "bench") {
        Bench(r, s.args[0], std::stoi(s.args[1]));
    } else if (op == "move") {
        std::printf("winhost: line %d: raw mouse motion cannot be synthesised here; skipped\n", s.line);
    }
    if (input)
        g_host.scripted = false;
    return true;
}

bool ParseArgs(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const bool has = i + 1 < argc;
        if (a == "--dll" && has) o.dll = argv[++i];
        else if (a == "--renderer" && has) o.api = std::string(argv[++i]) == "d3d12" ? GpuD3D12 : GpuD3D11;
        else if (a == "--renderer-type" && has) o.renderer_type = std::atoi(argv[++i]);
        else if (a == "--script" && has) o.script = argv[++i];
        else if (a == "--out" && has) o.out = argv[++i];
        else if (a == "--skip-pixel-checks") o.skip_pixel_checks = true;
        else if (a == "--size" && has) {
            unsigned w = 0, h = 0;
            if (std::sscanf(argv[++i], "%ux%u", &w, &h) != 2 || w == 0 || h == 0)
                return false;
            o.width = w;
            o.height = h;
        } else
            return false;
    }
    return !o.dll.empty();
}

} // namespace

int main(int argc, char** argv)
{
    Run r;
    if (!ParseArgs(argc, argv, r.opt)) {
        std::fprintf(stderr, "usage: winhost --dll PATH [--renderer d3d11|d3d12] [--renderer-type N] "
                             "[--size WxH] [--script FILE] [--out DIR] [--skip-pixel-checks]\n");
        return 2;
    }
    std::vector<ScriptStep> steps;
    if (!r.opt.script.empty()) {
        std::string text, error;
        if (!ReadTextFile(r.opt.script, text) || !ParseInputScript(text, steps, error)) {
            std::fprintf(stderr, "winhost: script %s: %s\n", r.opt.script.c_str(), error.empty() ? "unreadable" : error.c_str());
            return 2;
        }
    }

    const HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {sizeof(wc), CS_CLASSDC, WndProc, 0, 0, inst, nullptr, LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW),
                      nullptr, nullptr, L"KestrelWinhost", nullptr};
    RegisterClassExW(&wc);
    RECT rc = {0, 0, (LONG)r.opt.width, (LONG)r.opt.height};
    AdjustWindowRect(&rc, WS_OVERLAPPEDWINDOW, FALSE);
    r.window = CreateWindowW(L"KestrelWinhost", L"Stand-in game", WS_OVERLAPPEDWINDOW, 0, 0, rc.right - rc.left,
                             rc.bottom - rc.top, nullptr, nullptr, inst, nullptr);
    ShowWindow(r.window, SW_SHOW);
    SetForegroundWindow(r.window);
    UpdateWindow(r.window);
    if (!GpuCreate(r.gpu, r.opt.api, r.window, r.opt.width, r.opt.height))
        return 3;

    r.plugin = LoadLibraryA(r.opt.dll.c_str());
    if (!r.plugin) {
        std::fprintf(stderr, "winhost: cannot load %s (error %lu)\n", r.opt.dll.c_str(), GetLastError());
        return 3;
    }
    r.required_version = (RequiredVersionFn)(void*)GetProcAddress(r.plugin, "reframework_plugin_required_version");
    r.initialize = (InitializeFn)(void*)GetProcAddress(r.plugin, "reframework_plugin_initialize");
    if (!r.required_version || !r.initialize) {
        std::fprintf(stderr, "winhost: the DLL lacks the plugin exports\n");
        return 3;
    }

    FillTraps(r.table, std::make_integer_sequence<int, 32>{});
    r.table[2] = (void*)&RegisterPresent;
    r.table[7] = (void*)&RegisterReset;
    r.table[8] = (void*)&RegisterMessage;
    r.table[12] = (void*)&MenuShown;
    r.renderer = {r.opt.renderer_type >= 0 ? r.opt.renderer_type : (int32_t)r.opt.api, GpuDevice(r.gpu),
                  r.gpu.swapchain, GpuQueue(r.gpu)};
    r.version = {1, 10, 0, {}};
    r.param = {GetModuleHandleW(nullptr), &r.version, r.table, &r.renderer, nullptr};

    r.required_version(&r.version);
    std::printf("winhost: plugin asks for host version %d.%d\n", r.version.major, r.version.minor);
    const double t0 = NowUs();
    try {
        if (!r.initialize(&r.param)) {
            std::fprintf(stderr, "winhost: initialize returned false\n");
            return 4;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "winhost: initialize threw: %s\n", e.what());
        return 4;
    }
    std::printf("winhost: initialize took %.2f ms\n", (NowUs() - t0) / 1000.0);

    for (const ScriptStep& s : steps)
        if (!RunStep(r, s))
            break;
    if (steps.empty())
        for (MSG m; GetMessageW(&m, nullptr, 0, 0) > 0;) { // interactive: run until closed
            TranslateMessage(&m);
            DispatchMessageW(&m);
            Frame(r);
        }
    std::printf("winhost: %d checks, %d failed, %llu frames\n", r.checks, r.failures, (unsigned long long)r.frames);
    std::fflush(stdout);
    return r.failures == 0 ? 0 : 1;
}
