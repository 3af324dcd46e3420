#include "clients/velkoeyedx/sh_dx/demoscene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "clients/velkoeyedx/sh_dx/scenecontroller.h"
#include "sh_dx/scenefolder.h"

namespace {

using velkotest::CFakeTicks;
using velkotest::DrawOf;
using velkotest::Origin;

TEST(DemoSceneTest, Demo1BoxesTravelTheWayPointsAndTheFirstTenStop) {
    CFakeTicks ticks;
    CSceneController scene(ticks.Source());
    scene.LoadDemo1();
    EXPECT_TRUE(scene.GetClock().IsStopped());

    CAnimations& animations = scene.GetAnimations();
    const std::vector<std::string> vecAgents = animations.GetAgentNames();
    EXPECT_EQ(vecAgents.size(), 56u);
    auto Has = [&](const std::string& strName) {
        return std::find(vecAgents.begin(), vecAgents.end(), strName) != vecAgents.end();
    };
    EXPECT_TRUE(Has("layout"));
    EXPECT_TRUE(Has("box9") && Has("box15") && Has("box59"));
    EXPECT_FALSE(Has("box10") || Has("box14") || Has("box60"));

    // Where box i is at time t (x and y), drawn once with the box mesh.
    auto At = [&](double t, const std::string& strBox) {
        animations.Update(t);
        const auto draw = DrawOf(animations.Update(t).vecDraws, strBox);
        EXPECT_TRUE(draw) << strBox << " at " << t;
        EXPECT_EQ(draw ? draw->strMesh : "", "paquet.obj");
        const CVector3 v = draw ? Origin(*draw) : CVector3(-1, -1, -1);
        return std::pair<float, float>(v.x, v.y);
    };

    // Box 0 leaves P1 at 0.0 for P2, stops at 5.0 and stands until 9.0.
    const auto stop = At(5.0, "box0");
    EXPECT_NEAR(stop.first, -630.0f + 1148.0f * 5.0f / 11.0f, 1e-3f);
    EXPECT_EQ(At(7.0, "box0"), stop);
    EXPECT_EQ(At(8.9, "box0"), stop);
    EXPECT_NE(At(9.5, "box0"), stop);

    // Box 20 glides from P1 (at 20.0) to P2 (at 31.0): halfway at 25.5.
    EXPECT_EQ(At(25.5, "box20"), (std::pair<float, float>(-56.0f, -181.0f)));
    EXPECT_EQ(At(31.0, "box20"), (std::pair<float, float>(518.0f, -181.0f)));
    EXPECT_EQ(At(33.0, "box20"), (std::pair<float, float>(518.0f, -77.0f)));

    // The layout stands at the origin with its own mesh.
    const auto layout = DrawOf(animations.Update(34.0).vecDraws, "layout");
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->strMesh, "layout5.obj");
    EXPECT_EQ(Origin(*layout), CVector3());
}

}  // namespace
