#include "accounts/mail_sender.h"

#include "log/log.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int kScanMs = 1000; // new mails are picked up within this

struct Pending
{
    int attempts = 0;
    int64_t next_ms = 0;  // not tried again before this
    int64_t first_fail_ms = 0;
};

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Upload
{
    const std::string* text;
    size_t at = 0;
};

size_t ReadMail(char* buffer, size_t size, size_t count, void* user)
{
    Upload* u = (Upload*)user;
    const size_t n = std::min(size * count, u->text->size() - u->at);
    memcpy(buffer, u->text->data() + u->at, n);
    u->at += n;
    return n;
}

// The address of the mail's "To:" header; "" when it has none.
std::string Recipient(const std::string& text)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            end = text.size();
        if (end == at)
            break; // the headers end
        if (text.compare(at, 4, "To: ") == 0)
            return text.substr(at + 4, end - at - 4);
        at = end + 2;
    }
    return std::string();
}

} // namespace

struct MailSender
{
    std::string outbox;
    MailSenderOptions o;
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::map<std::string, Pending> pending; // by file name; touched by the thread alone
};

std::string MaskedAddress(const std::string& address)
{
    const size_t at = address.find('@');
    if (at == std::string::npos || at == 0)
        return "***";
    return address.substr(0, 1) + "***" + address.substr(at);
}

// One delivery; "" when the server took the mail, else the reason.
static std::string Deliver(MailSender& s, const std::string& to, const std::string& text)
{
    CURL* curl = curl_easy_init();
    if (!curl)
        return "libcurl would not start";
    std::string url = s.o.url;
    const bool plain = url.rfind("smtp+plain://", 0) == 0;
    if (plain)
        url = "smtp://" + url.substr(13);
    char why[CURL_ERROR_SIZE] = "";
    Upload up{&text};
    curl_slist* rcpt = curl_slist_append(nullptr, ("<" + to + ">").c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USE_SSL, (long)(plain ? CURLUSESSL_NONE : CURLUSESSL_ALL));
    if (!s.o.user.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, s.o.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, s.o.password.c_str());
    }
    if (!s.o.ca.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, s.o.ca.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, ("<" + s.o.from + ">").c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadMail);
    curl_easy_setopt(curl, CURLOPT_READDATA, &up);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, why);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    const CURLcode rc = curl_easy_perform(curl);
    curl_slist_free_all(rcpt);
    curl_easy_cleanup(curl);
    if (rc == CURLE_OK)
        return std::string();
    return std::string(curl_easy_strerror(rc)) + (why[0] ? std::string(": ") + why : std::string());
}

static void Attempt(MailSender& s, const fs::path& file, int64_t now)
{
    const std::string name = file.filename().string();
    Pending& p = s.pending[name];
    if (p.next_ms > now)
        return;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return; // taken away meanwhile
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    const std::string to = Recipient(text);
    const std::string why = to.empty() ? "the mail has no To: header" : Deliver(s, to, text);
    if (why.empty()) {
        std::error_code ec;
        fs::remove(file, ec);
        if (ec)
            LogError("mail " + name + " was delivered but stays in the outbox (" + ec.message() +
                     "): it will be sent again");
        else
            LogInfo("mail " + name + " delivered to " + MaskedAddress(to) +
                    (p.attempts ? " after " + std::to_string(p.attempts + 1) + " attempts" : std::string()));
        s.pending.erase(name);
        return;
    }
    if (p.attempts == 0)
        p.first_fail_ms = now;
    p.attempts++;
    const int wait_s = std::min(s.o.max_retry_s, s.o.first_retry_s << std::min(p.attempts - 1, 16));
    p.next_ms = now + (int64_t)wait_s * 1000;
    if (now - p.first_fail_ms >= (int64_t)s.o.give_up_s * 1000) {
        std::error_code ec;
        fs::create_directories(file.parent_path() / "failed", ec);
        fs::rename(file, file.parent_path() / "failed" / name, ec);
        LogError("mail " + name + " to " + MaskedAddress(to) + " given up after " + std::to_string(p.attempts) +
                 " attempts (" + why + "): moved to outbox/failed");
        s.pending.erase(name);
        return;
    }
    // The first failure of a mail, then every fifth: a server down for hours
    // fills no log.
    if (p.attempts == 1 || p.attempts % 5 == 0)
        LogWarn("mail " + name + " to " + MaskedAddress(to) + " not delivered (attempt " + std::to_string(p.attempts) +
                "): " + why + "; next try in " + std::to_string(wait_s) + " s, it stays in the outbox");
}

static void Run(MailSender* s)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(s->lock);
            if (s->wake.wait_for(hold, std::chrono::milliseconds(kScanMs), [s] { return s->stop; }))
                return;
        }
        std::vector<fs::path> files;
        std::error_code ec;
        for (fs::directory_iterator it(s->outbox, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().extension() == ".eml" && it->path().filename().string()[0] != '.')
                files.push_back(it->path());
        std::sort(files.begin(), files.end()); // oldest first: names start with the time
        for (const fs::path& f : files) {
            {
                std::lock_guard<std::mutex> hold(s->lock);
                if (s->stop)
                    return;
            }
            Attempt(*s, f, NowMs());
        }
    }
}

MailSender* StartMailSender(const std::string& outbox_dir, const MailSenderOptions& options)
{
    MailSender* s = new MailSender;
    s->outbox = outbox_dir;
    s->o = options;
    s->thread = std::thread(Run, s);
    return s;
}

void StopMailSender(MailSender* sender)
{
    if (!sender)
        return;
    {
        std::lock_guard<std::mutex> hold(sender->lock);
        sender->stop = true;
    }
    sender->wake.notify_all();
    sender->thread.join();
    delete sender;
}
