#include "clients/velkoeyedx/sh_dx/terrain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "clients/velkoeyedx/sh_dx/camera.h"
#include "clients/velkoeyedx/sh_dx/scenecontroller.h"
#include "sh_dx/scenefolder.h"

namespace {

using velkotest::ViewerTest;

void ExpectNear(const CVector3& actual, const CVector3& expected, float fTolerance = 1e-5f) {
    EXPECT_NEAR(actual.x, expected.x, fTolerance);
    EXPECT_NEAR(actual.y, expected.y, fTolerance);
    EXPECT_NEAR(actual.z, expected.z, fTolerance);
}

// The window pixel (of nWidth x nHeight) at which the camera sees a point.
void ProjectToWindow(const CCamera& camera, const CVector3& point, int nWidth, int nHeight, int* pX,
                     int* pY) {
    const CVector3 ndc = TransformCoord(point, camera.GetViewMatrix() * camera.GetProjMatrix());
    *pX = static_cast<int>(std::lround((ndc.x + 1.0f) * 0.5f * nWidth));
    *pY = static_cast<int>(std::lround((1.0f - ndc.y) * 0.5f * nHeight));
}

class TerrainTest : public ViewerTest {};

TEST_F(TerrainTest, FlatGridFromACellCount) {
    CTerrain terrain(m_files.Resolver());
    EXPECT_FALSE(terrain.IsLoaded());
    ASSERT_TRUE(terrain.InitFromCellCount(100));
    EXPECT_TRUE(terrain.IsLoaded());
    EXPECT_EQ(terrain.GetRows(), 10);
    EXPECT_EQ(terrain.GetCols(), 10);
    std::vector<CVertex> vecVertices;
    std::vector<uint32_t> vecIndices;
    terrain.GetGeometry(&vecVertices, &vecIndices);
    ASSERT_EQ(vecVertices.size(), 121u);
    ASSERT_EQ(vecIndices.size(), 600u);
    for (const CVertex& vertex : vecVertices) {
        ASSERT_EQ(vertex.vPosition.y, 0.0f);
        ASSERT_EQ(vertex.vNormal, CVector3(0.0f, 1.0f, 0.0f));
    }
    // Row 0 at +z, column 0 at -x; cell 12 is row 1, column 2.
    EXPECT_EQ(vecVertices[0].vPosition, CVector3(-5.0f, 0.0f, 5.0f));
    EXPECT_EQ(vecVertices[120].vPosition, CVector3(5.0f, 0.0f, -5.0f));
    EXPECT_EQ(vecVertices[120].fU, 1.0f);
    EXPECT_EQ((std::vector<uint32_t>(vecIndices.begin() + 72, vecIndices.begin() + 78)),
              (std::vector<uint32_t>{13, 14, 24, 24, 14, 25}));

    // No grid from no cells, nor from a count too large; the grid stays.
    const uint64_t nBuild = terrain.GetBuildNumber();
    EXPECT_FALSE(terrain.InitFromCellCount(0));
    EXPECT_FALSE(terrain.InitFromCellCount(-4));
    EXPECT_FALSE(terrain.InitFromCellCount(2000000000));
    EXPECT_EQ(LineTexts().size(), 3u);
    EXPECT_EQ(terrain.GetBuildNumber(), nBuild);
    EXPECT_EQ(terrain.GetNumCells(), 100);

    // A count that is no square: the square inside it, reported.
    ASSERT_TRUE(terrain.InitFromCellCount(10));
    EXPECT_EQ(terrain.GetNumCells(), 9);
    EXPECT_EQ(LineTexts().size(), 4u);
}

TEST_F(TerrainTest, RasterGivesCornerHeightsAndNormals) {
    const std::string strFile =
        m_files.WriteRaster("res/meshes/hills", 3, 2, {2, 4, 6, 8, 10, 12}, 100, 400, 0, 200);
    CTerrain terrain(m_files.Resolver());
    ASSERT_TRUE(terrain.LoadTerrain("res/meshes/hills.img"));
    EXPECT_EQ(terrain.GetFilePath(), strFile);
    EXPECT_EQ(terrain.GetCols(), 3);
    EXPECT_EQ(terrain.GetRows(), 2);
    std::vector<CVertex> vecVertices;
    std::vector<uint32_t> vecIndices;
    terrain.GetGeometry(&vecVertices, &vecIndices);
    ASSERT_EQ(vecVertices.size(), 12u);  // 3 rows of 4 corners
    ASSERT_EQ(vecIndices.size(), 36u);

    // Each corner: the mean of the cells around it, less the minimum (2),
    // times 0.03.
    const float expected[12] = {0, 1, 3, 4, 3, 4, 6, 7, 6, 7, 9, 10};
    for (int k = 0; k < 12; ++k) {
        EXPECT_NEAR(vecVertices[k].vPosition.y, expected[k] * 0.03f, 1e-6f) << "corner " << k;
    }
    ExpectNear(vecVertices[0].vPosition, {-1.5f, 0.0f, 1.0f});
    ExpectNear(vecVertices[11].vPosition, {1.5f, 0.3f, -1.0f});
    EXPECT_NEAR(vecVertices[6].fU, 2.0f / 3.0f, 1e-6f);
    EXPECT_EQ(vecVertices[6].fV, 0.5f);
    // Inner corner (1, 1): slopes by central differences, the normal leaning
    // downhill (the values grow towards -z and +x).
    ExpectNear(vecVertices[5].vNormal, Normalize(CVector3(-0.045f, 1.0f, 0.09f)));
    EXPECT_EQ(vecVertices[0].vNormal, CVector3(0.0f, 1.0f, 0.0f));

    // Files that give no grid leave the terrain as it was.
    m_files.Write("nodoc.img", "1\n2\n");
    m_files.Write("norows.doc", "columns : 2\n");
    m_files.Write("norows.img", "1\n2\n");
    EXPECT_FALSE(terrain.LoadTerrain("nowhere.img"));
    EXPECT_EQ(BoxTexts(),
              std::vector<std::string>{"Couldn't find terrain file in 'nowhere.img' folder."});
    EXPECT_FALSE(terrain.LoadTerrain(m_files.Path("nodoc.img")));
    EXPECT_FALSE(terrain.LoadTerrain(m_files.Path("norows.img")));
    EXPECT_EQ(LineTexts().size(), 2u);
    EXPECT_EQ(terrain.GetFilePath(), strFile);
    EXPECT_EQ(terrain.GetNumCells(), 6);

    // Heights beyond what a float holds (a cell of 1e300, or cells far apart)
    // are refused, named by the first corner that gets one: no vertex of
    // the grid is infinite.
    const uint64_t nBuild = terrain.GetBuildNumber();
    m_files.WriteRaster("peak", 3, 2, {0, 0, 0, 0, 1e300, 0});
    m_files.WriteRaster("cliff", 2, 2, {0, 3e38, -3e38, 0});
    for (const char* pszName : {"peak", "cliff"}) {
        EXPECT_FALSE(terrain.LoadTerrain(m_files.Path(std::string(pszName) + ".img")));
    }
    EXPECT_EQ(LineTexts().size(), 4u);
    EXPECT_EQ(LineTexts()[2], "The terrain file '" + m_files.Path("peak.img") +
                                  "' cannot be drawn: its corner at row 1, column 1 gets no "
                                  "finite height or slope (its cells or its \"min. value\" lie "
                                  "beyond the heights the viewer can draw)");
    EXPECT_NE(LineTexts()[3].find("its corner at row 0, column 1 gets no finite height or slope"),
              std::string::npos)
        << LineTexts()[3];
    EXPECT_EQ(terrain.GetBuildNumber(), nBuild);
    EXPECT_EQ(terrain.GetFilePath(), strFile);
}

TEST_F(TerrainTest, CellsOfATextureFormOneGroup) {
    for (const std::string& strName : CTerrain::GetTextureSet()) {
        if (strName != "blue.jpg") {
            m_files.Write("res/textures/" + strName, "image");
        }
    }
    CTerrain terrain(m_files.Resolver());
    terrain.LoadTextures([](const std::string& strName, const std::string& strPath) {
        EXPECT_FALSE(strPath.empty());
        return strName != "stone.dds";
    });
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Couldn't load stone.dds texture",
                                                    "Couldn't load blue.jpg texture"}));
    EXPECT_EQ(terrain.GetTexture("snow.png"), m_files.Path("res/textures/snow.png"));
    EXPECT_EQ(terrain.GetTexture("stone.dds"), "");

    ASSERT_TRUE(terrain.InitFromCellCount(16));
    CTerrainOverlay overlay;
    ASSERT_TRUE(terrain.UpdateIndexBuffers(&overlay));
    ASSERT_EQ(overlay.vecGroups.size(), 6u);
    EXPECT_TRUE(overlay.vecGroupIndices.empty());
    // Before the first pick the selection is six equal indices: nothing.
    EXPECT_EQ(overlay.arrSelection, (std::array<uint32_t, 6>{}));

    for (int nCell : {9, 1, 5}) {
        terrain.SetCellTexture(nCell, "grass.dds");
    }
    terrain.SetCellTexture(3, "ice.jpg");
    terrain.SetCellTexture(7, "stone.dds");  // did not load
    terrain.SetCellTexture(2, "unknown.png");
    // Cell numbers outside the grid, as a trace may give them: ignored.
    terrain.SetCellTexture(16, "ice.jpg");
    terrain.SetCellTexture(-1, "ice.jpg");
    terrain.SetCellTexture(INT32_MAX, "ice.jpg");
    EXPECT_EQ(terrain.GetCellTexture(7), "stone.dds");

    ASSERT_TRUE(terrain.UpdateIndexBuffers(&overlay));
    std::vector<std::string> vecNames;
    std::vector<uint32_t> vecCounts;
    for (const CTerrainGroup& group : overlay.vecGroups) {
        vecNames.push_back(group.strTexture);
        vecCounts.push_back(group.nTriangles);
    }
    EXPECT_EQ(vecNames, (std::vector<std::string>{"default.png", "grass.dds", "ice.jpg", "sel.png",
                                                  "slapsnow.jpg", "snow.png"}));
    EXPECT_EQ(vecCounts, (std::vector<uint32_t>{0, 6, 2, 0, 0, 0}));
    EXPECT_EQ(overlay.vecGroups[1].strPath, m_files.Path("res/textures/grass.dds"));
    // Grass's cells 1, 5 and 9 in index order, then ice's cell 3.
    EXPECT_EQ(overlay.vecGroupIndices,
              (std::vector<uint32_t>{1,  2,  6,  6,  2,  7,  6, 7, 11, 11, 7, 12,
                                     11, 12, 16, 16, 12, 17, 3, 4, 8,  8,  4, 9}));
    EXPECT_FALSE(terrain.UpdateIndexBuffers(&overlay));

    // A rebuilt grid keeps the names of the cells that remain.
    ASSERT_TRUE(terrain.InitFromCellCount(4));
    EXPECT_EQ(terrain.GetCellTexture(3), "ice.jpg");
    ASSERT_TRUE(terrain.UpdateIndexBuffers(&overlay));
    EXPECT_EQ(overlay.vecGroups[1].nTriangles, 2u);  // cell 1 of the four
    EXPECT_EQ(overlay.vecGroups[2].nTriangles, 2u);

    terrain.ClearCellTextures();
    ASSERT_TRUE(terrain.UpdateIndexBuffers(&overlay));
    EXPECT_TRUE(overlay.vecGroupIndices.empty());
    EXPECT_EQ(terrain.GetCellTexture(3), "");
}

