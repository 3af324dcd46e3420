#pragma once

// A point with three single-precision coordinates (x and z horizontal, y the
// height) and plane and space geometry on doubles. Angles are in radians.

#include <array>
#include <optional>
#include <string>

class CPunt {
public:
    CPunt() = default;
    CPunt(const CPunt& p) = default;
    CPunt(float fX, float fY, float fZ) : x(fX), y(fY), z(fZ) {}
    virtual ~CPunt() = default;
    CPunt& operator=(const CPunt& p) = default;

    // Exact equality of the three coordinates (a NaN is never equal).
    bool operator==(const CPunt& p) const { return x == p.x && y == p.y && z == p.z; }

    CPunt& Set(float fX, float fY, float fZ);
    CPunt& Translate(float fDx, float fDy, float fDz);

    // sqrt(x² + z²) in single precision.
    float GroundLength() const;
    // The distance to p in single precision; 0 when p is null.
    float Distance(const CPunt* p) const;

    // "%.5f %.5f 0.1": the distance walked so far and the scaled height
    // (y − dBaseY) · dHeightScale. A next point adds its scaled distance
    // (never negative) to rdAccumulated first.
    std::string ProfileLine(const CPunt* pNext, double dDistScale, double dBaseY,
                            double dHeightScale, double& rdAccumulated) const;
    // "%d %d.5 %d" of x − nOriginX, y + 10 and z − nOriginZ, each truncated
    // toward zero.
    std::string GridLine(int nOriginX, int nOriginZ) const;

    // In the x-z plane (the result's y is 0, except when a and b coincide: a
    // itself). With c: the foot of the perpendicular from c onto the line a-b.
    // Without c: the point 10 units from b along x (along z when the
    // perpendicular has no x part) on the perpendicular to a-b through b.
    static CPunt PerpendicularPointXZ(const CPunt* a, const CPunt* b, const CPunt* c);
    // Crossings of the line through a and b with the circle of radius dR
    // about centre, in the x-z plane: the count (0, 1 or 2; 0 when a and b
    // coincide), the points written into the x and z of pFirst and pSecond.
    static int CircleCrossingsXZ(const CPunt* a, const CPunt* b, double dR, const CPunt* centre,
                                 CPunt* pFirst, CPunt* pSecond);
    // The angle at b of a-b-c in the x-z plane, 0 to π.
    static double VertexAngleXZ(const CPunt* a, const CPunt* b, const CPunt* c);

    float x = 0;
    float y = 0;
    float z = 0;
};

// The angle at P2 from P1 to P3, counter-clockwise, in [0, 2π); 0 when P1 or
// P3 coincides with P2.
double VERTEX_ANGLE_FULL_2D(double x1, double y1, double x2, double y2, double x3, double y3);
// The same angle folded into [0, π].
double VERTEX_ANGLE_HALF_2D(double x1, double y1, double x2, double y2, double x3, double y3);
double POINT_DIST_2D(double x1, double y1, double x2, double y2);
double POINT_DIST_SQ_2D(double x1, double y1, double x2, double y2);
double POINT_DIST_3D(double x1, double y1, double z1, double x2, double y2, double z2);
// True inside the circle or on its rim.
bool POINT_IN_CIRCLE_2D(double r, double cx, double cy, double x, double y);
// sign(p)·sqrt(|p|) of the power p = |P − C|² − r²: the tangent length
// outside, negative inside, 0 on the rim.
double CIRCLE_POWER_ROOT_2D(double r, double cx, double cy, double x, double y);
// −1 for a negative value, +1 otherwise.
double SIGN_PLUS_MINUS(double v);
// The line through P1 and P2 as P1 and a unit direction; (0, 0) when they
// coincide.
void TWO_POINTS_DIRECTION_2D(double x1, double y1, double x2, double y2, double& dx, double& dy,
                             double& x0, double& y0);
// Crossings of the line (x0, y0) + t·(dx, dy) with the circle, smaller t
// first: the count, the points in xs and ys. A line without direction
// crosses nothing.
int LINE_CIRCLE_CROSS_2D(double r, double cx, double cy, double x0, double y0, double dx, double dy,
                         double xs[2], double ys[2]);
// The foot of the perpendicular from P3 onto the line through P1 and P2.
// False, with xp and yp untouched, when P1 and P2 coincide.
bool LINE_EXP_PERP_2D(double x1, double y1, double x2, double y2, double x3, double y3, double& xp,
                      double& yp);
// The angle between the lines P1→P2 and P3→P4, in [0, π]; −1 when either
// line is degenerate.
double LINES_EXP_ANGLE_3D(double x1, double y1, double z1, double x2, double y2, double z2,
                          double x3, double y3, double z3, double x4, double y4, double z4);
double SECTOR_AREA_OF_ANGLE(double r, double theta);
double SECTOR_TRIANGLE_AREA(double r, double theta);
// The area between the chord and the arc.
double SEGMENT_AREA_OF_ANGLE(double r, double theta);
// n points evenly on the circle, the first on the positive x side: n (0 when
// n <= 0).
int POINTS_ON_CIRCLE_2D(double r, double cx, double cy, int n, double xs[], double ys[]);
// The centroid of the closed polygon; none when n <= 0 or its area is 0.
std::optional<std::array<double, 2>> POLYGON_CENTRE_2D(int n, const double xs[], const double ys[]);
