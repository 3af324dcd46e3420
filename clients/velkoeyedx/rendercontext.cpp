#include "clients/velkoeyedx/rendercontext.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLFramebufferObject>
#include <QScreen>
#include <algorithm>
#include <cmath>
#include <utility>

#include "sh_aux/hpslib.h"
#include "sh_aux/notifier.h"

namespace {

const char* const kTitle = "VELKO EYE DX";
// The clear colour of the scene.
constexpr float kClear[4] = {0.176f, 0.196f, 0.667f, 0.0f};

// The camera's movement key of a key, if it is one.
std::optional<CameraMove> MoveOfKey(int nKey) {
    switch (nKey) {
        case Qt::Key_W:
        case Qt::Key_Up:
            return CM_FORWARD;
        case Qt::Key_S:
        case Qt::Key_Down:
            return CM_BACKWARD;
        case Qt::Key_A:
        case Qt::Key_Left:
            return CM_LEFT;
        case Qt::Key_D:
        case Qt::Key_Right:
            return CM_RIGHT;
        case Qt::Key_E:
        case Qt::Key_PageUp:
            return CM_UP;
        case Qt::Key_Q:
        case Qt::Key_PageDown:
            return CM_DOWN;
        default:
            return std::nullopt;
    }
}

}  // namespace

CRenderContext::CRenderContext(CResourceResolver resolver)
    : m_resolver(std::move(resolver)),
      m_terrain(m_resolver),
      m_meshes(m_resolver, m_textures),
      m_terrainRenderer(m_terrain, m_textures) {
    setTitle(QString::fromLatin1(kTitle));
    QSurfaceFormat format;
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    format.setDepthBufferSize(24);
    setFormat(format);

    m_terrain.LoadTextures([this](const std::string&, const std::string& strPath) {
        return m_textures.Decode(strPath);
    });
    m_scene.SetTerrain(&m_terrain);
    m_scene.SetMeshStore(&m_meshes);
    SetLightDirection(m_vLightDirection);

    const qreal dRate = screen() ? screen()->refreshRate() : 0.0;
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    m_frameTimer.setInterval(dRate > 0.0 ? static_cast<int>(std::ceil(1000.0 / dRate)) : 17);
    connect(&m_frameTimer, &QTimer::timeout, this, &CRenderContext::AdvanceFrame);
    m_frameTimer.start();
}

CRenderContext::~CRenderContext() {
    m_frameTimer.stop();
    if (isValid()) {
        makeCurrent();
        ReleaseGL();
        doneCurrent();
    }
}

// ---- Frames ---------------------------------------------------------------------

void CRenderContext::AdvanceFrame() {
    m_camera.FrameMove();
    CSceneFrame frame = m_scene.Frame();
    m_vecDraws = std::move(frame.vecDraws);
    if (isExposed()) {
        update();
    }
}

void CRenderContext::initializeGL() {
    initializeOpenGLFunctions();
    std::string strError;
    for (int i = 0; i < MT_COUNT; ++i) {
        const auto eTechnique = static_cast<MeshTechnique>(i);
        if (!m_techniques[i].Build(m_resolver, "MeshFromOBJ10", GetTechniqueName(eTechnique),
                                   GetTechniqueDefines(eTechnique), &strError)) {
            // The other techniques come from the same files: one report.
            Report(strError);
            break;
        }
    }
    if (!m_terrainRenderer.Create(m_resolver, &strError)) {
        Report(strError);
    }
    if (!m_hud.Create(m_resolver, &strError)) {
        Report(strError);
    }
}

bool CRenderContext::AreEffectsReady() const {
    return std::all_of(m_techniques.begin(), m_techniques.end(),
                       [](const CEffect& effect) { return effect.IsValid(); }) &&
           m_terrainRenderer.IsCreated();
}

void CRenderContext::resizeGL(int nWidth, int nHeight) {
    m_camera.OnResize(nWidth, nHeight);
}

void CRenderContext::paintGL() {
    RenderScene(static_cast<int>(std::lround(width() * devicePixelRatio())),
                static_cast<int>(std::lround(height() * devicePixelRatio())));
}

QImage CRenderContext::RenderToImage() {
    if (!isValid()) {
        return {};
    }
    makeCurrent();
    QImage image;
    {
        QOpenGLFramebufferObject target(size() * devicePixelRatio(),
                                        QOpenGLFramebufferObject::CombinedDepthStencil);
        target.bind();
        RenderScene(target.width(), target.height());
        // The window is opaque, whatever alpha the drawing left.
        glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_TRUE);
        glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
        image = target.toImage();
        target.release();
    }
    doneCurrent();
    return image;
}

