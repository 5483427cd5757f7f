// The small HTML pages the account port serves to browsers: the targets of
// the links in reset and verification mails, and the download page.
#pragma once

#include <string>

// A form that posts a new password with the link's token to "/reset";
// `error` (may be empty) is shown above it.
std::string ResetFormPage(const std::string& token, const std::string& error);
// A button that posts the link's token to "/verify".
std::string VerifyFormPage(const std::string& token);
std::string ExpiredLinkPage();
std::string DonePage(const std::string& title, const std::string& text);
std::string DownloadPage();
