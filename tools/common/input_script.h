// Scripted input for the two harnesses: one step per line, '#' starts a
// comment. Steps (the harness says which it supports):
//   frames N                 present N frames (the desktop harness steps its clock
//                            1/60 s a frame, winhost by the real clock at 60 a
//                            second at most): what animates waits in frames
//   key NAME [repeat]        key down (auto-repeat flag set with "repeat")
//   keyup NAME               key up
//   syskey NAME              key down with Alt held (WM_SYSKEYDOWN)
//   tap NAME                 key down then up
//   type TEXT                characters (the rest of the line)
//   click [left|right]       button down then up at the current position
//   mousemove X Y            the system cursor to (X, Y), client pixels
//   move DX DY               relative mouse motion
//   wheel N                  N wheel steps
//   menu on|off              the host's own menu shown or not
//   resize W H               resize the swap chain (device reset)
//   screenshot PATH          save the next frame as PNG
//   check WHAT [ARGS]        a check the harness evaluates, printed ok/FAIL
//   bench LABEL N            time N frames of the overlay, printed
//   wait MS                  keep presenting frames (about 60 a second) for MS ms
//   datafile NAME TEXT       write TEXT as reframework/data/NAME in the working
//                            folder (before the first frame: a saved login)
//   waitfile NAME [WORD]     keep presenting frames until reframework/data/NAME
//                            exists (holding WORD), at most 60 s: a script
//                            waits for what the overlay did, not for a time
//   waitstill X0 Y0 X1 Y1 N  keep presenting frames until the box's pixels have
//                            not changed for N frames in a row, at most 60 s:
//                            an animation or a line arriving has settled
//   waitchange X0 Y0 X1 Y1   keep presenting frames until the box's pixels
//                            differ from those of the step's first frame, at
//                            most 60 s: something the overlay got has shown
// NAME: End, Tab, Enter, Escape, Backspace, Space, Left, Right, Up, Down,
// F1..F12, a letter or digit, or a virtual-key code as 0xNN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ScriptStep
{
    int line = 0;
    std::string op;
    std::vector<std::string> args; // whitespace-separated words after op
    std::string rest;              // everything after op, for "type"
};

// False with `error` set ("line N: ...") on a malformed line.
bool ParseInputScript(const std::string& text, std::vector<ScriptStep>& steps, std::string& error);

// Windows virtual-key code of a key name; -1 when unknown.
int VirtualKeyFromName(const std::string& name);

// The "clean" checks: with the menu closed the overlay still draws its
// indicators in the top-right corner (the Co-op button, the open-menu hint
// below it); nothing may change outside that band of a `width`-wide frame.
inline bool InIndicatorBand(size_t x, size_t y, size_t width)
{
    return x + 560 >= width && y < 200;
}

// The datafile step; false when the file could not be written.
bool WriteScriptDataFile(const ScriptStep& step);

// The waitfile step's condition.
bool ScriptDataFileReady(const ScriptStep& step);

// The waitstill and waitchange steps' condition, fed one frame at a time:
// `top_row` is the frame's first row (RGBA), `stride` the bytes from one row
// to the next below.
struct RegionWatch
{
    uint64_t first = 0; // the box's pixels on the step's first frame (a hash)
    uint64_t hash = 0;  // ... on the last frame
    int same = 0;       // frames in a row with the same pixels
    bool seen = false;
};
bool ScriptRegionSettled(const ScriptStep& step, const uint8_t* top_row, int width, int height, ptrdiff_t stride,
                         RegionWatch& watch);

bool ReadTextFile(const std::string& path, std::string& text);
