// Reading ten members from a 64 KiB reply: each getter scans from the start, so
// this is ten passes over the text, the cost of reading the largest replies.
#include "backend/json_text.h"

#include <benchmark/benchmark.h>

static std::string BigReply()
{
    // A flat reply as the service writes it: fixed members first, then a long
    // list of user entries, then the members read last.
    std::string s = "{\"ok\":true,\"count\":400,\"items\":[";
    int i = 0;
    while (s.size() < 64 * 1024 - 300) {
        s += (i ? "," : "");
        s += "{\"gamertag\":\"player_" + std::to_string(i) + "\",\"text\":\"" +
             std::string(96, 'x') + "\",\"unread\":" + std::to_string(i % 7) + "}";
        i++;
    }
    s += "],\"username\":\"kes\\\"trel\",\"gamertag\":\"K\",\"role\":\"user\",\"email_verified\":true,"
         "\"token\":\"0123456789abcdef\",\"last_id\":123456,\"tail\":\"end\"}";
    s.resize(64 * 1024, ' ');
    return s;
}

static void BM_ReadTenMembers64K(benchmark::State& state)
{
    const std::string reply = BigReply();
    for (auto _ : state) {
        bool ok = false, verified = false;
        int32_t count = 0, last = 0;
        benchmark::DoNotOptimize(JsonGetBool(reply, "ok", ok));
        benchmark::DoNotOptimize(JsonGetInt(reply, "count", count));
        benchmark::DoNotOptimize(JsonGetString(reply, "username"));
        benchmark::DoNotOptimize(JsonGetString(reply, "role"));
        benchmark::DoNotOptimize(JsonGetBool(reply, "email_verified", verified));
        benchmark::DoNotOptimize(JsonGetString(reply, "token"));
        benchmark::DoNotOptimize(JsonGetInt(reply, "last_id", last));
        benchmark::DoNotOptimize(JsonGetString(reply, "tail"));
        benchmark::DoNotOptimize(JsonGetString(reply, "missing"));
        benchmark::DoNotOptimize(JsonGetObjectArray(reply, "items"));
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)reply.size() * 10);
}
BENCHMARK(BM_ReadTenMembers64K);

static void BM_Escape64K(benchmark::State& state)
{
    std::string text;
    while (text.size() < 64 * 1024)
        text += "chat line with \"quotes\", a tab\t and \xC3\xA9 ";
    for (auto _ : state)
        benchmark::DoNotOptimize(JsonEscape(text));
    state.SetBytesProcessed(state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_Escape64K);