TEST_F(TerrainTest, ThePickRayOfAWindowPointSelectsTheCellSeenThere) {
    m_files.WriteRaster("hills", 3, 2, {2, 4, 6, 8, 10, 12}, 100, 400, 0, 200);
    CTerrain terrain(m_files.Resolver());
    ASSERT_TRUE(terrain.LoadTerrain(m_files.Path("hills.img")));
    CCamera camera;
    camera.OnResize(800, 600);

    // The middle of cell 4 (row 1, column 1) lies on its diagonal.
    int nX = 0;
    int nY = 0;
    ProjectToWindow(camera, {0.0f, 0.195f, -0.5f}, 800, 600, &nX, &nY);
    CVector3 origin;
    CVector3 direction;
    camera.GetPickRay(nX, nY, 800, 600, &origin, &direction);
    ExpectNear(origin, camera.GetEyePt(), 1e-3f);
    EXPECT_EQ(terrain.Pick(origin, direction), 4);
    using Items = std::vector<std::pair<std::string, double>>;
    EXPECT_EQ(terrain.GetSelectedCellProperties(), (Items{{"cell num", 4},
                                                          {"cell col", 1},
                                                          {"cell row", 1},
                                                          {"UTM X", 200},
                                                          {"UTM Y", 100},
                                                          {"height", 10}}));
    CTerrainOverlay overlay;
    ASSERT_TRUE(terrain.UpdateIndexBuffers(&overlay));
    EXPECT_EQ(overlay.arrSelection, (std::array<uint32_t, 6>{5, 6, 9, 9, 6, 10}));

    // The same ray reversed starts at the eye and points away: no cell.
    EXPECT_EQ(terrain.Pick(origin, -direction), -1);
    EXPECT_EQ(terrain.GetSelectedCellProperties(), (Items{{"cell num", -1},
                                                          {"cell col", -1},
                                                          {"cell row", 0},
                                                          {"UTM X", 0},
                                                          {"UTM Y", 200},
                                                          {"height", -1}}));
    ASSERT_TRUE(terrain.UpdateIndexBuffers(&overlay));
    EXPECT_EQ(overlay.arrSelection, (std::array<uint32_t, 6>{}));

    // A flat grid has no layer: its own rows and columns, a map unit a cell.
    ASSERT_TRUE(terrain.InitFromCellCount(100));
    ProjectToWindow(camera, {-1.5f, 0.0f, 2.5f}, 800, 600, &nX, &nY);  // row 2, column 3
    camera.GetPickRay(nX, nY, 800, 600, &origin, &direction);
    EXPECT_EQ(terrain.Pick(origin, direction), 23);
    EXPECT_EQ(terrain.GetSelectedCellProperties(), (Items{{"cell num", 23},
                                                          {"cell col", 3},
                                                          {"cell row", 2},
                                                          {"UTM X", 3},
                                                          {"UTM Y", 8},
                                                          {"height", 0}}));
}

