#pragma once

// The viewer's small 3-D math: three-component vectors and 4 x 4 matrices in
// the row-vector convention (a point is a row, transformed as p * M, so a
// chain of transforms reads left to right) with a left-handed view space.
// Matrices are stored row by row and uploaded to the GPU unchanged.

#include <cmath>

struct CVector3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    constexpr CVector3() = default;
    constexpr CVector3(float fX, float fY, float fZ) : x(fX), y(fY), z(fZ) {}

    constexpr CVector3 operator+(const CVector3& v) const { return {x + v.x, y + v.y, z + v.z}; }
    constexpr CVector3 operator-(const CVector3& v) const { return {x - v.x, y - v.y, z - v.z}; }
    constexpr CVector3 operator-() const { return {-x, -y, -z}; }
    constexpr CVector3 operator*(float f) const { return {x * f, y * f, z * f}; }
    CVector3& operator+=(const CVector3& v) {
        x += v.x;
        y += v.y;
        z += v.z;
        return *this;
    }
    CVector3& operator-=(const CVector3& v) {
        x -= v.x;
        y -= v.y;
        z -= v.z;
        return *this;
    }
    constexpr bool operator==(const CVector3&) const = default;
};

inline constexpr float Dot(const CVector3& a, const CVector3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

inline constexpr CVector3 Cross(const CVector3& a, const CVector3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

inline float Length(const CVector3& v) { return std::sqrt(Dot(v, v)); }

// The vector scaled to length 1; the zero vector stays zero.
inline CVector3 Normalize(const CVector3& v) {
    float fLength = Length(v);
    return fLength > 0.0f ? v * (1.0f / fLength) : CVector3();
}

// Linear interpolation: a at s = 0, b at s = 1.
inline constexpr CVector3 Lerp(const CVector3& a, const CVector3& b, float s) {
    return a + (b - a) * s;
}

struct CMatrix {
    float m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

    static CMatrix Identity() { return CMatrix(); }

    bool operator==(const CMatrix&) const = default;

    static CMatrix Translation(float x, float y, float z) {
        CMatrix r;
        r.m[3][0] = x;
        r.m[3][1] = y;
        r.m[3][2] = z;
        return r;
    }

    static CMatrix Scaling(float x, float y, float z) {
        CMatrix r;
        r.m[0][0] = x;
        r.m[1][1] = y;
        r.m[2][2] = z;
        return r;
    }

    // Rotations by an angle in radians, clockwise when looking along the
    // axis towards the origin (the left-handed sense).
    static CMatrix RotationX(float fAngle) {
        CMatrix r;
        float c = std::cos(fAngle), s = std::sin(fAngle);
        r.m[1][1] = c;
        r.m[1][2] = s;
        r.m[2][1] = -s;
        r.m[2][2] = c;
        return r;
    }

    static CMatrix RotationY(float fAngle) {
        CMatrix r;
        float c = std::cos(fAngle), s = std::sin(fAngle);
        r.m[0][0] = c;
        r.m[0][2] = -s;
        r.m[2][0] = s;
        r.m[2][2] = c;
        return r;
    }

    static CMatrix RotationZ(float fAngle) {
        CMatrix r;
        float c = std::cos(fAngle), s = std::sin(fAngle);
        r.m[0][0] = c;
        r.m[0][1] = s;
        r.m[1][0] = -s;
        r.m[1][1] = c;
        return r;
    }

    // View matrix of an eye looking at a point, left-handed: +z points from
    // the eye towards the point.
    static CMatrix LookAtLH(const CVector3& eye, const CVector3& at, const CVector3& up) {
        CVector3 zAxis = Normalize(at - eye);
        CVector3 xAxis = Normalize(Cross(up, zAxis));
        CVector3 yAxis = Cross(zAxis, xAxis);
        CMatrix r;
        r.m[0][0] = xAxis.x;
        r.m[1][0] = xAxis.y;
        r.m[2][0] = xAxis.z;
        r.m[0][1] = yAxis.x;
        r.m[1][1] = yAxis.y;
        r.m[2][1] = yAxis.z;
        r.m[0][2] = zAxis.x;
        r.m[1][2] = zAxis.y;
        r.m[2][2] = zAxis.z;
        r.m[3][0] = -Dot(xAxis, eye);
        r.m[3][1] = -Dot(yAxis, eye);
        r.m[3][2] = -Dot(zAxis, eye);
        return r;
    }

    // Left-handed perspective projection mapping view depth [zn, zf] to
    // [0, 1]; fovY is the vertical field of view in radians.
    static CMatrix PerspectiveFovLH(float fFovY, float fAspect, float fNear, float fFar) {
        float yScale = 1.0f / std::tan(fFovY / 2.0f);
        float xScale = yScale / fAspect;
        CMatrix r;
        r.m[0][0] = xScale;
        r.m[1][1] = yScale;
        r.m[2][2] = fFar / (fFar - fNear);
        r.m[2][3] = 1.0f;
        r.m[3][2] = -fNear * fFar / (fFar - fNear);
        r.m[3][3] = 0.0f;
        return r;
    }

    CMatrix operator*(const CMatrix& b) const {
        CMatrix r;
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) {
                r.m[i][j] = m[i][0] * b.m[0][j] + m[i][1] * b.m[1][j] + m[i][2] * b.m[2][j] +
                            m[i][3] * b.m[3][j];
            }
        }
        return r;
    }

    // The inverse, or false (and the matrix unchanged in pOut) when the
    // matrix is singular.
    bool Inverse(CMatrix* pOut) const {
        const float* a = &m[0][0];
        float inv[16];
        inv[0] = a[5] * a[10] * a[15] - a[5] * a[11] * a[14] - a[9] * a[6] * a[15] +
                 a[9] * a[7] * a[14] + a[13] * a[6] * a[11] - a[13] * a[7] * a[10];
        inv[4] = -a[4] * a[10] * a[15] + a[4] * a[11] * a[14] + a[8] * a[6] * a[15] -
                 a[8] * a[7] * a[14] - a[12] * a[6] * a[11] + a[12] * a[7] * a[10];
        inv[8] = a[4] * a[9] * a[15] - a[4] * a[11] * a[13] - a[8] * a[5] * a[15] +
                 a[8] * a[7] * a[13] + a[12] * a[5] * a[11] - a[12] * a[7] * a[9];
        inv[12] = -a[4] * a[9] * a[14] + a[4] * a[10] * a[13] + a[8] * a[5] * a[14] -
                  a[8] * a[6] * a[13] - a[12] * a[5] * a[10] + a[12] * a[6] * a[9];
        inv[1] = -a[1] * a[10] * a[15] + a[1] * a[11] * a[14] + a[9] * a[2] * a[15] -
                 a[9] * a[3] * a[14] - a[13] * a[2] * a[11] + a[13] * a[3] * a[10];
        inv[5] = a[0] * a[10] * a[15] - a[0] * a[11] * a[14] - a[8] * a[2] * a[15] +
                 a[8] * a[3] * a[14] + a[12] * a[2] * a[11] - a[12] * a[3] * a[10];
        inv[9] = -a[0] * a[9] * a[15] + a[0] * a[11] * a[13] + a[8] * a[1] * a[15] -
                 a[8] * a[3] * a[13] - a[12] * a[1] * a[11] + a[12] * a[3] * a[9];
        inv[13] = a[0] * a[9] * a[14] - a[0] * a[10] * a[13] - a[8] * a[1] * a[14] +
                  a[8] * a[2] * a[13] + a[12] * a[1] * a[10] - a[12] * a[2] * a[9];
        inv[2] = a[1] * a[6] * a[15] - a[1] * a[7] * a[14] - a[5] * a[2] * a[15] +
                 a[5] * a[3] * a[14] + a[13] * a[2] * a[7] - a[13] * a[3] * a[6];
        inv[6] = -a[0] * a[6] * a[15] + a[0] * a[7] * a[14] + a[4] * a[2] * a[15] -
                 a[4] * a[3] * a[14] - a[12] * a[2] * a[7] + a[12] * a[3] * a[6];
        inv[10] = a[0] * a[5] * a[15] - a[0] * a[7] * a[13] - a[4] * a[1] * a[15] +
                  a[4] * a[3] * a[13] + a[12] * a[1] * a[7] - a[12] * a[3] * a[5];
        inv[14] = -a[0] * a[5] * a[14] + a[0] * a[6] * a[13] + a[4] * a[1] * a[14] -
                  a[4] * a[2] * a[13] - a[12] * a[1] * a[6] + a[12] * a[2] * a[5];
        inv[3] = -a[1] * a[6] * a[11] + a[1] * a[7] * a[10] + a[5] * a[2] * a[11] -
                 a[5] * a[3] * a[10] - a[9] * a[2] * a[7] + a[9] * a[3] * a[6];
        inv[7] = a[0] * a[6] * a[11] - a[0] * a[7] * a[10] - a[4] * a[2] * a[11] +
                 a[4] * a[3] * a[10] + a[8] * a[2] * a[7] - a[8] * a[3] * a[6];
        inv[11] = -a[0] * a[5] * a[11] + a[0] * a[7] * a[9] + a[4] * a[1] * a[11] -
                  a[4] * a[3] * a[9] - a[8] * a[1] * a[7] + a[8] * a[3] * a[5];
        inv[15] = a[0] * a[5] * a[10] - a[0] * a[6] * a[9] - a[4] * a[1] * a[10] +
                  a[4] * a[2] * a[9] + a[8] * a[1] * a[6] - a[8] * a[2] * a[5];
        float det = a[0] * inv[0] + a[1] * inv[4] + a[2] * inv[8] + a[3] * inv[12];
        if (det == 0.0f || !std::isfinite(det)) {
            return false;
        }
        float invDet = 1.0f / det;
        for (int i = 0; i < 16; ++i) {
            (&pOut->m[0][0])[i] = inv[i] * invDet;
        }
        return true;
    }
};

