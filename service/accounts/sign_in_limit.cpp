#include "accounts/sign_in_limit.h"

namespace {

constexpr size_t kMaxEntries = 100000;

std::string NameKey(const std::string& name)
{
    std::string key = "n:";
    for (char c : name)
        key += (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
    return key;
}

int Failures(SignInLimit& limit, const std::string& key, int64_t now)
{
    auto it = limit.entries.find(key);
    if (it == limit.entries.end() || now - it->second.window_start >= limit.window_s)
        return 0;
    return it->second.failures;
}

void Count(SignInLimit& limit, const std::string& key, int64_t now)
{
    SignInLimit::Entry& e = limit.entries[key];
    if (now - e.window_start >= limit.window_s) {
        e.failures = 0;
        e.window_start = now;
    }
    e.failures++;
}

} // namespace

bool SignInAllowed(SignInLimit& limit, const std::string& name, const std::string& address, int64_t now)
{
    std::lock_guard<std::mutex> hold(limit.lock);
    return Failures(limit, NameKey(name), now) < limit.max_per_name &&
           Failures(limit, "a:" + address, now) < limit.max_per_address;
}

void NoteFailedSignIn(SignInLimit& limit, const std::string& name, const std::string& address, int64_t now)
{
    std::lock_guard<std::mutex> hold(limit.lock);
    if (limit.entries.size() >= kMaxEntries) {
        // Forget finished windows first; if all are live, start over rather than grow.
        for (auto it = limit.entries.begin(); it != limit.entries.end();)
            it = now - it->second.window_start >= limit.window_s ? limit.entries.erase(it) : std::next(it);
        if (limit.entries.size() >= kMaxEntries)
            limit.entries.clear();
    }
    Count(limit, NameKey(name), now);
    Count(limit, "a:" + address, now);
}

void NoteSignIn(SignInLimit& limit, const std::string& name)
{
    std::lock_guard<std::mutex> hold(limit.lock);
    limit.entries.erase(NameKey(name));
}
