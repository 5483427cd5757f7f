#include "ui/input_queue.h"

#include "state/app_state.h"

#include <imgui.h>

#include <algorithm>

namespace {

void FoldOldestFrames(InputQueueState& q);

// The newest InputFrame for the current counter, created when needed.
InputFrame& CurrentFrame(InputQueueState& q)
{
    if (q.frames.empty() || q.frames.back().frame < q.frame_counter) {
        if (q.frames.size() >= kMaxQueuedInputFrames)
            FoldOldestFrames(q);
        q.frames.emplace_back();
        q.frames.back().frame = q.frame_counter;
    }
    return q.frames.back();
}

// Keeps a full event list bounded without leaving a key or button stuck: only
// the last event of each code survives.
template <class Event, class Code>
void CompactEvents(std::vector<Event>& events, Code Event::*code)
{
    std::vector<Event> kept;
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
        const bool seen = std::any_of(kept.begin(), kept.end(),
                                      [&](const Event& e) { return e.*code == (*it).*code; });
        if (!seen)
            kept.push_back(*it);
    }
    std::reverse(kept.begin(), kept.end());
    events.swap(kept);
}

// The backlog is full: the oldest frame takes the second oldest's events and
// keeps only the last event of each key and button.
void FoldOldestFrames(InputQueueState& q)
{
    InputFrame& a = q.frames[0];
    InputFrame& b = q.frames[1];
    if (b.focus_lost) {
        a.focus_lost = true;
        a.keys.clear();
        a.buttons.clear();
        a.chars.clear();
        a.wheel = a.wheel_h = 0.0f;
    }
    a.keys.insert(a.keys.end(), b.keys.begin(), b.keys.end());
    a.buttons.insert(a.buttons.end(), b.buttons.begin(), b.buttons.end());
    CompactEvents(a.keys, &InputKeyEvent::vk);
    CompactEvents(a.buttons, &InputButtonEvent::button);
    for (uint16_t c : b.chars)
        if ((int)a.chars.size() < kMaxEventsPerInputFrame)
            a.chars.push_back(c);
    a.wheel += b.wheel;
    a.wheel_h += b.wheel_h;
    q.frames.erase(q.frames.begin() + 1);
}

// Key and button edges waiting, over every queued frame.
size_t QueuedEdges(const InputQueueState& q)
{
    size_t n = 0;
    for (const InputFrame& f : q.frames)
        n += f.keys.size() + f.buttons.size();
    return n;
}

// Falling behind for good (more edges waiting than frames to show them in
// soon): everything waiting is folded to its last word per code, so input is
// never applied seconds after it happened.
void FoldIfBehind(InputQueueState& q)
{
    if (QueuedEdges(q) < kMaxQueuedInputEdges)
        return;
    while (q.frames.size() > 1)
        FoldOldestFrames(q);
    CompactEvents(q.frames[0].keys, &InputKeyEvent::vk);
    CompactEvents(q.frames[0].buttons, &InputButtonEvent::button);
}

// Applies events in order, at most one per code: a second event of a code
// (its release after its press, or a new press after a release) waits for the
// next frame, so Dear ImGui sees each edge. Returns how many were applied.
template <class Event>
size_t ApplyOnePerCode(const std::vector<Event>& events, uint8_t Event::*code, bool* table)
{
    bool touched[256] = {}; // on the stack: this runs on the game's render thread
    size_t n = 0;
    for (; n < events.size(); n++) {
        const Event& e = events[n];
        const uint8_t c = e.*code;
        if (table[c] == e.down)
            continue; // changes nothing: does not use the code's one edge
        if (touched[c])
            break;
        touched[c] = true;
        table[c] = e.down;
    }
    return n;
}

void ClearMouseAndKeys(ImGuiIO& io)
{
    io.MousePos = ImVec2(0.0f, 0.0f);
    std::fill(std::begin(io.MouseDown), std::end(io.MouseDown), false);
    std::fill(std::begin(io.KeysDown), std::end(io.KeysDown), false);
    io.KeyCtrl = io.KeyShift = io.KeyAlt = io.KeySuper = false;
}

} // namespace

