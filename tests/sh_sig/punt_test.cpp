#include "sh_sig/punt.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;

TEST(PointGeometry, VertexAngles) {
    EXPECT_DOUBLE_EQ(VERTEX_ANGLE_FULL_2D(1, 0, 0, 0, 0, 1), kPi / 2);
    EXPECT_DOUBLE_EQ(VERTEX_ANGLE_FULL_2D(0, 1, 0, 0, 1, 0), 3 * kPi / 2);
    EXPECT_DOUBLE_EQ(VERTEX_ANGLE_HALF_2D(1, 0, 0, 0, 0, 1), kPi / 2);
    EXPECT_DOUBLE_EQ(VERTEX_ANGLE_HALF_2D(0, 1, 0, 0, 1, 0), kPi / 2);
    EXPECT_EQ(VERTEX_ANGLE_FULL_2D(0, 0, 0, 0, 1, 1), 0.0);
    EXPECT_EQ(VERTEX_ANGLE_HALF_2D(1, 1, 2, 2, 2, 2), 0.0);
    // The point's angle works in x-z: the height does not count.
    const CPunt a(0, 5, 1), b(0, -3, 0), c(-1, 100, 0);
    EXPECT_DOUBLE_EQ(CPunt::VertexAngleXZ(&a, &b, &c), kPi / 2);

    // Parallel lines meet at 0 even when rounding leaves the cosine above 1;
    // a degenerate line answers -1.
    EXPECT_EQ(LINES_EXP_ANGLE_3D(0, 0, 0, 1, 3, 7, 1, 1, 1, 3, 7, 15), 0.0);
    EXPECT_DOUBLE_EQ(LINES_EXP_ANGLE_3D(0, 0, 0, 1, 0, 0, 0, 0, 0, -2, 0, 0), kPi);
    EXPECT_EQ(LINES_EXP_ANGLE_3D(1, 1, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0), -1.0);
}

TEST(PointGeometry, CircleCrossings) {
    const CPunt centre(0, 7, 0);
    CPunt first(9, 9, 9), second(9, 9, 9);
    // Tangent: the line z = 1 touches the unit circle once.
    const CPunt t1(-5, 0, 1), t2(5, 0, 1);
    EXPECT_EQ(CPunt::CircleCrossingsXZ(&t1, &t2, 1.0, &centre, &first, &second), 1);
    EXPECT_EQ(first, CPunt(0, 9, 1));
    EXPECT_EQ(second, CPunt(9, 9, 9));
    // Through the centre: two points r away, the one nearer a first.
    const CPunt a(-3, 0, 4), b(3, 0, -4);
    EXPECT_EQ(CPunt::CircleCrossingsXZ(&a, &b, 2.5, &centre, &first, &second), 2);
    EXPECT_FLOAT_EQ(first.x, -1.5f);
    EXPECT_FLOAT_EQ(first.z, 2.0f);
    EXPECT_FLOAT_EQ(second.x, 1.5f);
    EXPECT_FLOAT_EQ(second.z, -2.0f);
    // A line that misses, and two coinciding points, which make no line.
    const CPunt m1(-5, 0, 3), m2(5, 0, 3);
    EXPECT_EQ(CPunt::CircleCrossingsXZ(&m1, &m2, 2.5, &centre, &first, &second), 0);
    EXPECT_EQ(CPunt::CircleCrossingsXZ(&a, &a, 10.0, &centre, &first, &second), 0);
    EXPECT_FLOAT_EQ(first.x, -1.5f);

    EXPECT_TRUE(POINT_IN_CIRCLE_2D(5, 0, 0, 3, 4));  // on the rim
    EXPECT_DOUBLE_EQ(CIRCLE_POWER_ROOT_2D(3, 0, 0, 5, 0), 4.0);
    EXPECT_DOUBLE_EQ(CIRCLE_POWER_ROOT_2D(5, 0, 0, 3, 0), -4.0);
    double xs[4], ys[4];
    ASSERT_EQ(POINTS_ON_CIRCLE_2D(2, 1, 1, 4, xs, ys), 4);
    EXPECT_DOUBLE_EQ(xs[0], 3);
    EXPECT_NEAR(ys[1], 3, 1e-12);
    EXPECT_NEAR(xs[2], -1, 1e-12);
    EXPECT_NEAR(ys[3], -1, 1e-12);
    EXPECT_EQ(POINTS_ON_CIRCLE_2D(2, 1, 1, -1, xs, ys), 0);
}

