#pragma once

// The viewer's first-person camera: an eye that turns by yaw and pitch when
// the left mouse button drags, and moves along its own axes while movement
// keys are held. View and projection are left-handed in the row-vector
// convention of dxmath.h. It starts at (0, 100, -100) looking at the origin
// with a vertical field of view of pi/4, depth from 0.1 to 5000.
//
// Movement runs on wall-clock time, so the camera keeps moving while the
// replay clock stands still. A camera is used by one thread (the window's).

#include <chrono>
#include <optional>

#include "clients/velkoeyedx/sh_dx/dxmath.h"

enum CameraMove { CM_FORWARD, CM_BACKWARD, CM_LEFT, CM_RIGHT, CM_UP, CM_DOWN, CM_COUNT };

class CCamera {
public:
    CCamera();

    // Places the eye and turns it towards lookAt (no roll).
    void SetViewParams(const CVector3& eye, const CVector3& lookAt);
    void SetProjParams(float fFovY, float fAspect, float fNear, float fFar);
    // After a window resize: the aspect ratio of the client area, and the
    // speed back to 100.
    void OnResize(int nWidth, int nHeight);

    // The views of the number keys: '1' from (0, 0, -300), '2' the start
    // view; both look at the origin.
    void ShowFrontView();
    void ShowStartView();

    // Movement speed in world units a second: 100 after a resize, changed in
    // steps of 5 between 5 and 180.
    float GetSpeed() const { return m_fSpeed; }
    void SpeedUp();
    void SpeedDown();

    void SetMoveKey(CameraMove eMove, bool bDown);
    // Left-button drag: 0.01 radian of yaw per pixel across, of pitch per
    // pixel down; the pitch stays within a quarter turn up or down.
    void BeginDrag(int nX, int nY);
    void Drag(int nX, int nY);
    void EndDrag();

    // Moves the eye by the wall-clock time since the previous call (none at
    // the first call).
    void FrameMove();
    // Moves the eye by dElapsed seconds: at full speed while a key is held,
    // then slowing to a stop within 0.25 s of the last key's release.
    void FrameMove(double dElapsed);

    const CMatrix& GetViewMatrix() const { return m_mView; }
    const CMatrix& GetProjMatrix() const { return m_mProj; }
    const CVector3& GetEyePt() const { return m_vEye; }
    CVector3 GetLookAtPt() const;

    // The world-space ray through the point (nX, nY) of a client area of
    // nWidth x nHeight pixels (origin at the top left): it starts at the eye;
    // the direction is not normalised.
    void GetPickRay(int nX, int nY, int nWidth, int nHeight, CVector3* pOrigin,
                    CVector3* pDirection) const;

private:
    CMatrix Rotation() const;
    void UpdateView();

    CVector3 m_vEye;
    float m_fYaw = 0.0f;
    float m_fPitch = 0.0f;
    CMatrix m_mView;
    CMatrix m_mProj;
    float m_fFovY = 0.0f;
    float m_fNear = 0.0f;
    float m_fFar = 0.0f;
    float m_fSpeed = 100.0f;

    bool m_bKeys[CM_COUNT] = {};
    CVector3 m_vVelocity;      // camera space, world units a second
    CVector3 m_vVelocityDrag;  // slow-down per second after release
    double m_dDragTimer = 0.0;

    bool m_bDragging = false;
    int m_nLastX = 0;
    int m_nLastY = 0;

    std::optional<std::chrono::steady_clock::time_point> m_lastMove;
};
