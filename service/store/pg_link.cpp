#include "store/pg_link.h"

#include "log/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool PgResult::Ok() const
{
    const ExecStatusType s = PQresultStatus(r);
    return s == PGRES_TUPLES_OK || s == PGRES_COMMAND_OK;
}

std::string PgResult::Text(int row, int col) const
{
    return std::string(PQgetvalue(r, row, col), (size_t)PQgetlength(r, row, col));
}

int64_t PgResult::Int(int row, int col) const
{
    return strtoll(PQgetvalue(r, row, col), nullptr, 10);
}

bool PgResult::Changed() const
{
    return Ok() && atoll(PQcmdTuples(r)) > 0;
}

static bool StateIs(const PGresult* r, const char* code)
{
    const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
    return state && strcmp(state, code) == 0;
}

bool PgResult::IsUniqueViolation() const
{
    return StateIs(r, "23505");
}

bool PgResult::IsRetryable() const
{
    return StateIs(r, "40P01") || StateIs(r, "40001");
}

std::string PgResult::Constraint() const
{
    const char* c = PQresultErrorField(r, PG_DIAG_CONSTRAINT_NAME);
    return c ? c : "";
}

static std::string StmtName(int i)
{
    // Formatted, not concatenated: GCC 12 at -O3 sees a false overlap in
    // "k" + std::to_string(i) and the release build treats it as an error.
    char name[16];
    snprintf(name, sizeof(name), "k%d", i);
    return name;
}

std::string PgArrayItem(const std::string& text)
{
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\')
            out += '\\';
        out += ch;
    }
    return out + "\"";
}

PGconn* PgConnect(const std::string& uri, std::string& error)
{
    // Defaults first: whatever the operator's address sets wins.
    const char* keys[] = {"connect_timeout", "application_name", "options", "dbname", nullptr};
    // A commit returns before its WAL reaches the disk, as the SQLite store's
    // WAL with synchronous=NORMAL does: a crash may lose the last moment's
    // writes, never consistency.
    const char* values[] = {"5", "kestrel-service", "-c statement_timeout=5000 -c synchronous_commit=off", uri.c_str(),
                            nullptr};
    PGconn* c = PQconnectdbParams(keys, values, 1);
    if (!c) {
        error = "out of memory";
        return nullptr;
    }
    PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr); // no server chatter on our stderr
    if (PQstatus(c) != CONNECTION_OK) {
        error = PQerrorMessage(c);
        while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
            error.pop_back();
        NoteStoreFault(error);
        PQfinish(c);
        return nullptr;
    }
    return c;
}

bool PgExec(PGconn* c, const char* sql, std::string& error)
{
    PgResult r(PQexec(c, sql));
    if (r.Ok())
        return true;
    error = PQerrorMessage(c);
    while (!error.empty() && error.back() == '\n')
        error.pop_back();
    NoteStoreFault(error);
    return false;
}

bool PgPrepareAll(PGconn* c, const char* const* sql, int count, std::string& error)
{
    for (int i = 0; i < count; i++) {
        PgResult r(PQprepare(c, StmtName(i).c_str(), sql[i], 0, nullptr));
        if (!r.Ok()) {
            error = std::string(PQerrorMessage(c)) + " in: " + sql[i];
            return false;
        }
    }
    return true;
}

PgResult PgRunPrepared(PGconn* c, int which, const PgArgs& args)
{
    std::vector<const char*> values;
    for (const std::string& s : args.v)
        values.push_back(s.c_str());
    PgResult r(PQexecPrepared(c, StmtName(which).c_str(), (int)values.size(), values.data(), nullptr, nullptr, 0));
    if (!r.Ok() && !r.IsUniqueViolation()) {
        std::string why = PQerrorMessage(c);
        while (!why.empty() && why.back() == '\n')
            why.pop_back();
        NoteStoreFault(why);
    }
    return r;
}

// An upgrade (or the wait for another instance's) may take this long before
// the instance gives up starting.
static const char* const kMigrateTimeout = "SET LOCAL statement_timeout = 900000";

