// Friends and messages in the account store, called directly, on SQLite and
// on PostgreSQL.
#include "store/account_store.h"
#include "pg_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace {

class SocialStore : public testing::TestWithParam<bool>
{
protected:
    std::string dir, pg_uri;
    AccountStore* store = nullptr;
    int64_t ann = 0, bob = 0, cid = 0;

    void SetUp() override
    {
        dir = (std::filesystem::temp_directory_path() / ("kestrel-social-" + std::to_string(::getpid()))).string();
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::string error;
        if (GetParam()) {
            pg_uri = CreateTestDatabase(error);
            ASSERT_FALSE(pg_uri.empty()) << error;
        }
        store = OpenAccountStore(GetParam() ? pg_uri : dir + "/a.sqlite3", error);
        ASSERT_NE(store, nullptr) << error;
        ann = Make("ann", "Ann");
        bob = Make("bob", "Bob");
        cid = Make("cid", "Cid");
    }
    void TearDown() override
    {
        CloseAccountStore(store);
        std::filesystem::remove_all(dir);
        if (!pg_uri.empty())
            DropTestDatabase(pg_uri);
    }
    int64_t Make(const std::string& name, const std::string& tag)
    {
        AccountRecord a;
        a.username = name;
        a.gamertag = tag;
        a.email = name + "@x.io";
        a.password_hash = "h";
        EXPECT_EQ(CreateAccount(store, a, 1), CreateResult::Created);
        return a.id;
    }
    FriendLists Lists(int64_t who)
    {
        FriendLists l;
        EXPECT_TRUE(ListFriends(store, who, l));
        return l;
    }
};

using Names = std::vector<std::string>;

} // namespace

INSTANTIATE_TEST_SUITE_P(Db, SocialStore, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "PostgreSQL" : "SQLite"; });

TEST_P(SocialStore, GamertagsAreUniqueAndFoundWhateverTheCase)
{
    AccountRecord dup;
    dup.username = "other";
    dup.gamertag = "ANN";
    dup.email = "o@x.io";
    EXPECT_EQ(CreateAccount(store, dup, 1), CreateResult::GamertagTaken);
    AccountRecord found;
    ASSERT_TRUE(FindAccountByGamertag(store, "bOB", found));
    EXPECT_EQ(found.id, bob);
    EXPECT_FALSE(FindAccountByGamertag(store, "nobody", found));
}

TEST_P(SocialStore, RequestsBecomeFriendshipsSeenFromBothSides)
{
    EXPECT_EQ(GetFriendLink(store, ann, bob), FriendLink::None);
    ASSERT_TRUE(AddFriendRequest(store, ann, bob, 10));
    EXPECT_EQ(GetFriendLink(store, ann, bob), FriendLink::Asked);
    EXPECT_EQ(GetFriendLink(store, bob, ann), FriendLink::AskedBy);
    EXPECT_EQ(Lists(ann).outgoing, Names{"Bob"});
    EXPECT_EQ(Lists(bob).incoming, Names{"Ann"});

    EXPECT_FALSE(AcceptFriendRequest(store, ann, bob, 11)); // Ann cannot accept her own request
    ASSERT_TRUE(AcceptFriendRequest(store, bob, ann, 12));
    EXPECT_EQ(GetFriendLink(store, ann, bob), FriendLink::Friends);
    const FriendLists a = Lists(ann), b = Lists(bob);
    EXPECT_EQ(a.friends, Names{"Bob"});
    EXPECT_EQ(b.friends, Names{"Ann"});
    EXPECT_TRUE(a.outgoing.empty());
    EXPECT_TRUE(b.incoming.empty());
}

TEST_P(SocialStore, RemovingWorksFromEitherSideAndForRequests)
{
    AddFriendRequest(store, ann, bob, 1);
    AcceptFriendRequest(store, bob, ann, 2);
    ASSERT_TRUE(RemoveFriendLinks(store, bob, ann));
    EXPECT_EQ(GetFriendLink(store, ann, bob), FriendLink::None);
    EXPECT_TRUE(Lists(ann).friends.empty());
    EXPECT_FALSE(RemoveFriendLinks(store, ann, bob)); // nothing left

    AddFriendRequest(store, cid, ann, 3);
    ASSERT_TRUE(RemoveFriendLinks(store, ann, cid)); // a declined request
    EXPECT_TRUE(Lists(cid).outgoing.empty());
}

TEST_P(SocialStore, ConversationsReadInOrderAndMarkTheirMessagesRead)
{
    const int64_t m1 = AddMessage(store, ann, bob, "one", 1);
    const int64_t m2 = AddMessage(store, bob, ann, "two", 2);
    const int64_t m3 = AddMessage(store, ann, bob, "three", 3);
    AddMessage(store, cid, bob, "other thread", 4);
    EXPECT_LT(m1, m2);
    EXPECT_LT(m2, m3);

    std::vector<ThreadSummary> threads;
    ASSERT_TRUE(ListThreads(store, bob, threads));
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_EQ(threads[0].gamertag, "Cid"); // newest thread first
    EXPECT_EQ(threads[1].gamertag, "Ann");
    EXPECT_EQ(threads[1].unread, 2);
    EXPECT_EQ(threads[1].last, "three");

    std::vector<StoredMessage> seen;
    ASSERT_TRUE(ReadConversation(store, bob, ann, 0, 100, seen));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].body, "one");
    EXPECT_FALSE(seen[0].mine);
    EXPECT_TRUE(seen[1].mine);

    threads.clear();
    ListThreads(store, bob, threads);
    EXPECT_EQ(threads[1].unread, 0); // read by fetching
    threads.clear();
    ListThreads(store, ann, threads);
    EXPECT_EQ(threads[0].unread, 1); // Bob's "two" to Ann is still unread

    seen.clear();
    ASSERT_TRUE(ReadConversation(store, bob, ann, m2, 100, seen));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].id, m3);
}