// The scene lock hides the terrain and its release takes the cells' textures
// back; a trace's cell events paint cells of the real grid, one beyond the
// grid is ignored.
TEST_F(TerrainTest, SceneLockAndCellEventsReachTheTerrain) {
    CTerrain terrain(m_files.Resolver());
    velkotest::CFakeTicks ticks;
    CSceneController scene(ticks.Source());
    scene.SetTerrain(&terrain);
    ASSERT_TRUE(terrain.InitFromCellCount(16));
    terrain.SetCellTexture(5, "grass.dds");

    scene.Lock();
    EXPECT_FALSE(terrain.IsLoaded());
    ASSERT_TRUE(terrain.InitFromCellCount(16));
    CAnimations& animations = scene.GetAnimations();
    animations.AddAgent("grid", "default_terrain.img");
    animations.QueueEvent(CAnimEvent::MakeCellState("grid", 1.0, 3, "ice.jpg"));
    animations.QueueEvent(CAnimEvent::MakeCellState("grid", 1.0, 16, "ice.jpg"));
    scene.Unlock();
    EXPECT_TRUE(terrain.IsLoaded());
    EXPECT_EQ(terrain.GetCellTexture(5), "");

    scene.Play(0.0);
    ticks.Advance(2.0);
    scene.Frame();
    EXPECT_EQ(terrain.GetCellTexture(3), "ice.jpg");
    EXPECT_EQ(terrain.GetNumCells(), 16);
}

