// The service as an operator runs it: its command line and file errors, its
// log (what it says, and that it never says a secret), the health pages, mail
// delivered to a real SMTP server through an outage of that server, and the
// log lines of a store outage and its end.
#include "pg_server.h"
#include "service_process.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

template <class Pred> bool WaitFor(Pred pred, std::chrono::milliseconds limit = 10000ms)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (pred())
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return pred();
}

struct RunResult
{
    int status = -1;
    std::string out, err;
};

// The service with `args`, to its end; what it wrote where.
RunResult RunService(const std::string& dir, const std::string& args)
{
    RunResult r;
    const int rc = system((BuiltProgram("service/kestrel-service") + " " + args + " >" + dir + "/out 2>" + dir + "/err")
                              .c_str());
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = ReadText(dir + "/out");
    r.err = ReadText(dir + "/err");
    return r;
}

std::string Json(std::initializer_list<std::pair<const char*, std::string>> members)
{
    std::string out = "{";
    for (const auto& [key, value] : members)
        out += std::string(out.size() > 1 ? "," : "") + "\"" + key + "\":\"" + value + "\"";
    return out + "}";
}

std::string Member(const std::string& reply, const char* key)
{
    std::smatch m;
    return std::regex_search(reply, m, std::regex(std::string("\"") + key + "\":\"([^\"]*)\"")) ? m[1].str() : "";
}

