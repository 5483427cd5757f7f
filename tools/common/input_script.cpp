#include "input_script.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

struct Arity
{
    const char* op;
    int min_args;
};

const Arity kSteps[] = {
    {"frames", 1}, {"key", 1}, {"keyup", 1}, {"syskey", 1}, {"tap", 1}, {"type", 0},
    {"click", 0}, {"mousemove", 2}, {"move", 2}, {"wheel", 1}, {"menu", 1}, {"resize", 2},
    {"screenshot", 1}, {"check", 1}, {"bench", 2}, {"wait", 1}, {"datafile", 2}, {"waitfile", 1},
    {"waitstill", 5}, {"waitchange", 4},
};

} // namespace

int VirtualKeyFromName(const std::string& name)
{
    struct Named { const char* name; int vk; };
    static const Named kNamed[] = {
        {"End", 0x23}, {"Home", 0x24}, {"Tab", 0x09}, {"Enter", 0x0D}, {"Escape", 0x1B},
        {"Backspace", 0x08}, {"Space", 0x20}, {"Left", 0x25}, {"Up", 0x26}, {"Right", 0x27},
        {"Down", 0x28}, {"Delete", 0x2E}, {"Insert", 0x2D}, {"Shift", 0x10}, {"Ctrl", 0x11}, {"Alt", 0x12},
    };
    for (const Named& n : kNamed)
        if (name == n.name)
            return n.vk;
    if (name.size() == 1 && std::isalnum((unsigned char)name[0]))
        return std::toupper((unsigned char)name[0]);
    if (name.size() >= 2 && name[0] == 'F' && std::isdigit((unsigned char)name[1])) {
        const int n = std::atoi(name.c_str() + 1);
        if (n >= 1 && n <= 24)
            return 0x70 + n - 1;
    }
    if (name.size() > 2 && name[0] == '0' && (name[1] == 'x' || name[1] == 'X')) {
        char* end = nullptr;
        const long v = std::strtol(name.c_str() + 2, &end, 16);
        if (*end == '\0' && v >= 0 && v <= 0xFFFF)
            return (int)v;
    }
    return -1;
}

bool ParseInputScript(const std::string& text, std::vector<ScriptStep>& steps, std::string& error)
{
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        number++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        ScriptStep step;
        step.line = number;
        std::istringstream words(line.substr(start));
        words >> step.op;
        const size_t op_end = start + step.op.size();
        step.rest = op_end < line.size() ? line.substr(op_end + 1) : "";
        for (std::string w; words >> w;)
            step.args.push_back(w);
        const Arity* found = nullptr;
        for (const Arity& a : kSteps)
            if (step.op == a.op)
                found = &a;
        if (!found) {
            error = "line " + std::to_string(number) + ": unknown step '" + step.op + "'";
            return false;
        }
        if ((int)step.args.size() < found->min_args) {
            error = "line " + std::to_string(number) + ": '" + step.op + "' needs " +
                    std::to_string(found->min_args) + " argument(s)";
            return false;
        }
        steps.push_back(step);
    }
    return true;
}

bool ReadTextFile(const std::string& path, std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return true;
}

bool WriteScriptDataFile(const ScriptStep& step)
{
    // The text is the rest of the line after the file name, as written.
    const std::string& name = step.args[0];
    size_t at = step.rest.find(name);
    if (at == std::string::npos || name.find_first_of("/\\") != std::string::npos)
        return false;
    at = step.rest.find_first_not_of(" \t", at + name.size());
    const std::string text = at == std::string::npos ? std::string() : step.rest.substr(at);
    std::error_code ec;
    std::filesystem::create_directories("reframework/data", ec);
    FILE* f = std::fopen(("reframework/data/" + name).c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

bool ScriptDataFileReady(const ScriptStep& step)
{
    std::string text;
    if (!ReadTextFile("reframework/data/" + step.args[0], text))
        return false;
    return step.args.size() < 2 || text.find(step.args[1]) != std::string::npos;
}

bool ScriptRegionSettled(const ScriptStep& step, const uint8_t* top_row, int width, int height, ptrdiff_t stride,
                         RegionWatch& watch)
{
    const int x0 = std::max(0, std::atoi(step.args[0].c_str())), y0 = std::max(0, std::atoi(step.args[1].c_str()));
    const int x1 = std::min(width, std::atoi(step.args[2].c_str())), y1 = std::min(height, std::atoi(step.args[3].c_str()));
    uint64_t hash = 1469598103934665603ull; // FNV-1a over the box's rows
    for (int y = y0; y < y1; y++) {
        const uint8_t* p = top_row + (ptrdiff_t)y * stride + (ptrdiff_t)x0 * 4;
        for (int i = 0; i < (x1 - x0) * 4; i++)
            hash = (hash ^ p[i]) * 1099511628211ull;
    }
    if (!watch.seen) {
        watch.seen = true;
        watch.first = watch.hash = hash;
        return false;
    }
    if (step.op == "waitchange")
        return hash != watch.first;
    watch.same = hash == watch.hash ? watch.same + 1 : 0;
    watch.hash = hash;
    return watch.same >= std::max(1, std::atoi(step.args[4].c_str()));
}