TEST(Camera, StartViewSpeedStepsAndWallClockMovement) {
    CCamera camera;
    const CMatrix expected = CMatrix::LookAtLH({0, 100, -100}, {0, 0, 0}, {0, 1, 0});
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            EXPECT_NEAR(camera.GetViewMatrix().m[i][j], expected.m[i][j], 1e-4f);
        }
    }
    camera.OnResize(800, 600);
    const CMatrix proj =
        CMatrix::PerspectiveFovLH(std::numbers::pi_v<float> / 4, 800.0f / 600.0f, 0.1f, 5000.0f);
    EXPECT_EQ(std::memcmp(&camera.GetProjMatrix(), &proj, sizeof(CMatrix)), 0);

    EXPECT_EQ(camera.GetSpeed(), 100.0f);
    for (int i = 0; i < 17; ++i) {
        camera.SpeedUp();
    }
    EXPECT_EQ(camera.GetSpeed(), 180.0f);
    camera.OnResize(640, 480);
    for (int i = 0; i < 20; ++i) {
        camera.SpeedDown();
    }
    EXPECT_EQ(camera.GetSpeed(), 5.0f);
    camera.OnResize(640, 480);

    // Half a second forward at 100 units a second, then the slow-down: 12.5
    // units more however the frames fall.
    const CVector3 look = Normalize(CVector3(0.0f, -1.0f, 1.0f));
    camera.SetMoveKey(CM_FORWARD, true);
    camera.FrameMove(0.5);
    ExpectNear(camera.GetEyePt(), CVector3(0, 100, -100) + look * 50.0f, 1e-3f);
    camera.SetMoveKey(CM_FORWARD, false);
    for (double dFrame : {0.1, 0.07, 0.2, 0.3}) {
        camera.FrameMove(dFrame);
    }
    ExpectNear(camera.GetEyePt(), CVector3(0, 100, -100) + look * 62.5f, 1e-3f);

    // A drag across turns by 0.01 radian a pixel; down, the pitch stops at a
    // quarter turn. (The look-at point is 300 units out: float precision.)
    camera.ShowFrontView();
    camera.BeginDrag(10, 10);
    camera.Drag(110, 10);
    ExpectNear(camera.GetLookAtPt() - camera.GetEyePt(), {std::sin(1.0f), 0.0f, std::cos(1.0f)},
               1e-4f);
    camera.Drag(110, 1000);
    ExpectNear(camera.GetLookAtPt() - camera.GetEyePt(), {0.0f, -1.0f, 0.0f}, 1e-4f);
    camera.EndDrag();
    camera.Drag(500, 500);
    ExpectNear(camera.GetLookAtPt() - camera.GetEyePt(), {0.0f, -1.0f, 0.0f}, 1e-4f);
}

