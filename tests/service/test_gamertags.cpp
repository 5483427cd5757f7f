// Gamertags in every script (the accepted ones, through the real service, in
// the account integration tests): the edges of the rules, and the store's
// uniqueness under case folding and against look-alikes.
#include "store/account_store.h"
#include "rules/gamertag_rules.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

TEST(GamertagRules, TheTricksAreRefusedAndNamesAreStoredInNfc)
{
    const char* const refused[] = {"ab", "abcdefghijklmnopqrstu", "Дмитрий Петров", "bob\"ok", "name!",
                                   "\xCC\x81" "abc",  // starts with a mark
                                   "ab\xE2\x80\x8B" "cd", // zero-width space
                                   "Νίκηnike", "Дмитрийdmitri", "ab\xC3", "ab\xC0\xAF" "c"};
    for (const char* name : refused) {
        GamertagForm f;
        std::string error;
        EXPECT_FALSE(CheckGamertag(name, f, error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    }
    std::string error;
    GamertagForm f;

    // Twenty characters count as twenty, whatever their bytes.
    EXPECT_TRUE(CheckGamertag("花子花子花子花子花子花子花子花子花子花子", f, error)) << error;
    // Stored in NFC: "e" + combining acute becomes one "é".
    ASSERT_TRUE(CheckGamertag("Rene\xCC\x81" "e", f, error)) << error;
    EXPECT_EQ(f.nfc, "Renée");
    EXPECT_EQ(f.key, "renée");
    EXPECT_EQ(GamertagForms("RENÉE").key, f.key);
}

namespace {

class GamertagStore : public testing::Test
{
protected:
    std::filesystem::path dir;
    AccountStore* store = nullptr;
    int n = 0;

    void SetUp() override
    {
        std::random_device rd;
        dir = std::filesystem::temp_directory_path() / ("kestrel-tags-" + std::to_string(rd()));
        std::filesystem::create_directories(dir);
        std::string error;
        store = OpenAccountStore((dir / "a.sqlite3").string(), error);
        ASSERT_NE(store, nullptr) << error;
    }
    void TearDown() override
    {
        CloseAccountStore(store);
        std::filesystem::remove_all(dir);
    }
    CreateResult Create(const std::string& tag)
    {
        AccountRecord a;
        a.username = "user" + std::to_string(n);
        a.email = "u" + std::to_string(n++) + "@x.io";
        a.gamertag = tag;
        a.password_hash = "h";
        return CreateAccount(store, a, 1);
    }
};

} // namespace

TEST_F(GamertagStore, FoldedDuplicatesAndLookAlikesAreRefusedAndLookupsFold)
{
    for (const char* tag : {"Дмитрий", "Νίκη", "Renée", "佐藤花子", "김민준", "paypal"})
        EXPECT_EQ(Create(tag), CreateResult::Created) << tag;
    EXPECT_EQ(Create("ДМИТРИЙ"), CreateResult::GamertagTaken);
    EXPECT_EQ(Create("ΝΊΚΗ"), CreateResult::GamertagTaken);
    EXPECT_EQ(Create(GamertagForms("RENE\xCC\x81" "E").nfc), CreateResult::GamertagTaken);
    // Single-script look-alikes of taken names: Cyrillic "раураl"-style
    // spellings and digit-for-letter swaps.
    EXPECT_EQ(Create("раура1"), CreateResult::GamertagConfusable);
    EXPECT_EQ(Create("paypa1"), CreateResult::GamertagConfusable);
    EXPECT_EQ(Create("Anna"), CreateResult::Created);

    AccountRecord found;
    ASSERT_TRUE(FindAccountByGamertag(store, "дмитрий", found));
    EXPECT_EQ(found.gamertag, "Дмитрий");
    ASSERT_TRUE(FindAccountByGamertag(store, "νίκη", found));
    EXPECT_EQ(found.gamertag, "Νίκη");
    EXPECT_FALSE(FindAccountByGamertag(store, "Дмитри", found));
}

TEST(GamertagRules, RoomPlayerNamesTakeEveryScriptButNothingThatEndsAQuotedText)
{
    for (const char* name : {"Guest4821", "Дмитрий", "佐藤花子", "Nguyễn Văn An", "Zoë Ł.", "a"})
        EXPECT_TRUE(PlayerNameAcceptable(name)) << name;
    for (const char* name : {"", "bob\"", "bob\\", "a\nb", "ab\xC3", "1234567890123456789012345", "名前!"})
        EXPECT_FALSE(PlayerNameAcceptable(name)) << name;
    EXPECT_TRUE(PlayerNameAcceptable("花子花子花子花子花子花子花子花子花子花子花子花子")); // 24 characters, 72 bytes
}

// Capitals have look-alikes the folded key hides: "I" and "l", "O" and "0".
TEST_F(GamertagStore, LookAlikesInCapitalsAreRefused)
{
    for (const char* tag : {"Ilona", "BOBBY", "Ivan"})
        EXPECT_EQ(Create(tag), CreateResult::Created) << tag;
    EXPECT_EQ(Create("llona"), CreateResult::GamertagConfusable);
    EXPECT_EQ(Create("B0BBY"), CreateResult::GamertagConfusable);
    EXPECT_EQ(Create("lvan"), CreateResult::GamertagConfusable);
    EXPECT_EQ(Create("Ivana"), CreateResult::Created) << "a longer name is another name";
}
