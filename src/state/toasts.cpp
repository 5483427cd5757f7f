#include "state/toasts.h"

#include "state/app_state.h"
#include "state/utf8_text.h"

void PushToast(const std::string& title, const std::string& text, float duration_seconds)
{
    ToastState& t = g_app.toasts;
    if (!t.enabled.load())
        return;
    Toast toast;
    toast.title = title.empty() ? std::string("Message") : Utf8Ellipsize(title, kMaxToastTitle);
    toast.text = Utf8Ellipsize(text, kMaxToastText);
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
