#include "ui/fonts.h"

#include "assets/font_faces.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

ImFont* FontUi = nullptr;
ImFont* FontDisplay = nullptr;
ImFont* FontSmall = nullptr;

//-----------------------------------------------------------------------------
// [SECTION] Shipped faces
//-----------------------------------------------------------------------------

const ImWchar* OverlayGlyphRanges()
{
    static const ImWchar kRanges[] = {
        0x0020, 0x00FF, // Basic Latin, Latin-1 Supplement
        0x0100, 0x024F, // Latin Extended-A and -B
        0x0370, 0x03FF, // Greek and Coptic
        0x0400, 0x052F, // Cyrillic, Cyrillic Supplement
        0x1E00, 0x1EFF, // Latin Extended Additional (Vietnamese)
        0x2000, 0x206F, // General Punctuation
        0x20A0, 0x20CF, // Currency Symbols
        0,
    };
    return kRanges;
}

//-----------------------------------------------------------------------------
// [SECTION] Growth state
//-----------------------------------------------------------------------------

namespace {

const int kScripts = 3;
// Files merged per script: the most suitable one that reads. Each is a
// collection of 4-20 MB kept in memory, and each merged source costs every
// rebuild time, so one per script.
const size_t kFilesPerScript = 1;
// Font collections of the systems we know are 5-30 MB; anything far larger is
// not a font.
const long kMaxFontFileBytes = 64L * 1024 * 1024;

struct LoadedFont
{
    std::string path;
    int face = 0;
    std::vector<unsigned char> data;
};

struct FontGrowth
{
    std::vector<uint64_t> asked = std::vector<uint64_t>(0x10000 / 64); // code points noted once
    std::vector<ImWchar> pending;
    std::vector<ImWchar> grown[kScripts];
    ImVector<ImWchar> ranges[kScripts]; // built from `grown`, alive while the atlas builds
    std::vector<SystemFontFile> files[kScripts];
    bool files_looked_up[kScripts] = {};
    std::vector<LoadedFont> loaded;      // kept: every rebuild reads them again
    std::vector<std::string> unreadable; // not tried twice
    double last_build = -1e30;
    FontGrowthStats stats;
    std::vector<SystemFontFile> (*find)(CjkScript) = FindCjkFontFiles;
};

FontGrowth& Growth()
{
    static FontGrowth g;
    return g;
}

int ScriptOf(unsigned cp)
{
    if ((cp >= 0x1100 && cp <= 0x11FF) || (cp >= 0x3130 && cp <= 0x318F) || (cp >= 0xA960 && cp <= 0xA97F) ||
        (cp >= 0xAC00 && cp <= 0xD7FF))
        return (int)CjkScript::Hangul;
    if ((cp >= 0x3040 && cp <= 0x30FF) || (cp >= 0x31F0 && cp <= 0x31FF) || (cp >= 0xFF65 && cp <= 0xFF9F))
        return (int)CjkScript::Kana;
    // Ideographs, CJK punctuation and full-width forms, and whatever else the
    // shipped faces lack: the Chinese faces cover the most of it.
    return (int)CjkScript::Han;
}

// The face index must exist in the file: Dear ImGui trusts it.
bool FaceExists(const std::vector<unsigned char>& d, int face)
{
    if (d.size() < 12)
        return false;
    auto u32 = [&d](size_t at) {
        return (uint32_t)d[at] << 24 | (uint32_t)d[at + 1] << 16 | (uint32_t)d[at + 2] << 8 | d[at + 3];
    };
    const uint32_t tag = u32(0);
    if (tag == 0x74746366) // "ttcf"
        return face >= 0 && (uint64_t)face < u32(8) && 12 + 4 * (size_t)face + 4 <= d.size() &&
               u32(12 + 4 * (size_t)face) + 12 <= d.size();
    return face == 0 && (tag == 0x00010000 || tag == 0x4F54544F /* OTTO */ || tag == 0x74727565 /* true */);
}

const LoadedFont* Load(FontGrowth& g, const SystemFontFile& f)
{
    for (const LoadedFont& l : g.loaded)
        if (l.path == f.path && l.face == f.face)
            return &l;
    for (const std::string& bad : g.unreadable)
        if (bad == f.path)
            return nullptr;
    // The same file with another face shares nothing: collections are read
    // per face at most once in a process.
    LoadedFont l;
    l.path = f.path;
    l.face = f.face;
    FILE* file = fopen(f.path.c_str(), "rb");
    bool ok = file != nullptr;
    if (ok && fseek(file, 0, SEEK_END) == 0) {
        const long size = ftell(file);
        ok = size > 0 && size <= kMaxFontFileBytes && fseek(file, 0, SEEK_SET) == 0;
        if (ok) {
            l.data.resize((size_t)size);
            ok = fread(l.data.data(), 1, l.data.size(), file) == l.data.size();
        }
    }
    if (file)
        fclose(file);
    if (!ok || !FaceExists(l.data, l.face)) {
        g.unreadable.push_back(f.path);
        return nullptr;
    }
    g.loaded.push_back(std::move(l));
    return &g.loaded.back();
}

const std::vector<SystemFontFile>& FilesFor(FontGrowth& g, int script)
{
    if (!g.files_looked_up[script]) {
        g.files_looked_up[script] = true;
        for (const SystemFontFile& f : g.find((CjkScript)script))
            if (g.files[script].size() < kFilesPerScript && Load(g, f))
                g.files[script].push_back(f);
    }
    return g.files[script];
}

void MergeGrown(ImFontAtlas& atlas, float px)
{
    FontGrowth& g = Growth();
    for (int s = 0; s < kScripts; s++) {
        if (g.grown[s].empty())
            continue;
        for (const SystemFontFile& f : FilesFor(g, s)) {
            const LoadedFont* l = Load(g, f);
            if (!l)
                continue;
            ImFontConfig cfg;
            cfg.MergeMode = true;
            cfg.FontNo = l->face;
            cfg.FontDataOwnedByAtlas = false;
            // Ideographs are dense: no horizontal oversampling keeps the atlas
            // small at no visible cost.
            cfg.OversampleH = 1;
            cfg.OversampleV = 1;
            cfg.PixelSnapH = true;
            atlas.AddFontFromMemoryTTF((void*)l->data.data(), (int)l->data.size(), px, &cfg, g.ranges[s].Data);
        }
    }
}

ImFont* AddPacked(ImFontAtlas& atlas, const unsigned char* data, unsigned int size, float px)
{
    if (size == 0)
        return nullptr;
    ImFontConfig cfg;
    cfg.OversampleH = 2;
    ImFont* font = atlas.AddFontFromMemoryCompressedTTF(data, (int)size, px, &cfg, OverlayGlyphRanges());
    MergeGrown(atlas, px);
    return font;
}

} // namespace

