// What both PostgreSQL stores (accounts, shared rooms) use: a connection made
// with the service's defaults, results that clear themselves, parameters as
// text, statements prepared by index, a small pool, and versioned schema
// upgrades taken in turns by instances that start together.
#pragma once

#include <libpq-fe.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// One query's result, cleared when it goes.
struct PgResult
{
    PGresult* r = nullptr;
    explicit PgResult(PGresult* res) : r(res) {}
    ~PgResult() { PQclear(r); }
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;
    PgResult(PgResult&& o) noexcept : r(o.r) { o.r = nullptr; }
    bool Ok() const;
    int Rows() const { return Ok() ? PQntuples(r) : 0; }
    std::string Text(int row, int col) const;
    int64_t Int(int row, int col) const;
    bool Changed() const; // the command touched a row
    bool IsUniqueViolation() const;
    // A deadlock or serialisation failure: the whole transaction may be tried again.
    bool IsRetryable() const;
    std::string Constraint() const;
};

// Statement parameters, all sent as text.
struct PgArgs
{
    std::vector<std::string> v;
    PgArgs& operator<<(const std::string& s)
    {
        v.push_back(s);
        return *this;
    }
    PgArgs& operator<<(int64_t i)
    {
        v.push_back(std::to_string(i));
        return *this;
    }
};

// `text` as one element of a text[] literal: quoted, with quotes and backslashes escaped.
std::string PgArrayItem(const std::string& text);

PGconn* PgConnect(const std::string& uri, std::string& error);
bool PgExec(PGconn* c, const char* sql, std::string& error);
// Prepares sql[i] as statement "k<i>" on `c`.
bool PgPrepareAll(PGconn* c, const char* const* sql, int count, std::string& error);
PgResult PgRunPrepared(PGconn* c, int which, const PgArgs& args);

// Upgrade step i takes the schema in `version_table` from version i to i + 1,
// one step per transaction under an advisory lock, each from the version read
// inside it: an instance that waited finds the work done. `extra`, when set,
// runs after step i's statements in the same transaction.
struct PgSchema
{
    const char* version_table = "kestrel_schema";
    int64_t lock_key = 0;
    const char* const* steps = nullptr;
    int count = 0;
    bool (*extra)(PGconn* c, int step, std::string& error) = nullptr;
    const char* what = "the store";
};
bool PgMigrate(PGconn* c, const PgSchema& schema, int& version, std::string& error);

// A few connections shared by the calls of one store. A slot holds nullptr
// until its connection is made; one the server dropped is made afresh.
struct PgPool
{
    std::string uri;
    const char* const* sql = nullptr; // prepared on every connection
    int sql_count = 0;
    std::mutex lock;
    std::condition_variable freed;
    std::vector<PGconn*> idle;
};

// Starts a pool of `size` around a first connection already made and prepared.
void PgPoolStart(PgPool& pool, PGconn* first, int size);
void PgPoolClose(PgPool& pool);
// Waits for a free slot; nullptr when no connection could be made.
PGconn* PgTake(PgPool& pool);
// A connection left inside a transaction (a call cut short) is not reused.
void PgGive(PgPool& pool, PGconn* c);
