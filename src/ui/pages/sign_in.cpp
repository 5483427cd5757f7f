// The pages before the menu: sign in (0), create account (6), reset password
// (10) and the welcome page (7). They fill the window by themselves.
#include "ui/pages/pages.h"

#include "ui/kit.h"
#include "ui/palette.h"

#include <imgui.h>

namespace {

void NotBuilt(const char* title)
{
    // Gap: the sign-in pages' cards and forms are not built yet.
    TextColoured(ColText, title);
    TextColoured(ColMuted, "Not built yet.");
}

} // namespace

void DrawSignInPage()
{
    NotBuilt("Sign In");
}

void DrawSignUpPage()
{
    NotBuilt("Create Account");
}

void DrawForgotPasswordPage()
{
    NotBuilt("Reset Password");
}

void DrawWelcomePage(float)
{
    NotBuilt("Welcome");
}