// A point transformed by a matrix, divided by the resulting w.
inline CVector3 TransformCoord(const CVector3& v, const CMatrix& mat) {
    const auto& m = mat.m;
    float x = v.x * m[0][0] + v.y * m[1][0] + v.z * m[2][0] + m[3][0];
    float y = v.x * m[0][1] + v.y * m[1][1] + v.z * m[2][1] + m[3][1];
    float z = v.x * m[0][2] + v.y * m[1][2] + v.z * m[2][2] + m[3][2];
    float w = v.x * m[0][3] + v.y * m[1][3] + v.z * m[2][3] + m[3][3];
    if (w != 0.0f && w != 1.0f) {
        x /= w;
        y /= w;
        z /= w;
    }
    return {x, y, z};
}

// A direction transformed by a matrix: rotation and scale, no translation.
inline CVector3 TransformNormal(const CVector3& v, const CMatrix& mat) {
    const auto& m = mat.m;
    return {v.x * m[0][0] + v.y * m[1][0] + v.z * m[2][0],
            v.x * m[0][1] + v.y * m[1][1] + v.z * m[2][1],
            v.x * m[0][2] + v.y * m[1][2] + v.z * m[2][2]};
}

// Where a ray from orig along dir meets the triangle (v0, v1, v2), seen from
// either side. On a hit: the distance t >= 0 in units of dir's length (the
// point is orig + dir * t) and the weights u of v1 and v of v2 (edges and
// corners count as hits). A ray in the triangle's plane hits nothing.
inline bool IntersectTriangle(const CVector3& v0, const CVector3& v1, const CVector3& v2,
                              const CVector3& orig, const CVector3& dir, float* pU = nullptr,
                              float* pV = nullptr, float* pDist = nullptr) {
    const CVector3 edge1 = v1 - v0;
    const CVector3 edge2 = v2 - v0;
    const CVector3 p = Cross(dir, edge2);
    const float det = Dot(edge1, p);
    if (det == 0.0f || !std::isfinite(det)) {
        return false;
    }
    const float invDet = 1.0f / det;
    const CVector3 s = orig - v0;
    const float u = Dot(s, p) * invDet;
    if (!(u >= 0.0f && u <= 1.0f)) {
        return false;
    }
    const CVector3 q = Cross(s, edge1);
    const float v = Dot(dir, q) * invDet;
    if (!(v >= 0.0f && u + v <= 1.0f)) {
        return false;
    }
    const float t = Dot(edge2, q) * invDet;
    if (!(t >= 0.0f)) {
        return false;
    }
    if (pU) {
        *pU = u;
    }
    if (pV) {
        *pV = v;
    }
    if (pDist) {
        *pDist = t;
    }
    return true;
}
