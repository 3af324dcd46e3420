#include "sh_sig/punt.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "sh_aux/hpslib.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kTiny = 0.000001;

// Truncates toward zero; values beyond an int saturate and NaN gives 0.
int TruncateToInt(double dValue) {
    if (std::isnan(dValue)) {
        return 0;
    }
    return static_cast<int>(
        std::clamp(dValue, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

}  // namespace

// ---- CPunt ------------------------------------------------------------------------

CPunt& CPunt::Set(float fX, float fY, float fZ) {
    x = fX;
    y = fY;
    z = fZ;
    return *this;
}

CPunt& CPunt::Translate(float fDx, float fDy, float fDz) {
    x += fDx;
    y += fDy;
    z += fDz;
    return *this;
}

float CPunt::GroundLength() const {
    return std::sqrt(x * x + z * z);
}

float CPunt::Distance(const CPunt* p) const {
    if (!p) {
        return 0.0f;
    }
    const float fDx = p->x - x;
    const float fDy = p->y - y;
    const float fDz = p->z - z;
    return std::sqrt(fDx * fDx + fDy * fDy + fDz * fDz);
}

std::string CPunt::ProfileLine(const CPunt* pNext, double dDistScale, double dBaseY,
                               double dHeightScale, double& rdAccumulated) const {
    const double dHeight = (y - dBaseY) * dHeightScale;
    if (pNext) {
        rdAccumulated += std::max(Distance(pNext) * dDistScale, 0.0);
    }
    return Format("%.5f %.5f 0.1", rdAccumulated, dHeight);
}

std::string CPunt::GridLine(int nOriginX, int nOriginZ) const {
    return Format("%d %d.5 %d", TruncateToInt(x - static_cast<float>(nOriginX)),
                  TruncateToInt(y + 10.0), TruncateToInt(z - static_cast<float>(nOriginZ)));
}

CPunt CPunt::PerpendicularPointXZ(const CPunt* a, const CPunt* b, const CPunt* c) {
    CPunt result;
    if (!a || !b) {
        return result;
    }
    if (b->x == a->x && b->z == a->z) {
        return *a;
    }
    double dX = 0;
    double dZ = 0;
    if (c) {
        LINE_EXP_PERP_2D(a->x, a->z, b->x, b->z, c->x, c->z, dX, dZ);
        return result.Set(static_cast<float>(dX), 0.0f, static_cast<float>(dZ));
    }
    // The direction from the origin to its foot on the line is perpendicular
    // to the line, unless the line passes through the origin: then the
    // line's normal is taken.
    LINE_EXP_PERP_2D(a->x, a->z, b->x, b->z, 0.0, 0.0, dX, dZ);
    if (std::fabs(dX) < kTiny && std::fabs(dZ) < kTiny) {
        dX = -(static_cast<double>(b->z) - a->z);
        dZ = static_cast<double>(b->x) - a->x;
    }
    if (std::fabs(dX) < kTiny) {
        return result.Set(b->x, 0.0f, b->z + 10.0f);
    }
    if (std::fabs(dZ) < kTiny) {
        return result.Set(b->x + 10.0f, 0.0f, b->z);
    }
    result.x = b->x + 10.0f;
    result.z = static_cast<float>((result.x - b->x) * (dZ / dX) + b->z);
    return result;
}

int CPunt::CircleCrossingsXZ(const CPunt* a, const CPunt* b, double dR, const CPunt* centre,
                             CPunt* pFirst, CPunt* pSecond) {
    double dDx = 0;
    double dDz = 0;
    double dX0 = 0;
    double dZ0 = 0;
    TWO_POINTS_DIRECTION_2D(a->x, a->z, b->x, b->z, dDx, dDz, dX0, dZ0);
    double adX[2] = {};
    double adZ[2] = {};
    const int nCount = LINE_CIRCLE_CROSS_2D(dR, centre->x, centre->z, dX0, dZ0, dDx, dDz, adX, adZ);
    CPunt* apOut[2] = {pFirst, pSecond};
    for (int i = 0; i < nCount; ++i) {
        if (apOut[i]) {
            apOut[i]->x = static_cast<float>(adX[i]);
            apOut[i]->z = static_cast<float>(adZ[i]);
        }
    }
    return nCount;
}

double CPunt::VertexAngleXZ(const CPunt* a, const CPunt* b, const CPunt* c) {
    return VERTEX_ANGLE_HALF_2D(a->x, a->z, b->x, b->z, c->x, c->z);
}

// ---- Geometry on doubles ----------------------------------------------------------------

double VERTEX_ANGLE_FULL_2D(double x1, double y1, double x2, double y2, double x3, double y3) {
    const double ux = x1 - x2;
    const double uy = y1 - y2;
    const double vx = x3 - x2;
    const double vy = y3 - y2;
    const double dDot = ux * vx + uy * vy;
    const double dCross = ux * vy - vx * uy;
    if (dDot == 0.0 && dCross == 0.0) {
        return 0.0;
    }
    const double dAngle = std::atan2(dCross, dDot);
    return dAngle < 0.0 ? dAngle + kTwoPi : dAngle;
}

double VERTEX_ANGLE_HALF_2D(double x1, double y1, double x2, double y2, double x3, double y3) {
    const double dAngle = VERTEX_ANGLE_FULL_2D(x1, y1, x2, y2, x3, y3);
    return dAngle > kPi ? kTwoPi - dAngle : dAngle;
}

double POINT_DIST_2D(double x1, double y1, double x2, double y2) {
    return std::sqrt(POINT_DIST_SQ_2D(x1, y1, x2, y2));
}

double POINT_DIST_SQ_2D(double x1, double y1, double x2, double y2) {
    return (x2 - x1) * (x2 - x1) + (y2 - y1) * (y2 - y1);
}

double POINT_DIST_3D(double x1, double y1, double z1, double x2, double y2, double z2) {
    return std::sqrt((x2 - x1) * (x2 - x1) + (y2 - y1) * (y2 - y1) + (z2 - z1) * (z2 - z1));
}

bool POINT_IN_CIRCLE_2D(double r, double cx, double cy, double x, double y) {
    return POINT_DIST_2D(cx, cy, x, y) <= r;
}

double CIRCLE_POWER_ROOT_2D(double r, double cx, double cy, double x, double y) {
    const double dPower = POINT_DIST_SQ_2D(cx, cy, x, y) - r * r;
    return SIGN_PLUS_MINUS(dPower) * std::sqrt(std::fabs(dPower));
}

double SIGN_PLUS_MINUS(double v) {
    return v < 0.0 ? -1.0 : 1.0;
}

void TWO_POINTS_DIRECTION_2D(double x1, double y1, double x2, double y2, double& dx, double& dy,
                             double& x0, double& y0) {
    x0 = x1;
    y0 = y1;
    const double dLength = POINT_DIST_2D(x1, y1, x2, y2);
    dx = dLength == 0.0 ? 0.0 : (x2 - x1) / dLength;
    dy = dLength == 0.0 ? 0.0 : (y2 - y1) / dLength;
}

int LINE_CIRCLE_CROSS_2D(double r, double cx, double cy, double x0, double y0, double dx, double dy,
                         double xs[2], double ys[2]) {
    const double s = dx * dx + dy * dy;
    if (s == 0.0) {
        return 0;
    }
    const double k = dx * (cy - y0) - dy * (cx - x0);
    const double dDisc = r * r * s - k * k;
    if (dDisc < 0.0) {
        return 0;
    }
    const double m = dx * (cx - x0) + dy * (cy - y0);
    if (dDisc == 0.0) {
        xs[0] = x0 + dx * (m / s);
        ys[0] = y0 + dy * (m / s);
        return 1;
    }
    const double t1 = (m - std::sqrt(dDisc)) / s;
    const double t2 = (m + std::sqrt(dDisc)) / s;
    xs[0] = x0 + dx * t1;
    ys[0] = y0 + dy * t1;
    xs[1] = x0 + dx * t2;
    ys[1] = y0 + dy * t2;
    return 2;
}

bool LINE_EXP_PERP_2D(double x1, double y1, double x2, double y2, double x3, double y3, double& xp,
                      double& yp) {
    const double d = POINT_DIST_SQ_2D(x1, y1, x2, y2);
    if (d == 0.0) {
        return false;
    }
    const double t = ((x1 - x3) * (x1 - x2) + (y1 - y3) * (y1 - y2)) / d;
    xp = x1 + (x2 - x1) * t;
    yp = y1 + (y2 - y1) * t;
    return true;
}

double LINES_EXP_ANGLE_3D(double x1, double y1, double z1, double x2, double y2, double z2,
                          double x3, double y3, double z3, double x4, double y4, double z4) {
    const double l1 = POINT_DIST_3D(x1, y1, z1, x2, y2, z2);
    const double l2 = POINT_DIST_3D(x3, y3, z3, x4, y4, z4);
    if (l1 == 0.0 || l2 == 0.0) {
        return -1.0;
    }
    const double dDot = (x2 - x1) * (x4 - x3) + (y2 - y1) * (y4 - y3) + (z2 - z1) * (z4 - z3);
    // Rounding can take parallel lines just outside [-1, 1].
    return std::acos(std::clamp(dDot / (l1 * l2), -1.0, 1.0));
}

double SECTOR_AREA_OF_ANGLE(double r, double theta) {
    return r * (r * 0.5) * theta;
}

double SECTOR_TRIANGLE_AREA(double r, double theta) {
    return std::sin(theta) * r * (r * 0.5);
}

double SEGMENT_AREA_OF_ANGLE(double r, double theta) {
    return SECTOR_AREA_OF_ANGLE(r, theta) - SECTOR_TRIANGLE_AREA(r, theta);
}

int POINTS_ON_CIRCLE_2D(double r, double cx, double cy, int n, double xs[], double ys[]) {
    for (int i = 0; i < n; ++i) {
        const double dAngle = i * kTwoPi / n;
        xs[i] = r * std::cos(dAngle) + cx;
        ys[i] = r * std::sin(dAngle) + cy;
    }
    return std::max(n, 0);
}

std::optional<std::array<double, 2>> POLYGON_CENTRE_2D(int n, const double xs[],
                                                       const double ys[]) {
    double dSx = 0.0;
    double dSy = 0.0;
    double dArea = 0.0;  // twice the signed area
    for (int i = 0; i < n; ++i) {
        const int j = i + 1 < n ? i + 1 : 0;
        const double a = xs[i] * ys[j] - ys[i] * xs[j];
        dSx += a * (xs[i] + xs[j]);
        dSy += a * (ys[i] + ys[j]);
        dArea += a;
    }
    if (n <= 0 || dArea == 0.0) {
        return std::nullopt;
    }
    const double dDivisor = (dArea / 2) * 6;
    return std::array<double, 2>{dSx / dDivisor, dSy / dDivisor};
}
