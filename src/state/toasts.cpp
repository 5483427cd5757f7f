#include "state/toasts.h"

#include "state/app_state.h"

void PushToast(const std::string& title, const std::string& text, float duration_seconds)
{
    ToastState& t = g_app.toasts;
    if (!t.enabled.load())
        return;
    Toast toast;
    toast.title = title.empty() ? "Message" : title;
    if (text.size() > kMaxToastText) {
        // Never inside a multi-byte character: back up over continuation bytes.
        size_t cut = kMaxToastText - 3;
        while (cut > 0 && ((unsigned char)text[cut] & 0xC0) == 0x80)
            cut--;
        toast.text = text.substr(0, cut) + "...";
    } else {
        toast.text = text;
    }
    toast.duration = duration_seconds;
    std::lock_guard<std::mutex> g(t.lock);
    t.queue.push_back(std::move(toast));
    if (t.queue.size() > kMaxToasts)
        t.queue.erase(t.queue.begin());
}

std::vector<Toast> CopyToasts()
{
    std::lock_guard<std::mutex> g(g_app.toasts.lock);
    return g_app.toasts.queue;
}

std::vector<Toast> TakeToasts()
{
    std::lock_guard<std::mutex> g(g_app.toasts.lock);
    std::vector<Toast> out;
    out.swap(g_app.toasts.queue);
    return out;
}
