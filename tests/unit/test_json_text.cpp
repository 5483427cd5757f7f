// The JSON text helpers are scanners with exact, byte-level rules; these cases
// pin the rules that callers and the service's reply shape depend on.
#include "backend/json_text.h"

#include <gtest/gtest.h>

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------
// JsonEscape
// ---------------------------------------------------------------------------

TEST(JsonEscape, NamedEscapesControlBytesAndHighBytes)
{
    const std::string in = std::string("\tA\x01") + "\xC3\xA9";
    EXPECT_EQ(JsonEscape(in), std::string("\\tA\\u0001\xC3\xA9"));
    EXPECT_EQ(JsonEscape("a\"b\\c\nd\re"), "a\\\"b\\\\c\\nd\\re");
    EXPECT_EQ(JsonEscape(std::string("\x1b", 1)), "\\u001b");
    EXPECT_EQ(JsonEscape(std::string("\0", 1)), "\\u0000");
    EXPECT_EQ(JsonEscape("\x1f\x7f"), "\\u001f\x7f");
    EXPECT_EQ(JsonEscape("a/b"), "a/b"); // solidus stays
    EXPECT_EQ(JsonEscape(""), "");
}

TEST(JsonEscape, RoundTripsThroughGetStringForPrintableText)
{
    const std::string values[] = {"plain", "quote \" and \\ backslash", "tab\tline\nret\r",
                                  "\xF0\x9F\x98\x80 emoji", "} ] , : {", "ends with \\"};
    for (const std::string& v : values) {
        const std::string body = "{\"k\":\"" + JsonEscape(v) + "\",\"next\":1}";
        EXPECT_EQ(JsonGetString(body, "k"), v) << body;
        int32_t n = 0;
        EXPECT_TRUE(JsonGetInt(body, "next", n));
        EXPECT_EQ(n, 1);
    }
}

// ---------------------------------------------------------------------------
// JsonGetString
// ---------------------------------------------------------------------------

TEST(JsonGetString, ValuesAndEscapes)
{
    EXPECT_EQ(JsonGetString(R"({"a":"x\"y"})", "a"), "x\"y");
    EXPECT_EQ(JsonGetString(R"({"a":"1\n2\t3\r4"})", "a"), "1\n2\t3\r4");
    EXPECT_EQ(JsonGetString(R"({"a":"\\ \/ \q"})", "a"), "\\ / q");
    // Unicode escapes are not decoded: the u and the digits stand for themselves.
    EXPECT_EQ(JsonGetString(R"({"a":"\u00e9"})", "a"), "u00e9");
    EXPECT_EQ(JsonGetString(R"({"a":""})", "a"), "");
    EXPECT_EQ(JsonGetString(R"({"a" :	 "v"})", "a"), "v"); // spaces and tabs skipped
}

TEST(JsonGetString, NotFoundOrNotAString)
{
    EXPECT_EQ(JsonGetString(R"({"a": 5})", "a"), "");
    EXPECT_EQ(JsonGetString(R"({"a":null})", "a"), "");
    EXPECT_EQ(JsonGetString(R"({"b":"x"})", "a"), "");
    EXPECT_EQ(JsonGetString("{\"a\":\n\"x\"}", "a"), ""); // line feed is not skipped
    EXPECT_EQ(JsonGetString(R"({"a")", "a"), "");          // no colon
    EXPECT_EQ(JsonGetString(R"({"a":   )", "a"), "");       // only blanks after colon
    EXPECT_EQ(JsonGetString("", "a"), "");
    EXPECT_EQ(JsonGetString("\"a\"", "a"), "");            // needle fills the text
    EXPECT_EQ(JsonGetString("x", "longer"), "");           // needle longer than the text
}

