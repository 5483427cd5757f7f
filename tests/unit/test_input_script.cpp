// The screenshot scripts' waiting steps: a box that settles, a box that
// changes. A wrong row order or box would let a script shoot too early.
#include "../../tools/common/input_script.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr int kW = 16, kH = 12;

struct Picture
{
    uint8_t rgba[kW * kH * 4] = {};
    void Set(int x, int y, uint8_t v) { rgba[(y * kW + x) * 4] = v; }
};

ScriptStep Step(const std::string& line)
{
    std::vector<ScriptStep> steps;
    std::string error;
    EXPECT_TRUE(ParseInputScript(line + "\n", steps, error)) << error;
    return steps.empty() ? ScriptStep() : steps[0];
}

} // namespace

TEST(InputScript, WaitChangeSeesOnlyItsBoxAndWaitStillCountsFramesInARow)
{
    std::string error;
    std::vector<ScriptStep> bad;
    EXPECT_FALSE(ParseInputScript("waitstill 1 2 3 4\n", bad, error)) << "a frame count is needed";

    // Rows stored top to bottom.
    Picture p;
    const ScriptStep change = Step("waitchange 4 4 8 8");
    RegionWatch w;
    EXPECT_FALSE(ScriptRegionSettled(change, p.rgba, kW, kH, kW * 4, w));
    p.Set(10, 10, 200); // outside the box
    EXPECT_FALSE(ScriptRegionSettled(change, p.rgba, kW, kH, kW * 4, w));
    p.Set(5, 6, 200);
    EXPECT_TRUE(ScriptRegionSettled(change, p.rgba, kW, kH, kW * 4, w));

    // Rows stored bottom to top (OpenGL): the box is still counted from the top.
    Picture q;
    const uint8_t* top = q.rgba + (kH - 1) * kW * 4;
    const ScriptStep still = Step("waitstill 0 0 16 3 2");
    RegionWatch s;
    EXPECT_FALSE(ScriptRegionSettled(still, top, kW, kH, -kW * 4, s));
    q.Set(3, 11, 90); // the last stored row is the top one: inside the box
    EXPECT_FALSE(ScriptRegionSettled(still, top, kW, kH, -kW * 4, s));
    EXPECT_FALSE(ScriptRegionSettled(still, top, kW, kH, -kW * 4, s)) << "one frame the same";
    q.Set(3, 0, 90); // the bottom row: outside
    EXPECT_TRUE(ScriptRegionSettled(still, top, kW, kH, -kW * 4, s)) << "two frames the same";
    q.Set(4, 11, 7);
    EXPECT_FALSE(ScriptRegionSettled(still, top, kW, kH, -kW * 4, s)) << "a change starts the count again";
}
