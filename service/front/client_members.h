// The member names the client reads from the service's replies. Its scanners
// take the first quoted key anywhere in a reply, even inside a string value,
// so text that users choose must never put one of these names in quotes.
#pragma once

#include <string>

// True when `text`, as it stands in a reply (JsonString), holds a quoted
// member name the client reads: the text is exactly such a name, or ends in
// a double quote followed by one ("a\"mod" holds "mod"). `ignore_case` also
// catches spellings that differ in letter case.
bool QuotesClientMember(const std::string& text, bool ignore_case);
