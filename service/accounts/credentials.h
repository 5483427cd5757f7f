// Password hashing (Argon2id), the password and name rules, and session / mail
// tokens (32 random bytes, kept only as their SHA-256).
#pragma once

#include <string>

// libsodium must be initialised once before any other call here.
bool InitCredentials();

// Argon2id in libsodium's self-describing string form (parameters included).
// At most a few hashes run at once, so a burst of sign-ins cannot take all memory.
bool HashPassword(const std::string& password, std::string& hash);
bool VerifyPassword(const std::string& hash, const std::string& password);

// A fresh random token: 64 lower-case hex digits.
std::string NewToken();
// What the store keeps of a token: its SHA-256, 64 lower-case hex digits.
std::string TokenHash(const std::string& token);
// True for 64 lower-case hex digits.
bool LooksLikeToken(const std::string& text);

// "8+ chars, one capital letter, one special character." (at most 128 bytes).
bool PasswordAcceptable(const std::string& password);
// 3 to 20 ASCII letters, digits or underscores. Names appear in replies that
// the client reads with a key scanner; this set never needs escaping.
bool NameAcceptable(const std::string& name);
// One "@" with text on both sides, a dot in the domain, at most 254 bytes,
// printable ASCII without spaces, quotes, backslashes or angle brackets.
bool EmailAcceptable(const std::string& email);
