#include "clients/velkoeyedx/sh_dx/camera.h"

#include <algorithm>
#include <numbers>

namespace {

constexpr float kRotationPerPixel = 0.01f;
constexpr double kDragTime = 0.25;
constexpr float kSpeedStep = 5.0f;
constexpr float kMinSpeed = 5.0f;
constexpr float kMaxSpeed = 180.0f;
constexpr float kStartSpeed = 100.0f;
constexpr float kQuarterTurn = std::numbers::pi_v<float> / 2.0f;

}  // namespace

CCamera::CCamera() {
    SetProjParams(std::numbers::pi_v<float> / 4.0f, 1.0f, 0.1f, 5000.0f);
    ShowStartView();
}

void CCamera::SetViewParams(const CVector3& eye, const CVector3& lookAt) {
    m_vEye = eye;
    const CVector3 dir = lookAt - eye;
    const float fHorizontal = std::sqrt(dir.x * dir.x + dir.z * dir.z);
    m_fYaw = std::atan2(dir.x, dir.z);
    m_fPitch = std::atan2(-dir.y, fHorizontal);
    UpdateView();
}

void CCamera::SetProjParams(float fFovY, float fAspect, float fNear, float fFar) {
    m_fFovY = fFovY;
    m_fNear = fNear;
    m_fFar = fFar;
    m_mProj = CMatrix::PerspectiveFovLH(fFovY, fAspect, fNear, fFar);
}

void CCamera::OnResize(int nWidth, int nHeight) {
    SetProjParams(m_fFovY, static_cast<float>(nWidth) / static_cast<float>(std::max(nHeight, 1)),
                  m_fNear, m_fFar);
    m_fSpeed = kStartSpeed;
}

void CCamera::ShowFrontView() {
    SetViewParams({0.0f, 0.0f, -300.0f}, {});
}

void CCamera::ShowStartView() {
    SetViewParams({0.0f, 100.0f, -100.0f}, {});
}

void CCamera::SpeedUp() {
    if (m_fSpeed < kMaxSpeed) {
        m_fSpeed += kSpeedStep;
    }
}

void CCamera::SpeedDown() {
    if (m_fSpeed > kMinSpeed) {
        m_fSpeed -= kSpeedStep;
    }
}

void CCamera::SetMoveKey(CameraMove eMove, bool bDown) {
    if (eMove >= 0 && eMove < CM_COUNT) {
        m_bKeys[eMove] = bDown;
    }
}

void CCamera::BeginDrag(int nX, int nY) {
    m_bDragging = true;
    m_nLastX = nX;
    m_nLastY = nY;
}

void CCamera::Drag(int nX, int nY) {
    if (!m_bDragging) {
        return;
    }
    m_fYaw += (nX - m_nLastX) * kRotationPerPixel;
    m_fPitch =
        std::clamp(m_fPitch + (nY - m_nLastY) * kRotationPerPixel, -kQuarterTurn, kQuarterTurn);
    m_nLastX = nX;
    m_nLastY = nY;
    UpdateView();
}

void CCamera::EndDrag() {
    m_bDragging = false;
}

void CCamera::FrameMove() {
    const auto now = std::chrono::steady_clock::now();
    const double dElapsed =
        m_lastMove ? std::chrono::duration<double>(now - *m_lastMove).count() : 0.0;
    m_lastMove = now;
    FrameMove(dElapsed);
}

void CCamera::FrameMove(double dElapsed) {
    const CVector3 keys(static_cast<float>(m_bKeys[CM_RIGHT] - m_bKeys[CM_LEFT]),
                        static_cast<float>(m_bKeys[CM_UP] - m_bKeys[CM_DOWN]),
                        static_cast<float>(m_bKeys[CM_FORWARD] - m_bKeys[CM_BACKWARD]));
    CVector3 displacement;
    if (keys != CVector3()) {
        m_vVelocity = Normalize(keys) * m_fSpeed;
        m_vVelocityDrag = m_vVelocity * static_cast<float>(1.0 / kDragTime);
        m_dDragTimer = kDragTime;
        displacement = m_vVelocity * static_cast<float>(dElapsed);
    } else if (m_dDragTimer > 0.0) {
        // The speed falls linearly; the distance is exact whatever the frame
        // rate.
        const double dStep = std::min(dElapsed, m_dDragTimer);
        const CVector3 slower = m_vVelocity - m_vVelocityDrag * static_cast<float>(dStep);
        displacement = (m_vVelocity + slower) * static_cast<float>(0.5 * dStep);
        m_vVelocity = slower;
        m_dDragTimer -= dStep;
    }
    if (m_dDragTimer <= 0.0) {
        m_vVelocity = CVector3();
    }
    if (displacement != CVector3()) {
        m_vEye += TransformNormal(displacement, Rotation());
        UpdateView();
    }
}

CVector3 CCamera::GetLookAtPt() const {
    return m_vEye + TransformNormal({0.0f, 0.0f, 1.0f}, Rotation());
}

void CCamera::GetPickRay(int nX, int nY, int nWidth, int nHeight, CVector3* pOrigin,
                         CVector3* pDirection) const {
    const float fWidth = static_cast<float>(std::max(nWidth, 1));
    const float fHeight = static_cast<float>(std::max(nHeight, 1));
    const CVector3 viewDir(((2.0f * nX) / fWidth - 1.0f) / m_mProj.m[0][0],
                           ((-2.0f * nY) / fHeight + 1.0f) / m_mProj.m[1][1], 1.0f);
    CMatrix inverse;
    if (!m_mView.Inverse(&inverse)) {
        inverse = CMatrix::Identity();
    }
    *pOrigin = TransformCoord(CVector3(), inverse);
    *pDirection = TransformNormal(viewDir, inverse);
}

CMatrix CCamera::Rotation() const {
    return CMatrix::RotationX(m_fPitch) * CMatrix::RotationY(m_fYaw);
}

void CCamera::UpdateView() {
    const CMatrix rotation = Rotation();
    const CVector3 look = TransformNormal({0.0f, 0.0f, 1.0f}, rotation);
    const CVector3 up = TransformNormal({0.0f, 1.0f, 0.0f}, rotation);
    m_mView = CMatrix::LookAtLH(m_vEye, m_vEye + look, up);
}
