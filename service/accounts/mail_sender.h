// Delivery of the outbox over SMTP (libcurl). The outbox folder stays the
// queue: a mail file is removed only once the mail server took the mail; a
// refused or unreachable delivery is tried again later, waiting longer each
// time, and a mail that still fails after a day is moved to outbox/failed.
// One sender per instance, on its own DIR/outbox.
#pragma once

#include <string>

struct MailSenderOptions
{
    std::string url;      // smtp://, smtps:// or smtp+plain:// (a relay without TLS)
    std::string user, password, ca;
    std::string from;
    int first_retry_s = 5;      // the wait after a first failure; doubles up to max_retry_s
    int max_retry_s = 600;
    int give_up_s = 24 * 3600;  // a verify link lasts a day: past it the mail is of no use
};

struct MailSender;

// Starts the sending thread; curl_global_init must have run.
MailSender* StartMailSender(const std::string& outbox_dir, const MailSenderOptions& options);
void StopMailSender(MailSender* sender);

// The address with most of its local part hidden ("b***@example.com"), for the log.
std::string MaskedAddress(const std::string& address);
