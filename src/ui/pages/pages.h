// The pages of the menu window and the sections they share: one function per
// page, called by the shell every frame on which its page is current.
#pragma once

#include <imgui.h>

#include <cstdint>
#include <string>

// Before the menu (full window, no sidebar)
void DrawSignInPage();          // page 0
void DrawSignUpPage();          // page 6
void DrawForgotPasswordPage();  // page 10
void DrawWelcomePage(float dt); // page 7

// Menu pages (content area beside the sidebar)
void DrawHomePage();            // page 1
void DrawCreateRoomPage();      // page 2
void DrawFindRoomPage();        // page 3
void DrawMatchmakingPage();     // page 4
void DrawProfilePage();         // page 5
void DrawSettingsPage();        // page 8
void DrawHowToUsePage();        // page 9
void DrawFriendsPage();         // page 11
void DrawMessagesPage();        // page 12

// Sections
void DrawFriendsSection();      // Friends page and Profile
void DrawNameplateSection();    // lobby
void DrawConnectionQuality();   // lobby, once the link runs

// In place of every page while this client is refused by the service.
void DrawUpdateNotice();

// Settings page: the menu key's shown name ("END", "F5", "KEY 0x07"), and the
// end of a key capture, run after the menu window every frame: a capture ends
// once its key is released, and on any frame the page was not drawn.
std::string KeyName();
std::string KeyNameFor(int32_t vk);
void EndKeyCaptureStep();

// Shared by the room pages (Home, Create, Find, Lobby)
void GoToPage(int32_t page);    // NavigateTo unless the page is already current
void DrawRoomError();           // room_error in gold, drawn under the room lock

// The lobby's connection readout: first match wins, a loss of -1 passes
// every loss test.
struct LinkRating
{
    const char* word;
    int32_t bars; // lit bars of four
    ImVec4 colour;
};
LinkRating RateLink(int32_t rtt_ms, int32_t loss_percent);
