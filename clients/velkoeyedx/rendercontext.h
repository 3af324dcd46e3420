#pragma once

// The viewer's 3D window "VELKO EYE DX" and everything it draws with: the
// camera, the meshes, the terrain, the scene (animation model and replay
// clock, with the scene lock that brackets every load), the light, and the
// HUD with its camera line and "Toggle full screen" button.
//
// A frame timer, capped at the display's rate, moves the camera, advances
// the animation to the replay clock and asks the window to paint. It runs
// while the window is hidden as well, so that live records and mesh loads go
// on; painting draws the latest frame. Closing the window hides it.
//
// Thread contract: the window lives on the GUI thread, where the frame timer
// and painting run too. The scene's feeders may run on their own threads
// (see CSceneController); the scene lock may be taken on the GUI thread,
// since frames run there only between events.

#include <QOpenGLFunctions>
#include <QOpenGLWindow>
#include <QTimer>
#include <optional>
#include <string>
#include <vector>

#include "clients/velkoeyedx/glmeshstore.h"
#include "clients/velkoeyedx/hudoverlay.h"
#include "clients/velkoeyedx/sh_dx/camera.h"
#include "clients/velkoeyedx/sh_dx/resourceresolver.h"
#include "clients/velkoeyedx/sh_dx/scenecontroller.h"
#include "clients/velkoeyedx/sh_dx/terrain.h"
#include "clients/velkoeyedx/terrainrenderer.h"
#include "clients/velkoeyedx/texturecache.h"

// The nearest agent's mesh under a right click.
struct CMeshPick {
    std::string strAgent;
    CMeshHit hit;
};

class CRenderContext : public QOpenGLWindow, protected QOpenGLFunctions {
    Q_OBJECT
public:
    // The window starts hidden. Effects, meshes and textures are found
    // through resolver; the terrain's textures are decoded at once.
    explicit CRenderContext(CResourceResolver resolver = CResourceResolver());
    ~CRenderContext() override;

    CSceneController& GetScene() { return m_scene; }
    CTerrain& GetTerrain() { return m_terrain; }
    CCamera& GetCamera() { return m_camera; }
    // Where the meshes tell what keeps a material file or a texture from
    // showing.
    void SetParsingLog(std::shared_ptr<CLogSink> pLog) { m_meshes.SetParsingLog(std::move(pLog)); }

    // The scene lock: every load into the scene is bracketed by it.
    void Lock() { m_scene.Lock(); }
    void Unlock() { m_scene.Unlock(); }

    // One step of the frame loop (what the frame timer runs).
    void AdvanceFrame();
    // The scene as it is painted now, in the window's size; null while the
    // window has not been shown yet (it has no GL context then).
    QImage RenderToImage();

    // The camera line the HUD shows now.
    std::string GetHudLine() const;

    // The direction the light travels in (the sun starts at (0, -1, 0)).
    void SetLightDirection(const CVector3& vDirection);
    const CVector3& GetLightDirection() const { return m_vLightDirection; }

    // A right click at (nX, nY) of the window: selects the terrain cell under
    // it (or none) and finds the nearest mesh there.
    void PickAt(int nX, int nY);
    const std::optional<CMeshPick>& GetMeshPick() const { return m_meshPick; }

    // Whether every effect was built.
    bool AreEffectsReady() const;
    const CMeshTechniques& GetMeshTechniques() const { return m_techniques; }
    const CEffect& GetTerrainEffect() const { return m_terrainRenderer.GetEffect(); }

signals:
    // A pick on the loaded terrain changed the selected cell or kept it; its
    // items are CTerrain::GetSelectedCellProperties.
    void cellSelected();

protected:
    void initializeGL() override;
    void resizeGL(int nWidth, int nHeight) override;
    void paintGL() override;
    void closeEvent(QCloseEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void keyReleaseEvent(QKeyEvent* pEvent) override;
    void focusOutEvent(QFocusEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;

private:
    // Draws the scene into the bound framebuffer of nWidth x nHeight pixels.
    void RenderScene(int nWidth, int nHeight);
    // Frees every GL resource (the context current).
    void ReleaseGL();
    // A failure report, shown once the window's thread is back in its event
    // loop (never from inside painting).
    void Report(const std::string& strText);
    void DeliverReports();

    const CResourceResolver m_resolver;
    CTextureCache m_textures;
    CTerrain m_terrain;
    CGLMeshStore m_meshes;
    // After the terrain and the meshes, which it uses until its feeder ends.
    CSceneController m_scene;
    CCamera m_camera;
    CMeshTechniques m_techniques;
    CTerrainRenderer m_terrainRenderer;
    CHudOverlay m_hud;
    QTimer m_frameTimer;

    // The latest frame: what to draw.
    CDrawList m_vecDraws;
    // The terrain's placement.
    CMatrix m_mWorld;
    CVector3 m_vLightDirection{0.0f, -1.0f, 0.0f};
    std::optional<CMeshPick> m_meshPick;
    std::vector<std::string> m_vecReports;
};