bool AddOverlayFonts(ImFontAtlas& atlas)
{
    FontUi = AddPacked(atlas, kInterRegularPacked, kInterRegularPackedSize, 18.0f);
    FontDisplay = AddPacked(atlas, kRobotoMediumPacked, kRobotoMediumPackedSize, 34.0f);
    FontSmall = AddPacked(atlas, kInterRegularPacked, kInterRegularPackedSize, 13.0f);
    return atlas.Build();
}

//-----------------------------------------------------------------------------
// [SECTION] Growth
//-----------------------------------------------------------------------------

void NoteTextGlyphs(const char* text, const char* text_end)
{
    if (!text || !FontUi)
        return;
    if (!text_end)
        text_end = text + strlen(text);
    FontGrowth* g = nullptr;
    for (const char* p = text; p < text_end;) {
        if ((unsigned char)*p < 0x80) {
            p++;
            continue;
        }
        unsigned int cp = 0;
        p += ImTextCharFromUtf8(&cp, p, text_end);
        if (cp > 0xFFFF || cp == 0xFFFD || FontUi->FindGlyphNoFallback((ImWchar)cp))
            continue;
        if (!g)
            g = &Growth();
        uint64_t& word = g->asked[cp >> 6];
        const uint64_t bit = (uint64_t)1 << (cp & 63);
        if (word & bit)
            continue;
        word |= bit;
        g->pending.push_back((ImWchar)cp);
    }
}

bool GrowFontAtlasIfDue(ImFontAtlas& atlas, double now)
{
    FontGrowth& g = Growth();
    if (g.pending.empty() || now - g.last_build < kGrowIntervalSeconds)
        return false;
    const auto t0 = std::chrono::steady_clock::now();
    int total = 0;
    for (int s = 0; s < kScripts; s++)
        total += (int)g.grown[s].size();
    bool added = false;
    for (ImWchar cp : g.pending) {
        const int s = ScriptOf(cp);
        // Without any system font for the script the character stays "?".
        bool have_font = false;
        for (const SystemFontFile& f : FilesFor(g, s))
            have_font = have_font || Load(g, f) != nullptr;
        if (!have_font || total >= kMaxGrownGlyphs)
            continue;
        g.grown[s].push_back(cp);
        total++;
        added = true;
    }
    g.pending.clear();
    if (!added)
        return false;
    for (int s = 0; s < kScripts; s++) {
        ImFontGlyphRangesBuilder b;
        for (ImWchar cp : g.grown[s])
            b.AddChar(cp);
        g.ranges[s].clear();
        b.BuildRanges(&g.ranges[s]);
    }
    ImGuiContext* ctx = ImGui::GetCurrentContext();
    if (ctx && ctx->WithinFrameScope)
        g.stats.built_in_frame = true;
    atlas.Clear();
    if (!AddOverlayFonts(atlas)) {
        // A system font Dear ImGui cannot read: back to the shipped faces.
        for (int s = 0; s < kScripts; s++) {
            g.grown[s].clear();
            g.ranges[s].clear();
            g.files[s].clear();
        }
        atlas.Clear();
        AddOverlayFonts(atlas);
    }
    g.last_build = now;
    g.stats.builds++;
    g.stats.last_build_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    return true;
}

FontGrowthStats FontGrowthInfo()
{
    FontGrowth& g = Growth();
    FontGrowthStats s = g.stats;
    s.grown = 0;
    for (int i = 0; i < kScripts; i++)
        s.grown += (int)g.grown[i].size();
    s.pending = (int)g.pending.size();
    return s;
}

void ResetFontGrowth(std::vector<SystemFontFile> (*find)(CjkScript))
{
    // Made afresh in place: ImVector's copy assignment hands memcpy a null
    // pointer when empty, which the sanitizers rightly refuse.
    FontGrowth& g = Growth();
    g.~FontGrowth();
    new (&g) FontGrowth();
    if (find)
        g.find = find;
}