void CRenderContext::RenderScene(int nWidth, int nHeight) {
    m_meshes.ReleaseRetired();
    glViewport(0, 0, nWidth, nHeight);
    glClearColor(kClear[0], kClear[1], kClear[2], kClear[3]);
    glClearDepthf(1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    // Meshes of either winding show: those of other programs are often
    // counter-clockwise.
    glDisable(GL_CULL_FACE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);

    const CMatrix mViewProj = m_camera.GetViewMatrix() * m_camera.GetProjMatrix();
    const CVector3& eye = m_camera.GetEyePt();
    for (CEffect& effect : m_techniques) {
        if (effect.IsValid()) {
            effect.Bind();
            effect.SetVector("g_vLightColor", 1.0f, 1.0f, 1.0f, 1.0f);
            effect.SetVector("g_vLightPosition", -m_vLightDirection.x, -m_vLightDirection.y,
                             -m_vLightDirection.z, 0.0f);
            effect.SetVector("g_vCameraPosition", eye);
        }
    }
    for (const CDrawItem& item : m_vecDraws) {
        m_meshes.Draw(item.strMesh, item.mWorld, mViewProj, m_techniques);
    }
    m_terrainRenderer.Render(m_mWorld, mViewProj);
    m_hud.Render(size(), devicePixelRatio(), GetHudLine());
}

std::string CRenderContext::GetHudLine() const {
    const CVector3& eye = m_camera.GetEyePt();
    return Format("CamPos.: x: %.2f y: %.2f z: %.2f  CamVel: %.0f", eye.x, eye.y, eye.z,
                  m_camera.GetSpeed());
}

void CRenderContext::ReleaseGL() {
    m_meshes.ReleaseAll();
    for (CEffect& effect : m_techniques) {
        effect.Destroy();
    }
    m_terrainRenderer.Release();
    m_hud.Release();
    m_textures.Release();
}

// ---- Light and picking ------------------------------------------------------------

void CRenderContext::SetLightDirection(const CVector3& vDirection) {
    m_vLightDirection = vDirection;
    m_terrainRenderer.SetDirToSun(-vDirection);
}

void CRenderContext::PickAt(int nX, int nY) {
    CVector3 origin;
    CVector3 direction;
    m_camera.GetPickRay(nX, nY, width(), height(), &origin, &direction);
    if (m_terrain.IsLoaded()) {
        m_terrain.Pick(origin, direction);
        emit cellSelected();
    }
    m_meshPick.reset();
    for (const CDrawItem& item : m_vecDraws) {
        const auto hit = m_meshes.Pick(item.strMesh, item.mWorld, origin, direction);
        if (hit && (!m_meshPick || hit->fDist < m_meshPick->hit.fDist)) {
            m_meshPick = CMeshPick{item.strAgent, *hit};
        }
    }
}

// ---- Reports ------------------------------------------------------------------------

void CRenderContext::Report(const std::string& strText) {
    m_vecReports.push_back(strText);
    if (m_vecReports.size() == 1) {
        QMetaObject::invokeMethod(this, &CRenderContext::DeliverReports, Qt::QueuedConnection);
    }
}

void CRenderContext::DeliverReports() {
    for (const std::string& strText : std::exchange(m_vecReports, {})) {
        GetNotifier().MessageBox(kTitle, strText, NB_OK, NI_ERROR);
    }
}

// ---- Window events ------------------------------------------------------------------

void CRenderContext::closeEvent(QCloseEvent* pEvent) {
    // The feeders and the frame loop go on; the main dialog shows the window
    // again.
    pEvent->ignore();
    hide();
}

void CRenderContext::keyPressEvent(QKeyEvent* pEvent) {
    const int nKey = pEvent->key();
    if (const auto eMove = MoveOfKey(nKey)) {
        if (!pEvent->isAutoRepeat()) {
            m_camera.SetMoveKey(*eMove, true);
        }
        return;
    }
    // Plus and minus of the main keyboard, not of the keypad, with or
    // without shift.
    const bool bKeypad = pEvent->modifiers() & Qt::KeypadModifier;
    if ((nKey == Qt::Key_Plus || nKey == Qt::Key_Equal) && !bKeypad) {
        m_camera.SpeedUp();
        return;
    }
    if ((nKey == Qt::Key_Minus || nKey == Qt::Key_Underscore) && !bKeypad) {
        m_camera.SpeedDown();
        return;
    }
    if (pEvent->isAutoRepeat()) {
        return;
    }
    switch (nKey) {
        case Qt::Key_1:
            m_camera.ShowFrontView();
            break;
        case Qt::Key_2:
            m_camera.ShowStartView();
            break;
        case Qt::Key_0:
            SetLightDirection({0.707f, -0.707f, 0.0f});
            break;
        case Qt::Key_8:
            SetLightDirection({0.0f, -1.0f, 0.0f});
            break;
        case Qt::Key_9:
            SetLightDirection({0.707f, 0.0f, -0.7f});
            break;
        case Qt::Key_P:
            m_scene.ToggleClock();
            break;
        default:
            QOpenGLWindow::keyPressEvent(pEvent);
            break;
    }
}

void CRenderContext::keyReleaseEvent(QKeyEvent* pEvent) {
    if (const auto eMove = MoveOfKey(pEvent->key()); eMove && !pEvent->isAutoRepeat()) {
        m_camera.SetMoveKey(*eMove, false);
    }
}

void CRenderContext::focusOutEvent(QFocusEvent* pEvent) {
    // The key releases go elsewhere now.
    for (int i = 0; i < CM_COUNT; ++i) {
        m_camera.SetMoveKey(static_cast<CameraMove>(i), false);
    }
    m_camera.EndDrag();
    QOpenGLWindow::focusOutEvent(pEvent);
}

void CRenderContext::mousePressEvent(QMouseEvent* pEvent) {
    const QPoint point = pEvent->position().toPoint();
    if (CHudOverlay::GetButtonRect(size()).contains(point)) {
        // The button takes the click.
        if (pEvent->button() == Qt::LeftButton) {
            setWindowStates(windowStates() ^ Qt::WindowFullScreen);
        }
        return;
    }
    if (pEvent->button() == Qt::LeftButton) {
        m_camera.BeginDrag(point.x(), point.y());
    } else if (pEvent->button() == Qt::RightButton) {
        PickAt(point.x(), point.y());
    }
}

void CRenderContext::mouseMoveEvent(QMouseEvent* pEvent) {
    const QPoint point = pEvent->position().toPoint();
    m_camera.Drag(point.x(), point.y());
}

void CRenderContext::mouseReleaseEvent(QMouseEvent* pEvent) {
    if (pEvent->button() == Qt::LeftButton) {
        m_camera.EndDrag();
    }
}
