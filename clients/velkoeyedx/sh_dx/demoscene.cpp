#include "clients/velkoeyedx/sh_dx/demoscene.h"

#include <string>
#include <vector>

#include "sh_aux/hpslib.h"

namespace {

const CVector3 kWayPoints[] = {{-630, -181, -9}, {518, -181, -9}, {518, 27, -9},
                               {-157, 27, -9},   {-157, 132, -9}, {367, 132, -9}};

// Box names: "box" and the number.
std::string Box(int i) {
    return "box" + IntToString(i);
}

void QueueMove(CAnimations& animations, const std::string& strAgent, double dTime, int nPoint) {
    animations.QueueEvent(
        CAnimEvent::MakeMove(strAgent, dTime, kWayPoints[nPoint], CVector3(), "", 1.0));
}

// The moves from way point nFrom on at the given times, then the removal at
// the last move's time.
void QueueLeg(CAnimations& animations, const std::string& strAgent, int nFrom,
              const std::vector<double>& vecTimes) {
    for (size_t i = 0; i < vecTimes.size(); ++i) {
        QueueMove(animations, strAgent, vecTimes[i], nFrom + static_cast<int>(i));
    }
    animations.QueueEvent(CAnimEvent::MakeRemove(strAgent, vecTimes.back()));
}

}  // namespace

void BuildDemo1(CAnimations& animations) {
    animations.LoadMesh("layout5.obj");
    animations.LoadMesh("paquet.obj");
    animations.AddAgent("layout", "layout5.obj");
    animations.QueueEvent(CAnimEvent::MakeMove("layout", 0.0, CVector3(), CVector3(), "", 1.0));

    for (int i = 0; i < 60; ++i) {
        if (i >= 10 && i <= 14) {
            continue;
        }
        const double t = i;
        animations.AddAgent(Box(i), "paquet.obj");
        QueueLeg(animations, Box(i), 0, {t, t + 11, t + 15, t + 22, t + 24, t + 31});
    }
    for (int j = 0; j < 10; ++j) {
        animations.StopAt(Box(j), 5.0 + 0.5 * j);
        animations.ResumeAt(Box(j), 9.0 + 0.5 * j);
    }
    for (int k = 0; k < 10; ++k) {
        const double t = k + 15;
        QueueLeg(animations, Box(k), 1, {t, t + 4, t + 11, t + 13, t + 20});
    }
}
