#include "accounts/credentials.h"

#include <sodium.h>

#include <condition_variable>
#include <mutex>

namespace {

// Argon2id, t = 2, m = 19 MiB, p = 1.
constexpr unsigned long long kOpsLimit = 2;
constexpr size_t kMemLimit = 19u * 1024 * 1024;
constexpr int kMaxConcurrentHashes = 2;

std::mutex g_hash_lock;
std::condition_variable g_hash_free;
int g_hashing = 0;

// Bounds the memory of concurrent Argon2 runs.
struct HashSlot
{
    HashSlot()
    {
        std::unique_lock<std::mutex> hold(g_hash_lock);
        g_hash_free.wait(hold, [] { return g_hashing < kMaxConcurrentHashes; });
        g_hashing++;
    }
    ~HashSlot()
    {
        std::lock_guard<std::mutex> hold(g_hash_lock);
        g_hashing--;
        g_hash_free.notify_one();
    }
    HashSlot(const HashSlot&) = delete;
    HashSlot& operator=(const HashSlot&) = delete;
};

std::string Hex(const unsigned char* bytes, size_t n)
{
    std::string out(n * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes, n);
    out.pop_back();
    return out;
}

} // namespace

bool InitCredentials()
{
    return sodium_init() >= 0;
}

bool HashPassword(const std::string& password, std::string& hash)
{
    char out[crypto_pwhash_STRBYTES];
    HashSlot slot;
    if (crypto_pwhash_str_alg(out, password.data(), password.size(), kOpsLimit, kMemLimit,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return false;
    hash = out;
    return true;
}

bool VerifyPassword(const std::string& hash, const std::string& password)
{
    if (hash.size() >= crypto_pwhash_STRBYTES)
        return false;
    HashSlot slot;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string NewToken()
{
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof(bytes));
    return Hex(bytes, sizeof(bytes));
}

std::string TokenHash(const std::string& token)
{
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, (const unsigned char*)token.data(), token.size());
    return Hex(digest, sizeof(digest));
}

bool LooksLikeToken(const std::string& text)
{
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

bool PasswordAcceptable(const std::string& password)
{
    if (password.size() < 8 || password.size() > 128)
        return false;
    bool capital = false;
    bool special = false;
    for (unsigned char c : password) {
        if (c >= 'A' && c <= 'Z')
            capital = true;
        else if (!(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9') && c != ' ')
            special = true; // punctuation, symbols and any non-ASCII character
    }
    return capital && special;
}

bool NameAcceptable(const std::string& name)
{
    if (name.size() < 3 || name.size() > 20)
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

bool EmailAcceptable(const std::string& email)
{
    if (email.size() < 3 || email.size() > 254)
        return false;
    const size_t at = email.find('@');
    if (at == std::string::npos || at == 0 || email.find('@', at + 1) != std::string::npos)
        return false;
    const std::string domain = email.substr(at + 1);
    const size_t dot = domain.find('.');
    if (dot == std::string::npos || dot == 0 || domain.back() == '.')
        return false;
    for (unsigned char c : email)
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == '\\' || c == '<' || c == '>' || c == ',' || c == ';')
            return false;
    return true;
}
