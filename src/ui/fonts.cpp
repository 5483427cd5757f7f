#include "ui/fonts.h"

#include "assets/font_faces.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <string>
#include <vector>

#if defined(__SANITIZE_THREAD__)
// Dear ImGui counts its allocations for its metrics window in a plain int of
// the current context, also from the atlas build worker: a count that may
// come out wrong, nothing more.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:ImGui::MemAlloc\nrace:ImGui::MemFree\n";
}
#endif

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
    std::vector<unsigned char> data; // its buffer never moves: atlases point into it
};

// The system font files: looked up and read by the build worker only (one
// build at a time), kept for the life of the atlases that point into them.
struct FontFiles
{
    std::vector<SystemFontFile> files[kScripts];
    bool looked_up[kScripts] = {};
    std::vector<LoadedFont> loaded;
    std::vector<std::string> unreadable; // not tried twice
    std::vector<SystemFontFile> (*find)(CjkScript) = FindCjkFontFiles;
};

// Grown characters, per script, with the glyph ranges built from them; the
// ranges stay alive with the atlas built from them (a device reset rebuilds
// it from the same configuration).
struct GrownSet
{
    std::vector<ImWchar> chars[kScripts];
    ImVector<ImWchar> ranges[kScripts];
};

// One build away from the render thread: everything it reads and writes.
struct AtlasJob
{
    std::shared_ptr<FontFiles> files;
    std::shared_ptr<GrownSet> grown;  // in: the current set; out: the new one
    std::vector<ImWchar> add;         // in: characters to add
    ImFontAtlas* atlas = nullptr;     // out: null when nothing was added
    ImFont* fonts[3] = {};
    bool fell_back = false;           // a system font did not build: shipped faces only
    double build_ms = 0.0;
    const void* owner = nullptr;      // the io it was started for
    std::atomic<bool> done{false};
};

