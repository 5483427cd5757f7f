// A scripted backend port for worker tests: answers by path, optional delays,
// and the bodies it received, in order.
#pragma once

#include "mini_http_server.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ScriptedPort
{
    MiniHttpServer* server = nullptr;
    std::mutex lock;
    std::map<std::string, MiniHttpAnswer> answers; // by path; default 200 {"ok":true}
    std::map<std::string, int> delay_ms;           // by path

    static MiniHttpAnswer Plain(int status, const std::string& body)
    {
        MiniHttpAnswer a;
        a.status = status;
        a.body = body;
        return a;
    }
    bool Start(uint16_t port)
    {
        server = StartMiniHttpServer(port);
        if (!server)
            return false;
        SetMiniHttpHandler(server, [this](const MiniHttpRequest& req) {
            MiniHttpAnswer a;
            int wait = 0;
            {
                std::lock_guard<std::mutex> g(lock);
                auto it = answers.find(req.target);
                a = it != answers.end() ? it->second : Plain(200, "{\"ok\":true}");
                wait = delay_ms[req.target];
            }
            if (wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            return a;
        });
        return true;
    }
    void Stop()
    {
        if (server)
            StopMiniHttpServer(server);
        server = nullptr;
    }
    void Answer(const std::string& path, const std::string& body, int status = 200)
    {
        std::lock_guard<std::mutex> g(lock);
        answers[path] = Plain(status, body);
    }
    void Delay(const std::string& path, int ms)
    {
        std::lock_guard<std::mutex> g(lock);
        delay_ms[path] = ms;
    }
    std::vector<std::string> Bodies(const std::string& path)
    {
        std::vector<std::string> out;
        if (server)
            for (const MiniHttpRequest& r : MiniHttpRequests(server))
                if (r.target == path)
                    out.push_back(r.body);
        return out;
    }
    size_t Count(const std::string& path) { return Bodies(path).size(); }
};