std::vector<std::string> Files(const std::string& dir, const char* extension)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == extension && it->path().filename().string()[0] != '.')
            out.push_back(it->path().string());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(Operations, OptionsAndFileErrorsSayWhatIsWrong)
{
    const std::string dir = MakeTempDir("kestrel-options");
    RunResult r = RunService(dir, "--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: kestrel-service"), std::string::npos);
    EXPECT_NE(r.out.find("--smtp-url"), std::string::npos);
    EXPECT_EQ(r.err, "");

    r = RunService(dir, "--bogus");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option --bogus"), std::string::npos) << r.err;
    r = RunService(dir, "--data");
    EXPECT_NE(r.err.find("missing value after --data"), std::string::npos) << r.err;

    // The file and the system's reason, and no port named for a fault of both ports.
    r = RunService(dir, "--data " + dir + "/d --tls-cert " + dir + "/none.pem --tls-key " + dir + "/none.key");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir + "/none.pem: No such file or directory"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("port"), std::string::npos) << r.err;
    WriteText(dir + "/junk.pem", "not a certificate\n");
    r = RunService(dir, "--data " + dir + "/d --tls-cert " + dir + "/junk.pem --tls-key " + dir + "/junk.pem");
    EXPECT_NE(r.err.find("the TLS certificate " + dir + "/junk.pem does not load: no start line"), std::string::npos)
        << r.err;

    r = RunService(dir, "--smtp-url smtp://127.0.0.1:2525");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--smtp-url needs --mail-from"), std::string::npos) << r.err;
    r = RunService(dir, "--data " + dir + "/d --smtp-url smtp://127.0.0.1:2525 --mail-from a@b.example --smtp-user u "
                        "--smtp-password-file " + dir + "/nopass");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read " + dir + "/nopass: No such file or directory"), std::string::npos) << r.err;
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// Sign-up, a reset by its mailed link, and a mail queued while the mail
// server is down: every mail reaches the server once, and the log, which
// says each step, holds none of the passwords, tokens or links.
TEST(Operations, MailGoesOutOverSmtpOnceAndTheLogKeepsNoSecrets)
{
    const std::string dir = MakeTempDir("kestrel-mail");
    const std::string mails = dir + "/mails";
    fs::create_directories(mails);
    ASSERT_EQ(system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + dir +
                      "/smtp.key -out " + dir + "/smtp.pem -days 30 -subj /CN=mail.test -addext "
                      "subjectAltName=IP:127.0.0.1 2>/dev/null").c_str()),
              0);
    const std::string smtp_password = "Sm7p#relay-pass";
    WriteText(dir + "/smtp-password", smtp_password + "\n");
    const std::vector<std::string> smtp = {std::string(KESTREL_SOURCE_DIR) + "/tests/support/smtp-server",
                                           "127.0.0.1", "2525", mails, dir + "/smtp.pem", dir + "/smtp.key", "kestrel",
                                           smtp_password};
    pid_t server = StartProgram(smtp, dir + "/smtp.log");
    ASSERT_TRUE(WaitFor([&] { return ReadText(dir + "/smtp.log").find("smtp-server ready") != std::string::npos; }))
        << ReadText(dir + "/smtp.log");

    ServiceProcess service;
    service.log_path = dir + "/service.log";
    ASSERT_TRUE(StartService(service, {"--smtp-url", "smtp://127.0.0.1:2525", "--smtp-user", "kestrel",
                                       "--smtp-password-file", dir + "/smtp-password", "--smtp-ca", dir + "/smtp.pem",
                                       "--mail-from", "kestrel@mail.test", "--log-requests", "--metrics", "39090"}))
        << service.output;
    httplib::Client web("127.0.0.1", 39001);
    const std::string outbox = service.data_dir + "/outbox";
    std::set<std::string> secrets = {"Secret#9x", "Brand&New9", "Other#Pass7", smtp_password};

    auto signup = web.Post("/signup", Json({{"username", "mailer"}, {"password", "Secret#9x"},
                                            {"email", "mailer@example.com"}}), "application/json");
    ASSERT_TRUE(signup);
    secrets.insert(Member(signup->body, "token"));
    ASSERT_TRUE(WaitFor([&] { return Files(mails, ".eml").size() == 1; })) << ReadText(service.log_path);
    EXPECT_NE(ReadText(Files(mails, ".eml")[0]).find("X-Envelope-To: mailer@example.com"), std::string::npos);
    EXPECT_TRUE(WaitFor([&] { return Files(outbox, ".eml").empty(); })); // taken: gone from the queue

    // The reset mail's link works: form, new password, sign-in with it.
    ASSERT_TRUE(web.Post("/request-reset", Json({{"username", "mailer@example.com"}}), "application/json"));
    ASSERT_TRUE(WaitFor([&] { return Files(mails, ".eml").size() == 2; })) << ReadText(service.log_path);
    const std::string reset = ReadText(Files(mails, ".eml")[1]);
    EXPECT_NE(reset.find("From: Kestrel Multiplayer <kestrel@mail.test>"), std::string::npos) << reset;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(reset, m, std::regex("http://127\\.0\\.0\\.1:39001/reset\\?t=([0-9a-f]{64})"))) << reset;
    const std::string t = m[1].str();
    secrets.insert(t);
    auto page = web.Get(("/reset?t=" + t).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    auto done = web.Post("/reset", httplib::Params{{"t", t}, {"password", "Brand&New9"}});
    ASSERT_TRUE(done);
    EXPECT_NE(done->body.find("Your password was changed."), std::string::npos) << done->body;
    auto login = web.Post("/login", Json({{"username", "mailer"}, {"password", "Brand&New9"}}), "application/json");
    ASSERT_TRUE(login);
    EXPECT_NE(login->body.find("\"ok\":true"), std::string::npos) << login->body;
    secrets.insert(Member(login->body, "token"));

    // The mail server down: the mail waits in the outbox, is tried again, and
    // arrives once the server is back.
    StopProgram(server);
    auto second = web.Post("/signup", Json({{"username", "second"}, {"password", "Other#Pass7"},
                                            {"email", "second@example.com"}}), "application/json");
    ASSERT_TRUE(second);
    secrets.insert(Member(second->body, "token"));
    ASSERT_TRUE(WaitFor([&] { return ReadText(service.log_path).find("not delivered (attempt 1)") != std::string::npos; }))
        << ReadText(service.log_path);
    EXPECT_EQ(Files(outbox, ".eml").size(), 1u);
    std::this_thread::sleep_for(2s);
    server = StartProgram(smtp, dir + "/smtp2.log");
    ASSERT_TRUE(WaitFor([&] { return Files(mails, ".eml").size() == 3; }, 30000ms)) << ReadText(service.log_path);
    EXPECT_NE(ReadText(Files(mails, ".eml")[2]).find("X-Envelope-To: second@example.com"), std::string::npos);
    EXPECT_TRUE(WaitFor([&] { return Files(outbox, ".eml").empty(); }));
    std::this_thread::sleep_for(3s); // a second copy would come within this
    EXPECT_EQ(Files(mails, ".eml").size(), 3u);
    for (const std::string& mail : Files(mails, ".eml"))
        if (std::regex_search(mail, m, std::regex("t=([0-9a-f]{64})")))
            secrets.insert(m[1].str());

    // Health on the metrics listener, and the build on the metrics page.
    httplib::Client metrics("127.0.0.1", 39090);
    auto alive = metrics.Get("/healthz");
    ASSERT_TRUE(alive);
    EXPECT_EQ(alive->status, 200);
    auto ready = metrics.Get("/readyz");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 200);
    auto page_of_figures = metrics.Get("/metrics");
    ASSERT_TRUE(page_of_figures);
    EXPECT_NE(page_of_figures->body.find("kestrel_build_info{version=\""), std::string::npos);
    EXPECT_NE(page_of_figures->body.find("kestrel_start_time_seconds "), std::string::npos);

    EXPECT_EQ(StopServiceKeepingData(service), 0);
    StopProgram(server);
    const std::string log = ReadText(service.log_path);
    std::istringstream lines(log);
    std::string line;
    const std::regex shape("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z (info|warn|error) .+");
    while (std::getline(lines, line))
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
    for (const std::string& secret : secrets) {
        ASSERT_FALSE(secret.empty());
        EXPECT_EQ(log.find(secret), std::string::npos) << "the log holds " << secret;
    }
    EXPECT_EQ(log.find("?t="), std::string::npos);
    EXPECT_EQ(log.find("mailer@example.com"), std::string::npos); // addresses are masked
    for (const char* said : {" ready: account port TCP 127.0.0.1:39001", "mail sent through smtp://127.0.0.1:2525 as kestrel",
                             "request account POST /signup 200", "request account GET /reset 200",
                             "delivered to m***@example.com", "delivered to s***@example.com after",
                             "SIGTERM: stopping", "info stopped"})
        EXPECT_NE(log.find(said), std::string::npos) << said << " missing in:\n" << log;
    StopService(service);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

