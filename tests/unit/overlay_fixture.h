// A Dear ImGui context and a clean overlay state for each test; g_app is
// process-wide, so every test starts from the defaults.
#pragma once

#include "app_reset.h"
#include "state/app_state.h"
#include "ui/input_queue.h"

#include <gtest/gtest.h>
#include <imgui.h>

class OverlayTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.DisplaySize = ImVec2(1280.0f, 720.0f);
        io.DeltaTime = 1.0f / 60.0f;
        ResetState();
    }
    void TearDown() override
    {
        ImGui::DestroyContext();
        ResetState();
    }
    static void ResetState()
    {
        ResetOverlayFlags();
        ResetInputQueue();
    }
    static size_t QueuedFrames()
    {
        std::lock_guard<std::mutex> g(g_app.input.lock);
        return g_app.input.frames.size();
    }
    static std::u16string TypedText()
    {
        std::u16string s;
        for (ImWchar c : ImGui::GetIO().InputQueueCharacters)
            s.push_back((char16_t)c);
        return s;
    }
};
