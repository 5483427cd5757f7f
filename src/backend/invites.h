// Room invites between friends: sending one into this player's room, and the
// invites to this player, which ride on the message threads poll.
#pragma once

#include <string>

struct RoomInvite;

// Render thread: invites friend `gamertag` into the room this player is in.
// The outcome lands in friend_status (empty after a success); the friends
// list refreshes so the row shows the invite.
void StartInvite(const std::string& gamertag);
void InviteWorker(std::string gamertag, std::string code);

// Render thread: takes the invite up (a room op join; the shell shows the
// matchmaking page) or turns it down. Either way it leaves the list at once.
void JoinInvite(const RoomInvite& invite);
void DeclineInvite(const RoomInvite& invite);
void DeclineInviteWorker(std::string from);

// The threads poller, holding the account lock with the reply of the current
// token: replaces the invite list and toasts each invite not seen before.
void ApplyInvites(const std::string& threads_reply);