// The store out of reach: players get 503, /readyz says so, the log says
// when it began and when it ended.
TEST(Operations, AStoreOutageAndItsEndAreLogged)
{
    std::string error;
    const std::string uri = CreateTestDatabase(error);
    ASSERT_FALSE(uri.empty()) << error;
    const size_t slash = uri.rfind('/', uri.find('?'));
    const std::string name = uri.substr(slash + 1, uri.find('?') - slash - 1);
    const std::string admin = uri.substr(0, slash + 1) + "postgres" + uri.substr(uri.find('?'));
    const std::string dir = MakeTempDir("kestrel-outage");
    ServiceProcess service;
    service.log_path = dir + "/service.log";
    ASSERT_TRUE(StartService(service, {"--store", uri, "--metrics", "39090"})) << service.output;
    httplib::Client web("127.0.0.1", 39001), metrics("127.0.0.1", 39090);
    auto up = web.Post("/signup", Json({{"username", "keeper"}, {"password", "Secret#9x"}, {"email", "keeper@example.com"}}), "application/json");
    ASSERT_TRUE(up);
    const std::string token = Member(up->body, "token");
    ASSERT_FALSE(token.empty()) << up->body;

    ASSERT_TRUE(ExecOnDatabase(admin, "ALTER DATABASE " + name + " WITH ALLOW_CONNECTIONS false", error)) << error;
    ASSERT_TRUE(ExecOnDatabase(admin, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                                          name + "'", error)) << error;
    auto cut = web.Post("/session", Json({{"token", token}}), "application/json");
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->status, 503);
    auto not_ready = metrics.Get("/readyz");
    ASSERT_TRUE(not_ready);
    EXPECT_EQ(not_ready->status, 503);
    EXPECT_NE(not_ready->body.find("the store does not answer"), std::string::npos) << not_ready->body;
    EXPECT_TRUE(WaitFor([&] { return ReadText(service.log_path).find("calls had no answer") != std::string::npos; }))
        << ReadText(service.log_path);

    ASSERT_TRUE(ExecOnDatabase(admin, "ALTER DATABASE " + name + " WITH ALLOW_CONNECTIONS true", error)) << error;
    EXPECT_TRUE(WaitFor([&] {
        auto back = web.Post("/session", Json({{"token", token}}), "application/json");
        return back && back->status == 200;
    }));
    EXPECT_TRUE(WaitFor([&] { return ReadText(service.log_path).find("answers again after") != std::string::npos; }))
        << ReadText(service.log_path);
    printf("%s", ReadText(service.log_path).c_str());
    StopService(service);
    DropTestDatabase(uri);
    std::error_code ec;
    fs::remove_all(dir, ec);
}