TEST(JsonGetString, TruncatedTextYieldsWhatWasCollected)
{
    EXPECT_EQ(JsonGetString(R"({"a":"abc)", "a"), "abc");
    EXPECT_EQ(JsonGetString(R"({"a":"ab\)", "a"), "ab\\"); // trailing backslash kept
    EXPECT_EQ(JsonGetString(R"({"a":")", "a"), "");
}

TEST(JsonGetString, FirstQuotedKeyGovernsAtAnyDepth)
{
    EXPECT_EQ(JsonGetString(R"({"user":{"name":"a"},"name":"b"})", "name"), "a");
    // The needle is found as k's value; the next colon is x's, followed by 1.
    EXPECT_EQ(JsonGetString(R"({"k":"v","x":1})", "v"), "");
    // A string value equal to the key is a match too: the next colon decides.
    EXPECT_EQ(JsonGetString(R"({"name":"ok","x":"fake","ok":"real"})", "ok"), "fake");
    // An escaped quote inside a value never forms the needle.
    EXPECT_EQ(JsonGetString(R"({"msg":"say \"ok\"","ok":"yes"})", "ok"), "yes");
}

// ---------------------------------------------------------------------------
// JsonGetBool
// ---------------------------------------------------------------------------

TEST(JsonGetBool, FoundValuesWriteOut)
{
    bool v = false;
    EXPECT_TRUE(JsonGetBool(R"({"ok" :true})", "ok", v));
    EXPECT_TRUE(v);
    EXPECT_TRUE(JsonGetBool(R"({"ok":false})", "ok", v));
    EXPECT_FALSE(v);
    EXPECT_TRUE(JsonGetBool(R"({"ok":trueX})", "ok", v)); // prefix only
    EXPECT_TRUE(v);
    EXPECT_TRUE(JsonGetBool(R"({"ok":	false)", "ok", v)); // tab skipped, text ends after
    EXPECT_FALSE(v);
}

TEST(JsonGetBool, NotFoundLeavesOutUntouched)
{
    for (const char* text : {"{\"ok\":\ntrue}", R"({"ok":"true"})", R"({"ok":tru)", R"({"ok":fals)",
                             R"({"ok":1})", R"({"ok":)", R"({"no":true})", R"({"ok":TRUE})"}) {
        bool v = true;
        EXPECT_FALSE(JsonGetBool(text, "ok", v)) << text;
        EXPECT_TRUE(v) << text;
        v = false;
        EXPECT_FALSE(JsonGetBool(text, "ok", v)) << text;
        EXPECT_FALSE(v) << text;
    }
}

// ---------------------------------------------------------------------------
// JsonGetInt
// ---------------------------------------------------------------------------

TEST(JsonGetInt, DigitsSignAndWrapAround)
{
    const struct { const char* text; int32_t want; } cases[] = {
        {R"({"n":-0})", 0},
        {R"({"n":42})", 42},
        {R"({"n":-17,"m":3})", -17},
        {R"({"n":4294967297})", 1},          // wraps in 32 bits
        {R"({"n":2147483648})", INT32_MIN},  // one past the top wraps negative
        {R"({"n":-2147483648})", INT32_MIN},
        {R"({"n":12.75})", 12},
        {R"({"n":3e2})", 3},
        {R"({"n":007})", 7},
        {R"({"n":99999999999999999999999999})", -469762049}, // many digits, no limit
        {R"({"n":5)", 5},                    // digits run to the end of the text
    };
    for (const auto& c : cases) {
        int32_t v = 12345;
        EXPECT_TRUE(JsonGetInt(c.text, "n", v)) << c.text;
        EXPECT_EQ(v, c.want) << c.text;
    }
}

TEST(JsonGetInt, NotFoundLeavesOutUntouched)
{
    for (const char* text : {R"({"n":"5"})", R"({"n":+5})", R"({"n":-})", R"({"n":- 5})", R"({"n":-x})",
                             R"({"n":.5})", R"({"n":true})", "{\"n\":\n5}", R"({"m":5})", R"({"n":)"}) {
        int32_t v = 77;
        EXPECT_FALSE(JsonGetInt(text, "n", v)) << text;
        EXPECT_EQ(v, 77) << text;
    }
}

// ---------------------------------------------------------------------------
// JsonGetObjectArray
// ---------------------------------------------------------------------------

TEST(JsonGetObjectArray, CutsObjectElementsInOrder)
{
    EXPECT_EQ(JsonGetObjectArray(R"({"list":[{"a":"}"},{"b":[1,2]},3]})", "list"),
              (Strings{R"({"a":"}"})", R"({"b":[1,2]})"}));
    EXPECT_EQ(JsonGetObjectArray(R"({"l":[{"x":{"y":{}}}, "s{", 1, true, {"q":"\"}"}]})", "l"),
              (Strings{R"({"x":{"y":{}}})", R"({"q":"\"}"})"}));
    // The element's own members are then read by the getters.
    const Strings rooms = JsonGetObjectArray(R"({"ok":true,"rooms":[{"code":"AB12","n":2},{"code":"ZZ9","n":1}]})", "rooms");
    ASSERT_EQ(rooms.size(), 2u);
    EXPECT_EQ(JsonGetString(rooms[1], "code"), "ZZ9");
}

TEST(JsonGetObjectArray, EmptyMissingAndFirstBracketRules)
{
    EXPECT_TRUE(JsonGetObjectArray(R"({"list":[]})", "list").empty());
    EXPECT_TRUE(JsonGetObjectArray(R"({"list":[1,"a",null]})", "list").empty());
    EXPECT_TRUE(JsonGetObjectArray(R"({"other":[{"a":1}]})", "list").empty());
    EXPECT_TRUE(JsonGetObjectArray(R"({"list":null})", "list").empty());
    // The first '[' after the key is used, wherever it is.
    EXPECT_EQ(JsonGetObjectArray(R"({"list":null,"x":[{"a":1}]})", "list"), (Strings{R"({"a":1})"}));
}

TEST(JsonGetObjectArray, TruncatedAndUnbalancedText)
{
    // Unterminated array: what was complete is kept.
    EXPECT_EQ(JsonGetObjectArray(R"({"l":[{"a":1},{"b":2)", "l"), (Strings{R"({"a":1})"}));
    // A stray closing brace outside any element closes nothing.
    EXPECT_EQ(JsonGetObjectArray(R"({"l":[},{"a":1}]})", "l"), (Strings{R"({"a":1})"}));
    // A backslash as the last byte inside a string ends the scan cleanly.
    EXPECT_TRUE(JsonGetObjectArray(R"({"l":[{"a":"\)", "l").empty());
}
