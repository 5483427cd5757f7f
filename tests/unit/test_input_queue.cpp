// The per-frame input queue: what the window thread queues and what one
// platform new-frame hands to Dear ImGui.
#include "overlay_fixture.h"
#include "ui/input_queue.h"

namespace {

using InputQueue = OverlayTest;

constexpr uint32_t kVkA = 'A';
constexpr uint32_t kVkBack = 0x08;

TEST_F(InputQueue, PressAndReleaseBetweenTwoFramesIsSeenAndLeavesTheButtonUp)
{
    ImGuiIO& io = ImGui::GetIO();
    QueueMouseButtonEvent(0, true);
    QueueMouseButtonEvent(0, false);
    QueueKeyEvent(kVkBack, true);
    QueueKeyEvent(kVkBack, false);

    ASSERT_TRUE(ApplyQueuedInput(io));
    EXPECT_TRUE(io.MouseDown[0]) << "the press must reach Dear ImGui for one frame";
    EXPECT_TRUE(io.KeysDown[kVkBack]);
    ASSERT_TRUE(ApplyQueuedInput(io));
    EXPECT_FALSE(io.MouseDown[0]);
    EXPECT_FALSE(io.KeysDown[kVkBack]);
    EXPECT_FALSE(ApplyQueuedInput(io)) << "nothing left";

    // Held across frames: down stays down until its release arrives.
    QueueMouseButtonEvent(1, true);
    ApplyQueuedInput(io);
    ApplyQueuedInput(io);
    EXPECT_TRUE(io.MouseDown[1]);
    QueueMouseButtonEvent(1, false);
    ApplyQueuedInput(io);
    EXPECT_FALSE(io.MouseDown[1]);
}

TEST_F(InputQueue, DoubleClickBetweenFramesArrivesAsTwoPresses)
{
    ImGuiIO& io = ImGui::GetIO();
    for (int i = 0; i < 2; i++) {
        QueueMouseButtonEvent(0, true);
        QueueMouseButtonEvent(0, false);
    }
    std::vector<bool> seen;
    while (ApplyQueuedInput(io))
        seen.push_back(io.MouseDown[0]);
    EXPECT_EQ(seen, (std::vector<bool>{true, false, true, false}));
}

TEST_F(InputQueue, FastTypingArrivesWholeAndInOrder)
{
    ImGuiIO& io = ImGui::GetIO();
    const std::u16string text = u"Kestrel co-op \u00e9\u4e2d";
    for (char16_t c : text) {
        QueueKeyEvent(kVkA, true);
        QueueCharEvent(c);
        QueueKeyEvent(kVkA, false);
    }
    ASSERT_TRUE(ApplyQueuedInput(io));
    EXPECT_EQ(TypedText(), text) << "all characters go to Dear ImGui in the first frame";
    // The key taps are spread over frames, but no character is repeated.
    while (ApplyQueuedInput(io)) {
    }
    EXPECT_EQ(TypedText(), text);
    EXPECT_FALSE(io.KeysDown[kVkA]);
}

// Characters beyond U+FFFF (emoji, rarer ideographs) come from Windows as two
// UTF-16 units; Dear ImGui must see the one character, also when the pair is
// split over two input frames.
TEST_F(InputQueue, ASurrogatePairArrivesAsOneCharacter)
{
    ImGuiIO& io = ImGui::GetIO();
    QueueCharEvent(0xD83D);
    QueueCharEvent(0xDE00);
    QueueCharEvent('k');
    ASSERT_TRUE(ApplyQueuedInput(io));
    ASSERT_EQ(io.InputQueueCharacters.Size, 2);
    EXPECT_EQ((uint32_t)io.InputQueueCharacters[0], 0x1F600u);
    EXPECT_EQ((uint32_t)io.InputQueueCharacters[1], (uint32_t)'k');
    io.InputQueueCharacters.resize(0);
    QueueCharEvent(0xD840); // U+20000, an ideograph, split over two input frames
    ApplyQueuedInput(io);
    EXPECT_EQ(io.InputQueueCharacters.Size, 0);
    QueueCharEvent(0xDC00);
    ApplyQueuedInput(io);
    ASSERT_EQ(io.InputQueueCharacters.Size, 1);
    EXPECT_EQ((uint32_t)io.InputQueueCharacters[0], 0x20000u);
}

TEST_F(InputQueue, OneInputFrameIsAppliedPerFrameOldestFirst)
{
    ImGuiIO& io = ImGui::GetIO();
    // A backlog as a slow frame leaves it: three frames' worth of input.
    {
        std::lock_guard<std::mutex> g(g_app.input.lock);
        for (int i = 0; i < 3; i++) {
            InputFrame f;
            f.frame = g_app.input.frame_counter + (uint64_t)i;
            f.chars.push_back((uint16_t)('x' + i));
            f.wheel = 1.0f;
            g_app.input.frames.push_back(f);
        }
    }
    std::u16string after_each;
    for (int i = 0; i < 3; i++) {
        io.InputQueueCharacters.resize(0);
        io.MouseWheel = 0.0f;
        ASSERT_TRUE(ApplyQueuedInput(io));
        after_each += TypedText();
        EXPECT_EQ(io.MouseWheel, 1.0f) << "frame " << i;
    }
    EXPECT_EQ(after_each, u"xyz");
    EXPECT_EQ(QueuedFrames(), 0u);
}

TEST_F(InputQueue, InputAfterANewFrameStartsANewInputFrame)
{
    ImGuiIO& io = ImGui::GetIO();
    QueueCharEvent('a');
    QueueCharEvent('b');
    EXPECT_EQ(QueuedFrames(), 1u);
    ApplyQueuedInput(io);
    QueueCharEvent('c');
    EXPECT_EQ(QueuedFrames(), 1u);
    io.InputQueueCharacters.resize(0);
    ApplyQueuedInput(io);
    EXPECT_EQ(TypedText(), u"c");
}

TEST_F(InputQueue, OutOfRangeCodesAreDropped)
{
    ImGuiIO& io = ImGui::GetIO();
    QueueKeyEvent(256, true);
    QueueKeyEvent(0x1234, true);
    QueueMouseButtonEvent(5, true);
    QueueMouseButtonEvent(-1, true);
    QueueCharEvent(0);
    QueueCharEvent(0x10000);
    EXPECT_EQ(QueuedFrames(), 0u) << "nothing was queued";

    QueueKeyEvent(255, true);
    QueueMouseButtonEvent(4, true);
    QueueCharEvent(0xFFFF);
    ApplyQueuedInput(io);
    EXPECT_TRUE(io.KeysDown[255]);
    EXPECT_FALSE(io.KeysDown[256]);
    EXPECT_TRUE(io.MouseDown[4]);
    EXPECT_EQ(TypedText(), std::u16string(1, u'\uFFFF'));
}

TEST_F(InputQueue, WheelStepsAddUp)
{
    ImGuiIO& io = ImGui::GetIO();
    QueueWheel(1.0f, 0.0f);
    QueueWheel(-0.5f, 0.0f);
    QueueWheel(0.0f, 2.0f);
    ApplyQueuedInput(io);
    EXPECT_FLOAT_EQ(io.MouseWheel, 0.5f);
    EXPECT_FLOAT_EQ(io.MouseWheelH, 2.0f);
}

TEST_F(InputQueue, FocusLossClearsStateButKeepsLaterInput)
{
    ImGuiIO& io = ImGui::GetIO();
    QueueKeyEvent(kVkA, true);
    QueueMouseButtonEvent(0, true);
    ApplyQueuedInput(io);
    io.KeyCtrl = true;
    io.MousePos = ImVec2(50.0f, 60.0f);
    ASSERT_TRUE(io.KeysDown[kVkA]);
    EXPECT_EQ(QueuedButtonsDown(), 1u);

    QueueKeyEvent(kVkBack, true); // before the loss: dropped with it
    QueueFocusLost();
    EXPECT_EQ(QueuedButtonsDown(), 0u);
    QueueKeyEvent('B', true); // after the loss: kept
    ApplyQueuedInput(io);
    EXPECT_FALSE(io.KeysDown[kVkA]);
    EXPECT_FALSE(io.KeysDown[kVkBack]);
    EXPECT_TRUE(io.KeysDown['B']);
    EXPECT_FALSE(io.MouseDown[0]);
    EXPECT_FALSE(io.KeyCtrl);
    EXPECT_EQ(io.MousePos.x, 0.0f);
    EXPECT_EQ(io.MousePos.y, 0.0f);
}

TEST_F(InputQueue, QueuedButtonsTrackTheWindowThreadsView)
{
    QueueMouseButtonEvent(0, true);
    QueueMouseButtonEvent(3, true);
    EXPECT_EQ(QueuedButtonsDown(), 0x09u);
    QueueMouseButtonEvent(0, false);
    EXPECT_EQ(QueuedButtonsDown(), 0x08u);
    QueueMouseButtonEvent(3, false);
    EXPECT_EQ(QueuedButtonsDown(), 0u);
}

TEST_F(InputQueue, AFrameThatIsNeverTakenStaysBoundedWithoutStuckKeys)
{
    ImGuiIO& io = ImGui::GetIO();
    // The render thread is not presenting: everything lands in one frame.
    for (int i = 0; i < 20000; i++) {
        QueueKeyEvent((uint32_t)(0x41 + i % 26), true);
        QueueKeyEvent((uint32_t)(0x41 + i % 26), false);
        QueueCharEvent('a');
    }
    QueueKeyEvent(kVkBack, true); // the last word on this key: down
    {
        std::lock_guard<std::mutex> g(g_app.input.lock);
        ASSERT_EQ(g_app.input.frames.size(), 1u);
        EXPECT_LE(g_app.input.frames[0].keys.size(), (size_t)kMaxEventsPerInputFrame + 1);
        EXPECT_EQ(g_app.input.frames[0].chars.size(), (size_t)kMaxEventsPerInputFrame);
    }
    for (int i = 0; i < kMaxEventsPerInputFrame * 2 && ApplyQueuedInput(io); i++) {
    }
    EXPECT_EQ(QueuedFrames(), 0u);
    for (uint32_t vk = 0x41; vk < 0x41 + 26; vk++)
        EXPECT_FALSE(io.KeysDown[vk]) << "key " << vk << " stuck";
    EXPECT_TRUE(io.KeysDown[kVkBack]);
}

// A slow game: 15 frames a second while the window thread repeats a held key
// about 30 times a second (two auto-repeats per frame).
TEST_F(InputQueue, AtALowFrameRateAHeldKeyLeavesNoBacklog)
{
    ImGuiIO& io = ImGui::GetIO();
    QueueKeyEvent(kVkBack, true);
    for (int frame = 0; frame < 150; frame++) { // 10 s held
        ApplyQueuedInput(io);
        QueueKeyEvent(kVkBack, true);
        QueueKeyEvent(kVkBack, true);
    }
    ApplyQueuedInput(io);
    EXPECT_TRUE(io.KeysDown[kVkBack]);
    EXPECT_LE(QueuedFrames(), 1u);

    // Released, then a click: both reach Dear ImGui on the next frames, not
    // seconds later.
    QueueKeyEvent(kVkBack, false);
    QueueMouseButtonEvent(0, true);
    QueueMouseButtonEvent(0, false);
    ApplyQueuedInput(io);
    EXPECT_FALSE(io.KeysDown[kVkBack]) << "released on the first frame after the release";
    EXPECT_TRUE(io.MouseDown[0]);
    ApplyQueuedInput(io);
    EXPECT_FALSE(io.MouseDown[0]);
    EXPECT_EQ(QueuedFrames(), 0u);
}

TEST_F(InputQueue, ManyEdgesPerFrameFoldIntoABoundedBacklog)
{
    ImGuiIO& io = ImGui::GetIO();
    // Ten clicks per frame for a second at 15 fps: more edges than frames.
    for (int frame = 0; frame < 15; frame++) {
        for (int i = 0; i < 10; i++) {
            QueueMouseButtonEvent(0, true);
            QueueMouseButtonEvent(0, false);
        }
        ApplyQueuedInput(io);
        EXPECT_LE(QueuedFrames(), kMaxQueuedInputFrames);
    }
    // The last word is the release: nothing stays pressed.
    size_t frames = 0;
    while (ApplyQueuedInput(io))
        frames++;
    EXPECT_LE(frames, kMaxQueuedInputEdges) << "under two seconds behind at 15 fps";
    EXPECT_EQ(QueuedFrames(), 0u);
    EXPECT_FALSE(io.MouseDown[0]);
}

} // namespace
