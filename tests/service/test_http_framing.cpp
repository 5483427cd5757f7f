// The front's request reader on its own: what it takes, what it refuses and
// why, and where one request ends and the next begins.
#include "http_front.h"

#include <gtest/gtest.h>

namespace {

struct Read
{
    HttpParse result;
    HttpRequest req;
    size_t used = 0;
    bool keep_alive = false;
    int status = 0;
};

Read Parse(const std::string& in, size_t max_body = 100)
{
    Read r;
    r.result = ParseHttpRequest(in, max_body, r.req, r.used, r.keep_alive, r.status);
    return r;
}

} // namespace

TEST(HttpFraming, RefusalsWithTheirStatus)
{
    const struct
    {
        const char* in;
        int status;
    } cases[] = {
        {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 2, 3\r\n\r\nabc", 400},
        {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 0x10\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length : 1\r\n\r\na", 400},
        {"POST / HTTP/1.1\r\nA: b\r\n folded\r\n\r\n", 400},
        {"POST / HTTP/2.0\r\n\r\n", 400},
        {"POST nopath HTTP/1.1\r\n\r\n", 400},
        {"POST / extra HTTP/1.1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
    };
    for (const auto& c : cases) {
        const Read r = Parse(c.in);
        EXPECT_EQ(r.result, HttpParse::Refused) << c.in;
        EXPECT_EQ(r.status, c.status) << c.in;
    }
    const Read huge = Parse("POST / HTTP/1.1\r\nX: " + std::string(17000, 'a'));
    EXPECT_EQ(huge.result, HttpParse::Refused);
    EXPECT_EQ(huge.status, 431);
}

TEST(HttpFraming, OneRequestAtATimeWithItsConnectionRule)
{
    const std::string two = "\r\nPOST /a?t=x%20y&z HTTP/1.1\r\nContent-Length: 2, 2\r\ncontent-type: text/x\r\n\r\n"
                            "{}GET /b HTTP/1.0\r\n\r\n";
    Read r = Parse(two);
    ASSERT_EQ(r.result, HttpParse::Complete);
    EXPECT_EQ(r.req.method, "POST");
    EXPECT_EQ(r.req.path, "/a");
    EXPECT_EQ(r.req.query, "t=x%20y&z");
    EXPECT_EQ(HttpParam(r.req, "t"), "x y");
    EXPECT_EQ(r.req.content_type, "text/x");
    EXPECT_EQ(r.req.body, "{}");
    EXPECT_TRUE(r.keep_alive);
    r = Parse(two.substr(r.used));
    ASSERT_EQ(r.result, HttpParse::Complete);
    EXPECT_EQ(r.req.path, "/b");
    EXPECT_FALSE(r.keep_alive); // HTTP/1.0 without keep-alive

    EXPECT_EQ(Parse("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc").result, HttpParse::Incomplete);
    EXPECT_EQ(Parse("POST / HTTP/1.1\r\nHost: x\r\n").result, HttpParse::Incomplete);
    EXPECT_FALSE(Parse("POST / HTTP/1.1\r\nConnection: Close\r\n\r\n").keep_alive);

    HttpRequest form;
    form.content_type = "application/x-www-form-urlencoded";
    form.body = "password=a%26b+c&t=1";
    EXPECT_EQ(HttpParam(form, "password"), "a&b c");
    EXPECT_EQ(HttpParam(form, "missing"), "");
}