// Loads, painting and the scene lock on one thread while another draws
// frames: every overlay refers to vertices of its own build.
TEST_F(TerrainTest, FramesWhileTheGridIsRebuiltAndPainted) {
    m_files.Write("res/textures/snow.png", "image");
    CTerrain terrain(m_files.Resolver());
    ASSERT_TRUE(terrain.InitFromCellCount(16));
    std::atomic<bool> bDone{false};
    std::thread loader([&] {
        for (int nRound = 0; nRound < 300; ++nRound) {
            terrain.MarkNotLoaded();
            terrain.InitFromCellCount(nRound % 2 ? 16 : 100);
            terrain.ClearCellTextures();
            for (int nCell = 0; nCell < 100; nCell += 7) {
                terrain.SetCellTexture(nCell, "snow.png");
            }
        }
        bDone = true;
    });
    terrain.LoadTextures();

    CTerrainOverlay overlay;
    std::vector<CVertex> vecVertices;
    std::vector<uint32_t> vecIndices;
    uint64_t nGeometryBuild = 0;
    // One frame: the overlay (kept while unchanged) checked against the
    // geometry of its build; the number of indices checked.
    auto frame = [&]() -> size_t {
        terrain.Pick({0.0f, 10.0f, 0.0f}, {0.0f, -1.0f, 0.0f});
        terrain.GetSelectedCellProperties();
        if (!terrain.IsLoaded()) {
            return 0;
        }
        terrain.UpdateIndexBuffers(&overlay);
        if (overlay.nBuildNumber != nGeometryBuild) {
            nGeometryBuild = terrain.GetGeometry(&vecVertices, &vecIndices);
        }
        if (overlay.nBuildNumber != nGeometryBuild) {
            return 0;
        }
        for (uint32_t nIndex : overlay.vecGroupIndices) {
            EXPECT_LT(nIndex, vecVertices.size());
        }
        return overlay.vecGroupIndices.size();
    };
    while (!bDone) {
        frame();
    }
    loader.join();
    // The last round left 16 cells with cells 0, 7 and 14 painted.
    EXPECT_EQ(frame(), 18u);
}

}  // namespace
