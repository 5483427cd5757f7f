// The reply writer read back through the client's own scanners, the failed
// sign-in brake, the outbox and the service options.
#include "backend/json_text.h"
#include "options/options.h"
#include "accounts/outbox.h"
#include "front/reply.h"
#include "accounts/sign_in_limit.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

TEST(ReplyWriter, OkComesFirstAndEveryStringReadsBackThroughTheClientScanners)
{
    std::string all;
    for (int c = 1; c < 256; c++)
        if (c != '\b' && c != '\f' && (c >= 0x20 || c == '\n' || c == '\t' || c == '\r'))
            all += (char)c; // the client decodes only \n, \t and \r of the control escapes
    Reply r;
    AddBool(r, "ok", true);
    AddInt(r, "n", -42);
    AddString(r, "text", all);
    AddString(r, "slash", "a/b\\c\"d");
    const std::string text = Finish(r);
    EXPECT_EQ(text.rfind("{\"ok\":true,", 0), 0u) << text;
    EXPECT_EQ(JsonGetString(text, "text"), all);
    EXPECT_EQ(JsonGetString(text, "slash"), "a/b\\c\"d");
    int32_t n = 0;
    EXPECT_TRUE(JsonGetInt(text, "n", n));
    EXPECT_EQ(n, -42);
    EXPECT_EQ(JsonString(std::string("\x01\x1f", 2)), "\"\\u0001\\u001f\"");

    EXPECT_EQ(OkReply(), "{\"ok\":true}");
    const std::string refusal = ErrorReply("No \"way\".");
    EXPECT_EQ(refusal, "{\"ok\":false,\"error\":\"No \\\"way\\\".\"}");
    bool ok = true;
    EXPECT_TRUE(JsonGetBool(refusal, "ok", ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(JsonGetString(refusal, "error"), "No \"way\".");
}

TEST(SignInBrake, CountsFailuresPerNameAndPerAddressWithinAWindow)
{
    SignInLimit limit;
    limit.max_per_name = 3;
    limit.max_per_address = 5;
    limit.window_s = 100;
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(SignInAllowed(limit, "Ann", "1.1.1.1", 10));
        NoteFailedSignIn(limit, "ann", "1.1.1.1", 10);
    }
    EXPECT_FALSE(SignInAllowed(limit, "ANN", "2.2.2.2", 20)); // the name, from anywhere
    EXPECT_TRUE(SignInAllowed(limit, "bob", "1.1.1.1", 20));
    NoteFailedSignIn(limit, "bob", "1.1.1.1", 20);
    NoteFailedSignIn(limit, "cat", "1.1.1.1", 20);
    EXPECT_FALSE(SignInAllowed(limit, "dan", "1.1.1.1", 20)); // the address, whatever the name
    EXPECT_TRUE(SignInAllowed(limit, "dan", "3.3.3.3", 20));
    EXPECT_TRUE(SignInAllowed(limit, "ann", "2.2.2.2", 110)); // the window has passed
    NoteFailedSignIn(limit, "eve", "4.4.4.4", 0);
    NoteFailedSignIn(limit, "eve", "4.4.4.4", 0);
    NoteSignIn(limit, "Eve");
    NoteFailedSignIn(limit, "eve", "4.4.4.4", 0);
    NoteFailedSignIn(limit, "eve", "4.4.4.4", 0);
    EXPECT_TRUE(SignInAllowed(limit, "eve", "5.5.5.5", 0)); // a success cleared the earlier two
}

TEST(Outbox, OneWholeMailFilePerMail)
{
    std::random_device rd;
    const auto dir = std::filesystem::temp_directory_path() / ("kestrel-outbox-" + std::to_string(rd())) / "outbox";
    std::string p1, p2;
    ASSERT_TRUE(WriteMail(dir.string(), "a@b.c", "Hello", "Line one\r\nhttp://x/y?t=1\r\n", p1));
    ASSERT_TRUE(WriteMail(dir.string(), "d@e.f", "Again", "Body", p2));
    EXPECT_NE(p1, p2);
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        files++;
        EXPECT_EQ(e.path().extension(), ".eml");
    }
    EXPECT_EQ(files, 2u);
    std::ifstream in(p1, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string mail = ss.str();
    EXPECT_NE(mail.find("To: a@b.c\r\n"), std::string::npos);
    EXPECT_NE(mail.find("Subject: Hello\r\n"), std::string::npos);
    EXPECT_NE(mail.find("\r\n\r\nLine one\r\nhttp://x/y?t=1\r\n"), std::string::npos);
    std::filesystem::remove_all(dir.parent_path());
    std::string p3;
    EXPECT_FALSE(WriteMail("/proc/no-such-place/outbox", "a@b.c", "x", "y", p3));
}

TEST(ServiceOptions, ChannelsAndPublicUrl)
{
    ServiceOptions o;
    EXPECT_EQ(o.channels, std::vector<std::string>{"beta2"});
    const char* argv[] = {"kestrel-service", "--channels", "beta2,beta3", "--public-url", "http://example.test:8080"};
    std::string error;
    ASSERT_TRUE(ParseServiceOptions(5, (char**)argv, o, error)) << error;
    EXPECT_EQ(o.channels, (std::vector<std::string>{"beta2", "beta3"}));
    EXPECT_EQ(o.public_url, "http://example.test:8080");
    for (const char* bad : {"", "a,,b", "a,"}) {
        const char* args[] = {"kestrel-service", "--channels", bad};
        ServiceOptions fresh;
        EXPECT_FALSE(ParseServiceOptions(3, (char**)args, fresh, error)) << bad;
    }
    const char* ftp[] = {"kestrel-service", "--public-url", "ftp://x"};
    EXPECT_FALSE(ParseServiceOptions(3, (char**)ftp, o, error));
}

// The relay a room names is sent to every player's client, which takes only a
// plain unicast "A.B.C.D:PORT": anything else would send links nowhere.
TEST(ServiceOptions, TheAnnouncedRelayIsOneTheClientTakes)
{
    std::string error;
    for (const char* good : {"203.0.113.7:39000", "10.0.0.1:1"}) {
        const char* args[] = {"kestrel-service", "--relay-public", good};
        ServiceOptions o;
        EXPECT_TRUE(ParseServiceOptions(3, (char**)args, o, error)) << good;
        EXPECT_EQ(o.relay_public, good);
    }
    for (const char* bad : {"203.0.113.7", "203.0.113.07:39000", "0.0.0.0:39000", "224.0.0.1:39000", "host:39000",
                            "1.2.3.4:0", "1.2.3.4:65536", "1.2.3.4:039000", "1.2.3.4:39000 "}) {
        const char* args[] = {"kestrel-service", "--relay-public", bad};
        ServiceOptions o;
        EXPECT_FALSE(ParseServiceOptions(3, (char**)args, o, error)) << bad;
    }
}