void QueueKeyEvent(uint32_t vk, bool down)
{
    if (vk >= 256)
        return;
    InputQueueState& q = g_app.input;
    std::lock_guard<std::mutex> g(q.lock);
    if (down && q.keys_down[vk])
        return;
    q.keys_down[vk] = down;
    FoldIfBehind(q);
    InputFrame& f = CurrentFrame(q);
    if ((int)f.keys.size() >= kMaxEventsPerInputFrame)
        CompactEvents(f.keys, &InputKeyEvent::vk);
    f.keys.push_back({(uint8_t)vk, down});
}

void QueueMouseButtonEvent(int button, bool down)
{
    if (button < 0 || button > 4)
        return;
    InputQueueState& q = g_app.input;
    std::lock_guard<std::mutex> g(q.lock);
    FoldIfBehind(q);
    InputFrame& f = CurrentFrame(q);
    if ((int)f.buttons.size() >= kMaxEventsPerInputFrame)
        CompactEvents(f.buttons, &InputButtonEvent::button);
    f.buttons.push_back({(uint8_t)button, down});
    if (down)
        q.buttons_down |= (uint8_t)(1u << button);
    else
        q.buttons_down &= (uint8_t)~(1u << button);
}

void QueueCharEvent(uint32_t ch)
{
    if (ch == 0 || ch > 0xFFFF)
        return;
    InputQueueState& q = g_app.input;
    std::lock_guard<std::mutex> g(q.lock);
    InputFrame& f = CurrentFrame(q);
    // Characters are not state: past the bound they are dropped.
    if ((int)f.chars.size() < kMaxEventsPerInputFrame)
        f.chars.push_back((uint16_t)ch);
}

void QueueWheel(float vertical, float horizontal)
{
    InputQueueState& q = g_app.input;
    std::lock_guard<std::mutex> g(q.lock);
    InputFrame& f = CurrentFrame(q);
    f.wheel += vertical;
    f.wheel_h += horizontal;
}

void QueueFocusLost()
{
    InputQueueState& q = g_app.input;
    std::lock_guard<std::mutex> g(q.lock);
    InputFrame& f = CurrentFrame(q);
    // What this frame gathered before the loss would be cleared anyway.
    f.focus_lost = true;
    f.keys.clear();
    f.buttons.clear();
    q.buttons_down = 0;
    std::fill(std::begin(q.keys_down), std::end(q.keys_down), false);
}

uint8_t QueuedButtonsDown()
{
    InputQueueState& q = g_app.input;
    std::lock_guard<std::mutex> g(q.lock);
    return q.buttons_down;
}

bool ApplyQueuedInput(ImGuiIO& io)
{
    InputQueueState& q = g_app.input;
    std::lock_guard<std::mutex> g(q.lock);
    q.frame_counter++;
    if (q.frames.empty())
        return false;
    InputFrame& f = q.frames.front();
    if (f.focus_lost)
        ClearMouseAndKeys(io);
    const size_t keys_used = ApplyOnePerCode(f.keys, &InputKeyEvent::vk, io.KeysDown);
    const size_t buttons_used = ApplyOnePerCode(f.buttons, &InputButtonEvent::button, io.MouseDown);
    for (uint16_t c : f.chars)
        io.AddInputCharacterUTF16(c);
    io.MouseWheel += f.wheel;
    io.MouseWheelH += f.wheel_h;
    if (keys_used == f.keys.size() && buttons_used == f.buttons.size()) {
        q.frames.erase(q.frames.begin());
    } else {
        // Several edges of one key or button gathered in one frame: the rest
        // waits for the next frames.
        f.keys.erase(f.keys.begin(), f.keys.begin() + (ptrdiff_t)keys_used);
        f.buttons.erase(f.buttons.begin(), f.buttons.begin() + (ptrdiff_t)buttons_used);
        f.chars.clear();
        f.wheel = f.wheel_h = 0.0f;
        f.focus_lost = false;
    }
    return true;
}

void ResetInputQueue()
{
    InputQueueState& q = g_app.input;
    std::lock_guard<std::mutex> g(q.lock);
    q.frames.clear();
    q.buttons_down = 0;
    std::fill(std::begin(q.keys_down), std::end(q.keys_down), false);
}
