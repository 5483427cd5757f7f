// Every JSONTestSuite file (valid, invalid and hostile JSON) goes through every
// helper. The scanners are not a parser, so nothing here passes or fails as
// JSON; what must hold is that each call ends, stays inside the text and keeps
// the shape of its result.
#include "backend/json_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

static std::vector<fs::path> CorpusFiles()
{
    std::vector<fs::path> files;
    std::error_code ec;
    for (const char* sub : {"test_parsing", "test_transform"}) {
        const fs::path dir = fs::path(KESTREL_JSON_CORPUS) / sub;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file())
                files.push_back(it->path());
    }
    return files;
}

static std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Keys worth asking for: the empty key, a common one, and the first few quoted
// tokens of the text itself, so lookups really land inside hostile input.
static std::vector<std::string> KeysFor(const std::string& text)
{
    std::vector<std::string> keys = {"", "a", "ok"};
    size_t p = 0;
    while (keys.size() < 10) {
        const size_t open = text.find('"', p);
        if (open == std::string::npos)
            break;
        const size_t close = text.find('"', open + 1);
        if (close == std::string::npos)
            break;
        keys.push_back(text.substr(open + 1, close - open - 1));
        p = close + 1;
    }
    return keys;
}

TEST(JsonCorpus, EveryFileThroughEveryHelper)
{
    // The corpus lives beside the repository (KESTREL_SHARED_DIR), not in it:
    // a plain clone has no such folder, and then there is nothing to run.
    std::error_code ec;
    if (!fs::is_directory(KESTREL_JSON_CORPUS, ec))
        GTEST_SKIP() << "JSON corpus folder not found: " << KESTREL_JSON_CORPUS;
    const std::vector<fs::path> files = CorpusFiles();
    ASSERT_GE(files.size(), 300u) << "corpus missing at " << KESTREL_JSON_CORPUS;

    for (const fs::path& path : files) {
        SCOPED_TRACE(path.filename().string());
        const std::string text = ReadAll(path);

        const std::string escaped = JsonEscape(text);
        for (unsigned char c : escaped)
            ASSERT_GE(c, 0x20) << "raw control byte left in escaped text";
        EXPECT_GE(escaped.size(), text.size());

        for (const std::string& key : KeysFor(text)) {
            const std::string s = JsonGetString(text, key.c_str());
            EXPECT_LE(s.size(), text.size());

            bool b = false;
            JsonGetBool(text, key.c_str(), b);
            int32_t n = 0;
            JsonGetInt(text, key.c_str(), n);

            size_t total = 0;
            for (const std::string& element : JsonGetObjectArray(text, key.c_str())) {
                ASSERT_GE(element.size(), 2u);
                EXPECT_EQ(element.front(), '{');
                EXPECT_EQ(element.back(), '}');
                EXPECT_NE(text.find(element), std::string::npos);
                total += element.size();
            }
            EXPECT_LE(total, text.size());
        }
    }
}
