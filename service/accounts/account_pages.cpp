#include "accounts/account_pages.h"

namespace {

std::string Html(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Page(const std::string& title, const std::string& body)
{
    return "<!doctype html><html><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
           "content=\"width=device-width\"><title>" +
           Html(title) +
           " - Kestrel Multiplayer</title><style>body{font-family:sans-serif;background:#0b0c0e;color:#ebeff7;"
           "max-width:28em;margin:4em auto;padding:0 1em}input,button{font-size:1em;padding:.5em;margin:.3em 0}"
           "button{background:#6691c2;border:0;border-radius:6px;color:#0a0d0f}.error{color:#d4b36b}</style>"
           "</head><body><h1>" +
           Html(title) + "</h1>" + body + "</body></html>";
}

} // namespace

std::string ResetFormPage(const std::string& token, const std::string& error)
{
    std::string body;
    if (!error.empty())
        body += "<p class=\"error\">" + Html(error) + "</p>";
    body += "<form method=\"post\" action=\"/reset\"><input type=\"hidden\" name=\"t\" value=\"" + Html(token) +
            "\"><p>New password (8+ chars, one capital letter, one special character.)</p>"
            "<input type=\"password\" name=\"password\" autocomplete=\"new-password\" required><br>"
            "<button type=\"submit\">Set new password</button></form>";
    return Page("Choose a new password", body);
}

std::string VerifyFormPage(const std::string& token)
{
    return Page("Confirm your email", "<form method=\"post\" action=\"/verify\"><input type=\"hidden\" name=\"t\" "
                                      "value=\"" + Html(token) +
                                          "\"><button type=\"submit\">Confirm my email address</button></form>");
}

std::string ExpiredLinkPage()
{
    return Page("Link expired", "<p>This link has expired or was already used. Ask for a new one in the game.</p>");
}

std::string DonePage(const std::string& title, const std::string& text)
{
    return Page(title, "<p>" + Html(text) + "</p>");
}

std::string DownloadPage()
{
    return Page("Download Kestrel Multiplayer",
                "<p>Get the latest build of Kestrel Multiplayer from your project's release page, then copy "
                "<code>reframework/plugins/Kestrel.dll</code> into the game folder.</p>");
}
