// The lobby chat: polled every 3 seconds while in a room, lines sent as typed;
// the partner's new lines raise toasts. Below the room session
// (backend/rooms.h), which clears the lines when a room ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Lines held on the client: as many as the service keeps per room.
constexpr size_t kChatLinesKept = 200;

// Render thread or the chat sender. One poll at a time; nothing outside a live room.
void PollChat();
void ChatPollWorker(std::string code, std::string player_name, std::string cid, int32_t after_id, uint32_t generation);

// Render thread. Queues one line; one sender posts the queued lines in order
// and polls once they are all in (a poll sent beside the line would come back
// without it).
void SendChat(const std::string& text);
void ChatSendWorker();

// Empties the list, its last id and the primed flag: every room starts with
// no lines and its first poll asks for all of them.
void ClearRoomChat();

// Once per frame with the frame's time in seconds: a poll every 3 seconds
// while in a room. `timer` starts at -100 so the first test fires at once.
void ChatPollTimerStep(double now_seconds, double& timer);
