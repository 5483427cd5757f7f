// All five JSON text helpers over arbitrary bytes. The first byte picks how
// much of the input is the key; the rest is the reply text. An exact-size copy
// of the reply lets ASan see any read past its end.
#include "backend/json_text.h"

#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t key_len = data[0] % 16;
    data++;
    size--;
    std::string key;
    if (key_len <= size) {
        key.assign((const char*)data, key_len);
        key = key.c_str(); // keys are C strings
        data += key_len;
        size -= key_len;
    } else {
        key = "a";
    }
    const std::string json((const char*)data, size);

    const std::string escaped = JsonEscape(json);
    for (unsigned char c : escaped)
        if (c < 0x20)
            __builtin_trap();

    const std::string s = JsonGetString(json, key.c_str());
    if (s.size() > json.size())
        __builtin_trap();
    bool b = false;
    JsonGetBool(json, key.c_str(), b);
    int32_t n = 0;
    JsonGetInt(json, key.c_str(), n);
    for (const std::string& e : JsonGetObjectArray(json, key.c_str()))
        if (e.size() < 2 || e.front() != '{' || e.back() != '}')
            __builtin_trap();

    // Escaped printable text must read back unchanged.
    const std::string body = "{\"k\":\"" + escaped + "\"}";
    if (json.find_first_of(std::string("\0\x01\x02\x03\x04\x05\x06\x07\x08\x0b\x0c\x0e\x0f"
                                       "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f", 29)) ==
            std::string::npos &&
        JsonGetString(body, "k") != json)
        __builtin_trap();
    return 0;
}
