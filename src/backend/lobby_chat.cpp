#include "backend/lobby_chat.h"

#include "backend/http.h"
#include "backend/json_text.h"
#include "backend/player_name.h"
#include "backend/saved_room.h"
#include "state/app_state.h"
#include "state/worker.h"

#include <vector>

static std::string CodeOfLiveRoom()
{
    std::lock_guard<std::mutex> g(g_app.room.lock);
    // A closed room keeps its code for the page but is not polled any more.
    return g_app.room.heartbeat_active.load() ? g_app.room.room_code : std::string();
}

void PollChat()
{
    const std::string code = CodeOfLiveRoom();
    if (code.empty())
        return;
    if (g_app.flags.chat_poll_busy.exchange(true))
        return;
    const std::string name = PlayerName();
    const std::string cid = ClientId();
    int32_t after = 0;
    {
        std::lock_guard<std::mutex> g(g_app.chat.lock);
        after = g_app.chat.chat_last_id;
    }
    try {
        StartWorker(ChatPollWorker, code, name, cid, after, g_app.room.room_generation.load());
    } catch (...) {
        g_app.flags.chat_poll_busy.store(false);
        throw;
    }
}

void ChatPollWorker(std::string code, std::string player_name, std::string cid, int32_t after_id, uint32_t generation)
{
    const std::string body = "{\"gamertag\":\"" + JsonEscape(player_name) + "\",\"cid\":\"" + JsonEscape(cid) +
                             "\",\"code\":\"" + JsonEscape(code) + "\",\"after_id\":" + std::to_string(after_id) + "}";
    std::string reply;
    if (HttpPostJson(kRoomPort, L"/chat/poll", body, reply)) {
        const std::vector<std::string> elements = JsonGetObjectArray(reply, "messages");
        char own = 0;
        {
            std::lock_guard<std::mutex> g(g_app.room.lock);
            own = g_app.room.room_role;
        }
        ChatState& chat = g_app.chat;
        const bool primed = chat.chat_primed.load();
        std::lock_guard<std::mutex> g(chat.lock);
        // A poll answered after the player left (or moved on) belongs to no
        // list; one that asked after lines of a list cleared since would skip
        // the new room's first lines.
        if (g_app.room.room_generation.load() == generation && after_id <= chat.chat_last_id) {
            for (const std::string& e : elements) {
                ChatMessage m;
                JsonGetInt(e, "id", m.id);
                m.role = JsonGetString(e, "role");
                m.name = JsonGetString(e, "name");
                m.body = JsonGetString(e, "body");
                if (m.id > chat.chat_last_id)
                    chat.chat_last_id = m.id;
                if (primed && !m.role.empty() && m.role[0] != own)
                    PushToast(m.name.empty() ? "Lobby" : m.name, m.body, 4.8f);
                chat.chat_messages.push_back(std::move(m));
            }
            if (chat.chat_messages.size() > kChatLinesKept)
                chat.chat_messages.erase(chat.chat_messages.begin(),
                                         chat.chat_messages.end() - (std::ptrdiff_t)kChatLinesKept);
            chat.chat_primed.store(true);
        }
    }
    g_app.flags.chat_poll_busy.store(false);
}

void SendChat(const std::string& text)
{
    const std::string code = CurrentRoomCode();
    if (code.empty() || text.empty())
        return;
    const std::string body = "{\"gamertag\":\"" + JsonEscape(PlayerName()) + "\",\"cid\":\"" + JsonEscape(ClientId()) +
                             "\",\"code\":\"" + JsonEscape(code) + "\",\"text\":\"" + JsonEscape(text) + "\"}";
    ChatState& chat = g_app.chat;
    bool start = false;
    {
        std::lock_guard<std::mutex> g(chat.send_lock);
        chat.send_queue.push_back(body);
        start = !chat.sender_running;
        chat.sender_running = true;
    }
    if (start) {
        try {
            StartWorker(ChatSendWorker);
        } catch (...) {
            std::lock_guard<std::mutex> g(chat.send_lock);
            chat.send_queue.clear();
            chat.sender_running = false;
            throw;
        }
    }
}

void ChatSendWorker()
{
    ChatState& chat = g_app.chat;
    for (;;) {
        std::string body;
        {
            std::lock_guard<std::mutex> g(chat.send_lock);
            if (chat.send_queue.empty()) {
                chat.sender_running = false;
                break;
            }
            body = std::move(chat.send_queue.front());
            chat.send_queue.erase(chat.send_queue.begin());
        }
        // A line that fails to send is dropped; the next one still goes.
        std::string reply;
        HttpPostJson(kRoomPort, L"/chat/send", body, reply);
    }
    // The lines are in: a poll now brings them back without waiting for the timer.
    PollChat();
}

void ClearRoomChat()
{
    std::lock_guard<std::mutex> g(g_app.chat.lock);
    g_app.chat.chat_messages.clear();
    g_app.chat.chat_last_id = 0;
    g_app.chat.chat_primed.store(false);
}

void ChatPollTimerStep(double now_seconds, double& timer)
{
    bool in_room = false;
    {
        std::lock_guard<std::mutex> g(g_app.room.lock);
        in_room = !g_app.room.room_code.empty();
    }
    if (in_room && now_seconds - timer > 3.0) {
        timer = now_seconds;
        PollChat();
    }
}
