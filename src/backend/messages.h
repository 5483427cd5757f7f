// Direct messages between friends, and the poller that raises a toast when a
// conversation's unread count grows.
#pragma once

#include <string>

// Render thread: opens the conversation with `gamertag` on the messages page.
void OpenConversation(const std::string& gamertag);

// Any thread: fetches the open conversation's messages after the last one held.
void FetchConversation();
// `opened`: conversation_opens when it was asked for; another by the answer
// (reopened, or signed out) and nothing is stored.
void ConversationWorker(std::string partner, int32_t after_id, uint32_t opened);

// Render thread: sends `text` to the open conversation, then fetches it.
// message_send is SendRunning until the outcome lands there and, for a
// failure, in send_status (the last send's wins). True when a send started.
bool SendDirectMessage(const std::string& text);
void SendMessageWorker(std::string partner, std::string text);

// Every 5 s while a token exists: "/messages/threads", toasts for grown counts.
// Runs while api_once is set, leaving its wait within 100 ms once it is not.
void MessageThreadsPoller();

// Starts the poller once per process (api_once); false if it already ran.
bool StartMessagePoller();

// Asks the poller to end (tests and tools); it ends within about 100 ms, or
// after the request in flight.
void StopMessagePoller();
