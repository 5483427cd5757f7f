// PostgreSQL for tests. The test command starts one throw-away server for the
// whole run (tests/pg-server) and names it in KESTREL_TEST_POSTGRES; a test
// program run by hand starts its own on first use and stops it at exit.
#pragma once

#include <string>

// A fresh, empty database on the test server; its address, or "" with the
// reason in `error`.
std::string CreateTestDatabase(std::string& error);
// Ends every connection to it and removes it.
void DropTestDatabase(const std::string& uri);
// Runs `sql` on the database at `uri`; false with the server's message.
bool ExecOnDatabase(const std::string& uri, const std::string& sql, std::string& error);
