// The lobby chat: polled every 3 seconds while in a room, lines sent as typed;
// the partner's new lines raise toasts. Below the room session
// (backend/rooms.h), which clears the lines when a room ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Lines held on the client: as many as the service keeps per room.
constexpr size_t kChatLinesKept = 200;

// Render thread. One poll at a time; nothing outside a live room.
void PollChat();
void ChatPollWorker(std::string code, std::string player_name, std::string cid, int32_t after_id, uint32_t generation);

// Render thread. Sends one line, then polls at once.
void SendChat(const std::string& text);
void ChatSendWorker(std::string code, std::string player_name, std::string cid, std::string text);

// Empties the list, its last id and the primed flag: every room starts with
// no lines and its first poll asks for all of them.
void ClearRoomChat();

// Once per frame with the frame's time in seconds: a poll every 3 seconds
// while in a room. `timer` starts at -100 so the first test fires at once.
void ChatPollTimerStep(double now_seconds, double& timer);