TEST(PointGeometry, PerpendicularPoints) {
    const CPunt a(0, 0, 2), b(2, 0, 4), c(4, 0, 0);
    // The foot of the perpendicular from c onto a-b.
    EXPECT_EQ(CPunt::PerpendicularPointXZ(&a, &b, &c), CPunt(1, 0, 3));
    double xp = 7, yp = 7;
    EXPECT_FALSE(LINE_EXP_PERP_2D(1, 1, 1, 1, 0, 0, xp, yp));
    EXPECT_EQ(xp, 7);

    // Without c: 10 along x from b, perpendicular to a-b; also for a line
    // through the origin, and along z when the perpendicular has no x part.
    const auto Perpendicular = [](const CPunt& p, const CPunt& q) {
        const CPunt r = CPunt::PerpendicularPointXZ(&p, &q, nullptr);
        return (r.x - q.x) * (q.x - p.x) + (r.z - q.z) * (q.z - p.z);
    };
    EXPECT_EQ(CPunt::PerpendicularPointXZ(&a, &b, nullptr), CPunt(12, 0, -6));
    EXPECT_FLOAT_EQ(Perpendicular(CPunt(-1, 0, -1), CPunt(1, 0, 1)), 0.0f);
    EXPECT_EQ(CPunt::PerpendicularPointXZ(&a, &b, nullptr).y, 0.0f);
    const CPunt xAxis1(-3, 0, 0), xAxis2(3, 0, 0);
    EXPECT_EQ(CPunt::PerpendicularPointXZ(&xAxis1, &xAxis2, nullptr), CPunt(3, 0, 10));
    const CPunt same(2, 5, 4);
    EXPECT_EQ(CPunt::PerpendicularPointXZ(&same, &b, nullptr), same);
}

TEST(PointGeometry, PolygonCentreAndTexts) {
    const double sx[] = {0, 2, 2, 0}, sy[] = {0, 0, 2, 2};
    EXPECT_EQ(POLYGON_CENTRE_2D(4, sx, sy), (std::array<double, 2>{1, 1}));
    const double tx[] = {0, 3, 0}, ty[] = {0, 0, 3};
    EXPECT_EQ(POLYGON_CENTRE_2D(3, tx, ty), (std::array<double, 2>{1, 1}));
    const double lx[] = {0, 1, 2}, ly[] = {0, 1, 2};  // no area
    EXPECT_FALSE(POLYGON_CENTRE_2D(3, lx, ly).has_value());
    EXPECT_FALSE(POLYGON_CENTRE_2D(0, sx, sy).has_value());

    // Texts keep a decimal point whatever the process locale says.
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const CPunt p(12.7f, 3.2f, -4.9f);
    EXPECT_EQ(p.GridLine(10, 0), "2 13.5 -4");
    double dWalked = 1.25;
    EXPECT_EQ(p.ProfileLine(nullptr, 2.0, 1.2, 0.5, dWalked), "1.25000 1.00000 0.1");
    const CPunt q(12.7f, 3.2f, -0.9f);
    EXPECT_EQ(p.ProfileLine(&q, 0.5, 0.0, 1.0, dWalked), "3.25000 3.20000 0.1");
    EXPECT_DOUBLE_EQ(dWalked, 3.25);
    EXPECT_EQ(p.ProfileLine(&q, -1.0, 0.0, 1.0, dWalked), "3.25000 3.20000 0.1");
    std::setlocale(LC_NUMERIC, "C");
}

}  // namespace
