// Password rule, name and address rules, hashing and tokens.
#include "accounts/credentials.h"

#include <gtest/gtest.h>

#include <set>

TEST(PasswordRule, EightCharactersACapitalAndASpecialCharacter)
{
    for (const char* good : {"Abcdefg!", "PASSWORD#", "aaaaaaaA.", "Zz9_long_password", "Ünïcode!A"})
        EXPECT_TRUE(PasswordAcceptable(good)) << good;
    for (const char* bad : {"", "Abcde!f", "abcdefg!", "Abcdefgh", "ABCDEFGH", "Abc defgh", "12345678"})
        EXPECT_FALSE(PasswordAcceptable(bad)) << bad;
    EXPECT_TRUE(PasswordAcceptable("A!" + std::string(126, 'x')));
    EXPECT_FALSE(PasswordAcceptable("A!" + std::string(127, 'x')));
}

TEST(NameRule, ThreeToTwentyLettersDigitsOrUnderscores)
{
    for (const char* good : {"abc", "Player_One", "x_1", "ABCDEFGHIJKLMNOPQRST", "settings", "ok_"})
        EXPECT_TRUE(NameAcceptable(good)) << good;
    for (const char* bad : {"", "ab", "ABCDEFGHIJKLMNOPQRSTU", "has space", "quo\"te", "back\\slash", "dash-ed",
                            "dot.ted", "\xc3\xa9t\xc3\xa9", "tab\tx", "colon:x"})
        EXPECT_FALSE(NameAcceptable(bad)) << bad;
}

TEST(EmailRule, OneAtADottedDomainAndNothingUnsafe)
{
    for (const char* good : {"a@b.c", "first.last+tag@example.co.uk", "X_1@mail.example.org"})
        EXPECT_TRUE(EmailAcceptable(good)) << good;
    for (const char* bad : {"", "plain", "@b.c", "a@", "a@b", "a@b.", "a@.b", "a@@b.c", "a@b@c.d", "a b@c.d",
                            "a\"b@c.d", "a<b>@c.d", "a@b.c\n"})
        EXPECT_FALSE(EmailAcceptable(bad)) << bad;
    EXPECT_FALSE(EmailAcceptable(std::string(250, 'a') + "@b.cd"));
}

TEST(Tokens, RandomHexAndKeptOnlyAsTheirSha256)
{
    ASSERT_TRUE(InitCredentials());
    std::set<std::string> seen;
    for (int i = 0; i < 200; i++) {
        const std::string t = NewToken();
        ASSERT_TRUE(LooksLikeToken(t)) << t;
        seen.insert(t);
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(TokenHash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(LooksLikeToken(std::string(64, 'A')));
    EXPECT_FALSE(LooksLikeToken(std::string(63, 'a')));
}

TEST(PasswordHash, Argon2idThatVerifiesOnlyTheRightPassword)
{
    ASSERT_TRUE(InitCredentials());
    std::string h1, h2;
    ASSERT_TRUE(HashPassword("Secret#1", h1));
    ASSERT_TRUE(HashPassword("Secret#1", h2));
    EXPECT_EQ(h1.rfind("$argon2id$", 0), 0u) << h1;
    EXPECT_NE(h1, h2); // salted
    EXPECT_TRUE(VerifyPassword(h1, "Secret#1"));
    EXPECT_TRUE(VerifyPassword(h2, "Secret#1"));
    EXPECT_FALSE(VerifyPassword(h1, "Secret#2"));
    EXPECT_FALSE(VerifyPassword(h1, ""));
    EXPECT_FALSE(VerifyPassword("not a hash", "Secret#1"));
    EXPECT_FALSE(VerifyPassword(std::string(500, '$'), "Secret#1"));
}