bool PgMigrate(PGconn* c, const PgSchema& schema, int& version, std::string& error)
{
    const std::string table = schema.version_table;
    const std::string key = std::to_string(schema.lock_key);
    for (;;) {
        std::string why;
        // Another instance may hold the lock through a long upgrade: the
        // requests' statement time-out must not end the wait, nor the steps.
        bool waited = false;
        if (PgExec(c, "BEGIN", why) && PgExec(c, kMigrateTimeout, why)) {
            PgResult got(PQexec(c, ("SELECT pg_try_advisory_xact_lock(" + key + ")").c_str()));
            if (got.Ok() && PQntuples(got.r) == 1 && got.Text(0, 0) == "f") {
                fprintf(stderr, "kestrel-service: waiting for another instance to upgrade %s\n", schema.what);
                waited = true;
            } else if (!got.Ok()) {
                why = PQerrorMessage(c);
            }
        }
        if (!why.empty() || (waited && !PgExec(c, ("SELECT pg_advisory_xact_lock(" + key + ")").c_str(), why)) ||
            !PgExec(c, ("CREATE TABLE IF NOT EXISTS " + table + " (version INTEGER NOT NULL)").c_str(), why)) {
            PgExec(c, "ROLLBACK", why);
            error = "cannot read the schema version: " + why;
            return false;
        }
        PgResult r(PQexec(c, ("SELECT version FROM " + table).c_str()));
        if (!r.Ok() || PQntuples(r.r) > 1) {
            PgExec(c, "ROLLBACK", why);
            error = "cannot read the schema version";
            return false;
        }
        if (PQntuples(r.r) == 0 && !PgExec(c, ("INSERT INTO " + table + " VALUES (0)").c_str(), why)) {
            PgExec(c, "ROLLBACK", why);
            error = "cannot read the schema version: " + why;
            return false;
        }
        version = PQntuples(r.r) == 0 ? 0 : (int)r.Int(0, 0);
        if (version > schema.count) {
            PgExec(c, "ROLLBACK", why);
            error = std::string(schema.what) + " was written by a newer kestrel-service (schema " +
                    std::to_string(version) + ")";
            return false;
        }
        if (version == schema.count)
            return PgExec(c, "COMMIT", error);
        const std::string bump = "UPDATE " + table + " SET version = " + std::to_string(version + 1);
        if (!PgExec(c, schema.steps[version], why) || (schema.extra && !schema.extra(c, version, why)) ||
            !PgExec(c, bump.c_str(), why) || !PgExec(c, "COMMIT", why)) {
            std::string ignored;
            PgExec(c, "ROLLBACK", ignored);
            error = "cannot upgrade " + std::string(schema.what) + " from schema " + std::to_string(version) + " to " +
                    std::to_string(version + 1) + " (it stays at " + std::to_string(version) + "): " + why;
            return false;
        }
    }
}

void PgPoolStart(PgPool& pool, PGconn* first, int size)
{
    // The rest of the pool connects on first use.
    pool.idle.assign((size_t)(size - 1), nullptr);
    pool.idle.push_back(first);
}

void PgPoolClose(PgPool& pool)
{
    for (PGconn* c : pool.idle)
        if (c)
            PQfinish(c);
    pool.idle.clear();
}

PGconn* PgTake(PgPool& pool)
{
    PGconn* c = nullptr;
    {
        std::unique_lock<std::mutex> hold(pool.lock);
        pool.freed.wait(hold, [&] { return !pool.idle.empty(); });
        c = pool.idle.back();
        pool.idle.pop_back();
    }
    if (c && PQstatus(c) != CONNECTION_OK) {
        PQfinish(c);
        c = nullptr;
    }
    if (!c) {
        std::string error;
        c = PgConnect(pool.uri, error);
        if (c && !PgPrepareAll(c, pool.sql, pool.sql_count, error)) {
            PQfinish(c);
            c = nullptr;
        }
    }
    return c;
}

void PgGive(PgPool& pool, PGconn* c)
{
    if (c && PQtransactionStatus(c) != PQTRANS_IDLE) {
        PQfinish(c);
        c = nullptr;
    }
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.idle.push_back(c);
    pool.freed.notify_one();
}
