// The friend list: a cached copy of the signed-in player's friends and friend
// requests, refreshed from the account port, and the four actions on it.
#pragma once

#include <string>

// Any thread. One refresh at a time; signed out, the worker sends nothing.
void RefreshFriends();
void FriendsListWorker();

// Posts a friends-area action of the signed-in player; "" when the service
// took it, else the text to show. `token` receives the token it went under.
std::string PostSocialAction(const std::wstring& path, const std::string& fields, std::string& token);

// Render thread. path is "/friends/add", "/friends/respond" (with accept) or
// "/friends/remove"; the outcome lands in friend_status, then the lists refresh.
void StartFriendAction(const std::wstring& path, const std::string& gamertag, bool accept, bool has_accept);
void FriendActionWorker(std::wstring path, std::string gamertag, bool accept, bool has_accept);

// Sign-out: the lists, the requests and the open conversation go.
void ClearSocialLists();
