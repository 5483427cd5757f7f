#include "pg_server.h"

#include "service_process.h"

#include <libpq-fe.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex g_lock;
std::string g_server;     // address of the server's "postgres" database
std::string g_own_dir;    // set when this process started the server
std::atomic<int> g_count{0};

void StopOwnServer()
{
    if (g_own_dir.empty())
        return;
    const std::string cmd = std::string(KESTREL_SOURCE_DIR) + "/tests/pg-server stop '" + g_own_dir + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "pg_server: could not stop the server in %s\n", g_own_dir.c_str());
}

std::string Server(std::string& error)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_server.empty())
        return g_server;
    if (const char* given = getenv("KESTREL_TEST_POSTGRES"); given && *given)
        return g_server = given;
    g_own_dir = MakeTempDir("kestrel-pg");
    const std::string cmd = std::string(KESTREL_SOURCE_DIR) + "/tests/pg-server start '" + g_own_dir + "'";
    FILE* p = popen(cmd.c_str(), "r");
    char line[512] = {};
    const bool got = p && fgets(line, sizeof(line), p);
    const int status = p ? pclose(p) : -1;
    if (!got || status != 0) {
        error = "cannot start a PostgreSQL server (tests/pg-server)";
        g_own_dir.clear();
        return "";
    }
    std::string uri = line;
    while (!uri.empty() && uri.back() == '\n')
        uri.pop_back();
    atexit(StopOwnServer);
    return g_server = uri;
}

// The server's address with another database name.
std::string WithDatabase(const std::string& server, const std::string& name)
{
    const size_t at = server.find("/postgres?");
    return at == std::string::npos ? server : server.substr(0, at) + "/" + name + server.substr(at + 9);
}

} // namespace

bool ExecOnDatabase(const std::string& uri, const std::string& sql, std::string& error)
{
    PGconn* c = PQconnectdb(uri.c_str());
    bool ok = PQstatus(c) == CONNECTION_OK;
    if (ok) {
        PGresult* r = PQexec(c, sql.c_str());
        ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
    }
    if (!ok)
        error = PQerrorMessage(c);
    PQfinish(c);
    return ok;
}

std::string CreateTestDatabase(std::string& error)
{
    const std::string server = Server(error);
    if (server.empty())
        return "";
    const std::string name = "kt_" + std::to_string(getpid()) + "_" + std::to_string(g_count++);
    if (!ExecOnDatabase(server, "CREATE DATABASE " + name, error))
        return "";
    return WithDatabase(server, name);
}

void DropTestDatabase(const std::string& uri)
{
    std::string error;
    const std::string server = Server(error);
    const size_t slash = uri.rfind('/', uri.find('?'));
    const std::string name = uri.substr(slash + 1, uri.find('?') - slash - 1);
    if (!server.empty() && !name.empty() && name != "postgres")
        ExecOnDatabase(server, "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)", error);
}