struct FontGrowth
{
    std::vector<uint64_t> asked = std::vector<uint64_t>(0x10000 / 64); // code points noted once
    std::vector<ImWchar> pending;
    std::shared_ptr<FontFiles> files = std::make_shared<FontFiles>();
    std::shared_ptr<GrownSet> grown = std::make_shared<GrownSet>(); // what the current atlas holds
    std::shared_ptr<AtlasJob> job;                                  // the build in flight
    double last_build = -1e30;
    FontGrowthStats stats;
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

const LoadedFont* Load(FontFiles& g, const SystemFontFile& f)
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

const std::vector<SystemFontFile>& FilesFor(FontFiles& g, int script)
{
    if (!g.looked_up[script]) {
        g.looked_up[script] = true;
        for (const SystemFontFile& f : g.find((CjkScript)script))
            if (g.files[script].size() < kFilesPerScript && Load(g, f))
                g.files[script].push_back(f);
    }
    return g.files[script];
}

// What the atlas being built merges in; set only around a build.
struct MergeSources
{
    FontFiles* files = nullptr;
    GrownSet* grown = nullptr;
};

void MergeGrown(ImFontAtlas& atlas, float px, const MergeSources& src)
{
    if (!src.files || !src.grown)
        return;
    for (int s = 0; s < kScripts; s++) {
        if (src.grown->chars[s].empty())
            continue;
        for (const SystemFontFile& f : FilesFor(*src.files, s)) {
            const LoadedFont* l = Load(*src.files, f);
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
            atlas.AddFontFromMemoryTTF((void*)l->data.data(), (int)l->data.size(), px, &cfg,
                                       src.grown->ranges[s].Data);
        }
    }
}

ImFont* AddPacked(ImFontAtlas& atlas, const unsigned char* data, unsigned int size, float px,
                  const MergeSources& src)
{
    if (size == 0)
        return nullptr;
    ImFontConfig cfg;
    cfg.OversampleH = 2;
    ImFont* font = atlas.AddFontFromMemoryCompressedTTF(data, (int)size, px, &cfg, OverlayGlyphRanges());
    MergeGrown(atlas, px, src);
    return font;
}

bool AddFontsTo(ImFontAtlas& atlas, ImFont* out[3], const MergeSources& src)
{
    out[0] = AddPacked(atlas, kInterRegularPacked, kInterRegularPackedSize, 18.0f, src);
    out[1] = AddPacked(atlas, kRobotoMediumPacked, kRobotoMediumPackedSize, 34.0f, src);
    out[2] = AddPacked(atlas, kInterRegularPacked, kInterRegularPackedSize, 13.0f, src);
    return atlas.Build();
}

// The build worker: reads the system fonts it needs, builds a new atlas with
// the characters added and converts its texture to the RGBA the renderers
// upload. Touches nothing the render thread uses.
void BuildAtlasAway(std::shared_ptr<AtlasJob> job)
{
    LowerThisThreadPriority();
    const auto t0 = std::chrono::steady_clock::now();
    FontFiles& files = *job->files;
    auto grown = std::make_shared<GrownSet>();
    int total = 0;
    for (int s = 0; s < kScripts; s++) {
        grown->chars[s] = job->grown->chars[s];
        total += (int)grown->chars[s].size();
    }
    bool added = false;
    for (ImWchar cp : job->add) {
        const int s = ScriptOf(cp);
        // Without any system font for the script the character stays "?".
        bool have_font = false;
        for (const SystemFontFile& f : FilesFor(files, s))
            have_font = have_font || Load(files, f) != nullptr;
        if (!have_font || total >= kMaxGrownGlyphs)
            continue;
        grown->chars[s].push_back(cp);
        total++;
        added = true;
    }
    if (added) {
        for (int s = 0; s < kScripts; s++) {
            ImFontGlyphRangesBuilder b;
            for (ImWchar cp : grown->chars[s])
                b.AddChar(cp);
            b.BuildRanges(&grown->ranges[s]);
        }
        ImFontAtlas* atlas = IM_NEW(ImFontAtlas)();
        if (!AddFontsTo(*atlas, job->fonts, MergeSources{&files, grown.get()})) {
            // A system font Dear ImGui cannot read: back to the shipped faces.
            for (int s = 0; s < kScripts; s++)
                files.files[s].clear();
            grown = std::make_shared<GrownSet>();
            atlas->Clear();
            AddFontsTo(*atlas, job->fonts, MergeSources{});
            job->fell_back = true;
        }
        unsigned char* pixels;
        int w, h;
        atlas->GetTexDataAsRGBA32(&pixels, &w, &h);
        job->atlas = atlas;
        job->grown = grown;
    }
    job->build_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    job->done.store(true, std::memory_order_release);
}

void WaitForJob(FontGrowth& g)
{
    while (g.job && !g.job->done.load(std::memory_order_acquire))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

bool AddOverlayFonts(ImFontAtlas& atlas)
{
    FontGrowth& g = Growth();
    WaitForJob(g); // the worker owns the font files while it builds
    ImFont* fonts[3] = {};
    const bool ok = AddFontsTo(atlas, fonts, MergeSources{g.files.get(), g.grown.get()});
    FontUi = fonts[0];
    FontDisplay = fonts[1];
    FontSmall = fonts[2];
    return ok;
}

//-----------------------------------------------------------------------------
// [SECTION] Growth
//-----------------------------------------------------------------------------

namespace {

void NoteCodePoint(unsigned int cp)
{
    if (cp < 0x80 || cp > 0xFFFF || cp == 0xFFFD || FontUi->FindGlyphNoFallback((ImWchar)cp))
        return;
    FontGrowth& g = Growth();
    uint64_t& word = g.asked[cp >> 6];
    const uint64_t bit = (uint64_t)1 << (cp & 63);
    if (word & bit)
        return;
    word |= bit;
    g.pending.push_back((ImWchar)cp);
}

} // namespace

void NoteTextGlyphs(const char* text, const char* text_end)
{
    if (!text || !FontUi)
        return;
    if (!text_end)
        text_end = text + strlen(text);
    for (const char* p = text; p < text_end;) {
        if ((unsigned char)*p < 0x80) {
            p++;
            continue;
        }
        unsigned int cp = 0;
        p += ImTextCharFromUtf8(&cp, p, text_end);
        NoteCodePoint(cp);
    }
}

void NoteActiveInputGlyphs()
{
    ImGuiContext* ctx = ImGui::GetCurrentContext();
    if (!ctx || !FontUi)
        return;
    const ImGuiInputTextState& st = ctx->InputTextState;
    // A password field shows only its mask.
    if (st.ID == 0 || st.ID != ctx->ActiveId || (st.Flags & ImGuiInputTextFlags_Password))
        return;
    for (int i = 0; i < st.CurLenW && i < st.TextW.Size; i++)
        NoteCodePoint((unsigned int)st.TextW[i]);
}

bool GrowFontAtlasIfDue(ImGuiIO& io, double now)
{
    FontGrowth& g = Growth();
    bool swapped = false;
    if (g.job && g.job->done.load(std::memory_order_acquire)) {
        std::shared_ptr<AtlasJob> job = std::move(g.job);
        g.stats.last_build_ms = job->build_ms;
        if (job->atlas && job->owner == (const void*)&io) {
            ImGuiContext* ctx = ImGui::GetCurrentContext();
            if (ctx && ctx->WithinFrameScope)
                g.stats.built_in_frame = true;
            // Between two frames nothing draws from the old atlas; the
            // context owns the new one from here on.
            IM_DELETE(io.Fonts);
            io.Fonts = job->atlas;
            FontUi = job->fonts[0];
            FontDisplay = job->fonts[1];
            FontSmall = job->fonts[2];
            g.grown = job->grown;
            g.stats.builds++;
            swapped = true;
        } else if (job->atlas) {
            IM_DELETE(job->atlas); // built for a context that is gone
        }
    }
    if (g.job || g.pending.empty() || now - g.last_build < kGrowIntervalSeconds)
        return swapped;
    auto job = std::make_shared<AtlasJob>();
    job->files = g.files;
    job->grown = g.grown;
    job->add.swap(g.pending);
    job->owner = &io;
    g.last_build = now;
    g.job = job;
    try {
        std::thread(BuildAtlasAway, job).detach();
    } catch (const std::system_error&) {
        // No thread now: the characters wait for the next chance.
        g.pending.swap(job->add);
        g.job.reset();
    }
    return swapped;
}

bool FontBuildInFlight()
{
    return Growth().job != nullptr;
}

bool FontBuildReady()
{
    const FontGrowth& g = Growth();
    return g.job && g.job->done.load(std::memory_order_acquire);
}

FontGrowthStats FontGrowthInfo()
{
    FontGrowth& g = Growth();
    FontGrowthStats s = g.stats;
    s.grown = 0;
    for (int i = 0; i < kScripts; i++)
        s.grown += (int)g.grown->chars[i].size();
    s.pending = (int)g.pending.size() + (g.job ? (int)g.job->add.size() : 0);
    return s;
}

void ResetFontGrowth(std::vector<SystemFontFile> (*find)(CjkScript))
{
    FontGrowth& g = Growth();
    WaitForJob(g);
    if (g.job && g.job->atlas)
        IM_DELETE(g.job->atlas);
    g.job.reset();
    g.asked.assign(g.asked.size(), 0);
    g.pending.clear();
    g.files = std::make_shared<FontFiles>();
    g.grown = std::make_shared<GrownSet>();
    g.last_build = -1e30;
    g.stats = FontGrowthStats{};
    if (find)
        g.files->find = find;
}
