#include "clients/velkoeyedx/rendercontext.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QSignalSpy>
#include <algorithm>

#include "velkoeyedx/eyewindow.h"

namespace velkotest {
namespace {

bool Contains(const std::string& strText, const std::string& strPart) {
    return strText.find(strPart) != std::string::npos;
}

// The viewer's own effects build with every variable their technique
// shades with, and only those; the viewer's own textures all load. An effect
// that does not compile is reported with the compiler's log.
TEST_F(EyeWindowTest, EffectsBuildWithTheirVariablesAndABrokenOneIsReported) {
    {
        CRenderContext& window = OpenWindow(CResourceResolver());
        ASSERT_TRUE(window.AreEffectsReady());
        const std::vector<const char*> vecCommon = {"g_mWorldViewProjection", "g_mWorld",
                                                    "g_vLightColor",          "g_vLightPosition",
                                                    "g_vMaterialAmbient",     "g_vMaterialDiffuse",
                                                    "g_fMaterialAlpha",       "g_vCameraPosition"};
        const std::vector<const char*> vecSpecular = {"g_vMaterialSpecular",
                                                      "g_nMaterialShininess"};
        for (int i = 0; i < MT_COUNT; ++i) {
            const auto eTechnique = static_cast<MeshTechnique>(i);
            const CEffect& effect = window.GetMeshTechniques()[i];
            const bool bSpecular = eTechnique == MT_SPECULAR || eTechnique == MT_TEXTURED_SPECULAR;
            const bool bTextured =
                eTechnique == MT_TEXTURED_NO_SPECULAR || eTechnique == MT_TEXTURED_SPECULAR;
            for (const char* pszName : vecCommon) {
                EXPECT_GE(effect.Location(pszName), 0) << GetTechniqueName(eTechnique) << pszName;
            }
            for (const char* pszName : vecSpecular) {
                EXPECT_EQ(effect.Location(pszName) >= 0, bSpecular)
                    << GetTechniqueName(eTechnique) << pszName;
            }
            EXPECT_EQ(effect.Location("g_MeshTexture") >= 0, bTextured)
                << GetTechniqueName(eTechnique);
        }
        for (const char* pszName : {"gWVP", "gWorld", "gDirToSunW", "gTexture"}) {
            EXPECT_GE(window.GetTerrainEffect().Location(pszName), 0) << pszName;
        }
        for (const std::string& strTexture : CTerrain::GetTextureSet()) {
            EXPECT_FALSE(window.GetTerrain().GetTexture(strTexture).empty()) << strTexture;
        }
        QCoreApplication::processEvents();
        EXPECT_TRUE(BoxTexts().empty()) << BoxTexts().front();
    }

    CopyResources("effects");
    CopyResources("meshes");
    CopyResources("textures");
    m_files.Write("res/effects/terrain.frag",
                  "#version 330 core\nout vec4 colour;\n"
                  "void main() { colour = vec4(missingSunlight); }\n");
    CRenderContext& window = OpenWindow(m_files.Resolver());
    EXPECT_FALSE(window.AreEffectsReady());
    EXPECT_TRUE(window.GetMeshTechniques()[MT_TEXTURED_SPECULAR].IsValid());
    // Reported once the window is back in its event loop.
    ASSERT_TRUE(velkotest::QWaitFor([this] { return !BoxTexts().empty(); }));
    ASSERT_EQ(BoxTexts().size(), 1u);
    EXPECT_TRUE(Contains(BoxTexts()[0], "res/effects/terrain.frag")) << BoxTexts()[0];
    EXPECT_TRUE(Contains(BoxTexts()[0], "TerrainTech")) << BoxTexts()[0];
    EXPECT_TRUE(Contains(BoxTexts()[0], "missingSunlight")) << BoxTexts()[0];
}

// Demo1 at 25.5: box 20 is halfway from the first way point to the second.
// Seen from 150 units in front of it, the parcel is at the picture's centre,
// the belt behind the path beside it and the clear colour at the corners;
// the HUD line is written; a right click on the parcel hits box 20.
TEST_F(EyeWindowTest, Demo1DrawsTheParcelsWhereTheyAreAtTheSetTime) {
    CRenderContext& window = OpenWindow(CResourceResolver());
    window.GetScene().LoadDemo1();
    window.GetScene().SetTime(25.5);
    const CVector3 box(-56.0f, -181.0f, -9.0f);
    window.GetCamera().SetViewParams(box + CVector3(0.0f, 0.0f, -150.0f), box);
    const QImage image = Render();
    SaveScreenshot(image, "velkoeyedx-demo1");
    ASSERT_EQ(image.size(), QSize(kWidth, kHeight));

    for (const QPoint corner : {QPoint(2, kHeight - 3), QPoint(kWidth - 3, kHeight - 3)}) {
        const QColor colour = image.pixelColor(corner);
        EXPECT_TRUE(IsNear(colour, 45, 50, 170, 2)) << Describe(colour);
    }
    const QPoint parcelPoint = PixelOf(box + CVector3(0.0f, 0.0f, -12.0f));
    const QColor parcel = image.pixelColor(parcelPoint);
    EXPECT_GT(parcel.red(), parcel.blue() + 30) << Describe(parcel);
    EXPECT_GT(parcel.red(), parcel.green()) << Describe(parcel);
    const QColor belt = image.pixelColor(PixelOf(box + CVector3(-50.0f, 0.0f, 15.0f)));
    EXPECT_LT(std::abs(belt.red() - belt.blue()), 16) << Describe(belt);
    EXPECT_FALSE(IsNear(belt, 45, 50, 170, 20)) << Describe(belt);

    int nYellow = 0;
    const QRect line =
        CHudOverlay::GetLineRect(window.size(), QString::fromStdString(window.GetHudLine()));
    for (int y = line.top(); y <= line.bottom(); ++y) {
        for (int x = line.left(); x <= line.right(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            nYellow += colour.red() > 200 && colour.green() > 200 && colour.blue() < 80;
        }
    }
    EXPECT_GT(nYellow, 50);

    QTest::mouseClick(&window, Qt::RightButton, {}, parcelPoint);
    ASSERT_TRUE(window.GetMeshPick().has_value());
    EXPECT_EQ(window.GetMeshPick()->strAgent, "box20");
    EXPECT_NEAR(window.GetMeshPick()->hit.fDist, 138.0f, 1.0f);
}

// The HUD's camera line is whole and clear of the button, at the window's
// first size (527 pixels wide) and narrower: its box is as high as its
// font's lines, so the tail of the "y" of "y:" shows below the baseline, and
// nothing of it runs under "Toggle full screen".
TEST_F(EyeWindowTest, HudLineIsNotCutBelowItsBaseline) {
    CRenderContext& window = OpenWindow(CResourceResolver());
    const QFontMetrics metrics(CHudOverlay::GetLineFont());
    const auto Yellow = [](const QImage& image, const QRect& rect) {
        int nYellow = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            for (int x = rect.left(); x <= rect.right(); ++x) {
                const QColor colour = image.pixelColor(x, y);
                nYellow += colour.red() > 120 && colour.green() > 120 &&
                           colour.blue() + 60 < std::min(colour.red(), colour.green());
            }
        }
        return nYellow;
    };
    for (const int nWidth : {527, kWidth}) {
        SCOPED_TRACE(nWidth);
        window.resize(nWidth, kHeight);
        const QImage image = Render();
        ASSERT_EQ(image.width(), nWidth);
        const QRect line =
            CHudOverlay::GetLineRect(window.size(), QString::fromStdString(window.GetHudLine()));
        const QRect button = CHudOverlay::GetButtonRect(window.size());
        EXPECT_GE(line.height(), metrics.lineSpacing());
        EXPECT_FALSE(line.intersects(button));
        const int nBaseline = line.top() + metrics.ascent();
        EXPECT_GE(Yellow(image, QRect(line.left(), nBaseline + 1, line.width(), metrics.descent())),
                  3)
            << "nothing of the line shows below its baseline";
        EXPECT_EQ(Yellow(image, button), 0) << "the line runs under the button";
        const QImage top = image.copy(0, 0, nWidth, std::max(line.bottom(), button.bottom()) + 6);
        SaveScreenshot(top.scaled(top.size() * 2),
                       nWidth == kWidth ? "velkoeyedx-hud" : "velkoeyedx-hud-527");
    }
}

// A 10 x 10 grid seen from above: the base texture, marked by quadrants,
// lies the right way up (top left red, top right green, bottom left blue,
// bottom right white; row 0 is at the top), lit fully by the sun overhead;
// three painted cells show their own textures, a cell naming no loaded
// texture shows the base, a right click on a cell selects it and draws it
// with the selection texture, and key 0 turns the sun aside.
TEST_F(EyeWindowTest, TerrainShowsItsTexturesTheRightWayUpAndARightClickSelectsACell) {
    CopyResources("effects");
    CopyResources("meshes");
    QImage base(64, 64, QImage::Format_RGB32);
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            const bool bTop = y < 32;
            const bool bLeft = x < 32;
            base.setPixelColor(x, y,
                               bTop ? (bLeft ? QColor(220, 40, 40) : QColor(40, 200, 60))
                                    : (bLeft ? QColor(40, 60, 220) : QColor(240, 240, 240)));
        }
    }
    WriteImage("res/textures/snow.png", base);
    WriteImage("res/textures/ice.jpg", Solid(60, 220, 230));
    WriteImage("res/textures/sel.png", Solid(250, 220, 40));
    WriteImage("res/textures/default.png", Solid(200, 100, 200));
    WriteImage("res/textures/slapsnow.jpg", Solid(180, 180, 190));
    WriteImage("res/textures/blue.jpg", Solid(20, 20, 120));
    // Stone as DXT1 of (16, 32, 16) in 5:6:5, grass as 32-bit pixels.
    m_files.Write("res/textures/stone.dds",
                  DdsFile(4, 4, "DXT1", SolidDxt1Block(16, 32, 16)).toStdString());
    QByteArray grass;
    for (int i = 0; i < 16; ++i) {
        grass += QByteArray::fromRawData("\x32\xA0\x46\xFF", 4);  // blue, green, red, alpha
    }
    m_files.Write(
        "res/textures/grass.dds",
        DdsFile(4, 4, "", grass, 32, {0xFF0000, 0xFF00, 0xFF, 0xFF000000u}).toStdString());

    CRenderContext& window = OpenWindow(m_files.Resolver());
    CTerrain& terrain = window.GetTerrain();
    window.Lock();
    ASSERT_TRUE(terrain.InitFromCellCount(100));
    window.Unlock();
    terrain.SetCellTexture(22, "ice.jpg");
    terrain.SetCellTexture(27, "stone.dds");
    terrain.SetCellTexture(72, "grass.dds");
    terrain.SetCellTexture(45, "nosuch.png");
    window.GetCamera().SetViewParams({0.0f, 14.0f, 0.0f}, {});
    auto CellPoint = [this](int nCell) {
        return PixelOf({nCell % 10 + 0.5f - 5.0f, 0.0f, 5.0f - (nCell / 10 + 0.5f)});
    };

    QImage image = Render();
    SaveScreenshot(image, "velkoeyedx-terrain");
    const struct {
        int nCell;
        int r, g, b;
    } probes[] = {{11, 220, 40, 40},  {18, 40, 200, 60},   {81, 40, 60, 220}, {88, 240, 240, 240},
                  {22, 60, 220, 230}, {27, 132, 130, 132}, {72, 70, 160, 50}, {45, 40, 200, 60}};
    for (const auto& probe : probes) {
        const QColor colour = image.pixelColor(CellPoint(probe.nCell));
        EXPECT_TRUE(IsNear(colour, probe.r, probe.g, probe.b))
            << "cell " << probe.nCell << ": " << Describe(colour);
    }

    QSignalSpy selections(&window, &CRenderContext::cellSelected);
    QTest::mouseClick(&window, Qt::RightButton, {}, CellPoint(57));
    EXPECT_EQ(terrain.GetSelectedCell(), 57);
    EXPECT_EQ(selections.count(), 1);
    image = Render();
    SaveScreenshot(image, "velkoeyedx-terrain-selected");
    EXPECT_TRUE(IsNear(image.pixelColor(CellPoint(57)), 250, 220, 40))
        << Describe(image.pixelColor(CellPoint(57)));
    EXPECT_TRUE(IsNear(image.pixelColor(CellPoint(58)), 240, 240, 240))
        << Describe(image.pixelColor(CellPoint(58)));

    // Key 0 turns the light to (0.707, -0.707, 0): the flat grid now gets a
    // quarter of ambient light and three quarters of cos 45 degrees.
    QTest::keyClick(&window, Qt::Key_0);
    image = Render();
    EXPECT_TRUE(IsNear(image.pixelColor(CellPoint(88)), 187, 187, 187))
        << Describe(image.pixelColor(CellPoint(88)));
}

// A mesh of two quads facing the camera: the left one's material has a
// texture, the right one's names a file that does not exist. The right one
// is drawn in its own colour, not with the left one's texture.
TEST_F(EyeWindowTest, AMaterialWhoseTextureIsMissingDrawsUntextured) {
    CopyResources("effects");
    CopyResources("meshes");
    CopyResources("textures");
    WriteImage("models/red.png", Solid(220, 40, 40));
    m_files.Write("models/quads.mtl",
                  "newmtl painted\nKa 1 1 1\nKd 1 1 1\nmap_Kd red.png\n"
                  "newmtl bare\nKa 0.2 0.8 0.2\nKd 0.2 0.8 0.2\nmap_Kd missing.png\n");
    const std::string strMesh = m_files.Write(
        "models/quads.obj",
        "mtllib quads.mtl\n"
        "v -10 -5 0\nv -10 5 0\nv -1 5 0\nv -1 -5 0\nv 1 -5 0\nv 1 5 0\nv 10 5 0\nv 10 -5 0\n"
        "vt 0 1\nvt 0 0\nvt 1 0\nvt 1 1\nvn 0 0 -1\n"
        "usemtl painted\nf 1/1/1 2/2/1 3/3/1\nf 1/1/1 3/3/1 4/4/1\n"
        "usemtl bare\nf 5/1/1 6/2/1 7/3/1\nf 5/1/1 7/3/1 8/4/1\n");

    CRenderContext& window = OpenWindow(m_files.Resolver());
    CAnimations& animations = window.GetScene().GetAnimations();
    window.Lock();
    animations.LoadMesh(strMesh);
    animations.AddAgent("tmp", strMesh);
    animations.QueueEvent(CAnimEvent::MakeMove("tmp", 0.0, {}, {}, strMesh, 1.0));
    window.Unlock();
    window.GetCamera().SetViewParams({0.0f, 0.0f, -30.0f}, {});

    const QImage image = Render();
    SaveScreenshot(image, "velkoeyedx-missing-texture");
    const QColor painted = image.pixelColor(PixelOf({-5.5f, 0.0f, 0.0f}));
    const QColor bare = image.pixelColor(PixelOf({5.5f, 0.0f, 0.0f}));
    EXPECT_TRUE(IsNear(painted, 220, 40, 40)) << Describe(painted);
    EXPECT_TRUE(IsNear(bare, 51, 204, 51)) << Describe(bare);
}

// An upright figure as exporters write one: an octagonal prism 60 high with
// smooth sides (vn lines, a smoothing group), a flat top, a bright texture
// and "Ka 0" (the shade left to the scene's lights) or "Ka 1". Seen from the
// start view under the sun overhead, the sides get no sun at all; the
// figure drawn with Ka 0 must still show its texture, at least half as
// bright as with Ka 1, and nowhere black where the texture is bright.
TEST_F(EyeWindowTest, AFigureWithNoAmbientColourShowsItsTextureInTheStartView) {
    CopyResources("effects");
    CopyResources("meshes");
    CopyResources("textures");
    QImage texture(16, 16, QImage::Format_RGB32);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            texture.setPixelColor(
                x, y, (x / 4 + y / 4) % 2 ? QColor(250, 235, 210) : QColor(210, 225, 250));
        }
    }
    WriteImage("figures/skin.png", texture);
    std::string strGeometry = "mtllib figure.mtl\n";
    constexpr int kSides = 8;
    for (int i = 0; i < kSides; ++i) {
        const double dAngle = 2.0 * 3.14159265358979 * i / kSides;
        const double dX = std::cos(dAngle);
        const double dZ = std::sin(dAngle);
        strGeometry += Format("v %f -30 %f\nv %f 30 %f\nvn %f 0 %f\nvt %f 0\nvt %f 1\n", 15 * dX,
                              15 * dZ, 15 * dX, 15 * dZ, dX, dZ, static_cast<double>(i) / kSides,
                              static_cast<double>(i) / kSides);
    }
    strGeometry += "vn 0 1 0\nusemtl skin\ns 1\n";
    for (int i = 0; i < kSides; ++i) {
        // Corners: bottom i, top i, then the next column's (1-based).
        const int b0 = 2 * i + 1;
        const int t0 = b0 + 1;
        const int b1 = 2 * ((i + 1) % kSides) + 1;
        const int t1 = b1 + 1;
        const int n0 = i + 1;
        const int n1 = (i + 1) % kSides + 1;
        strGeometry += Format("f %d/%d/%d %d/%d/%d %d/%d/%d\nf %d/%d/%d %d/%d/%d %d/%d/%d\n", b0,
                              b0, n0, t0, t0, n0, t1, t1, n1, b0, b0, n0, t1, t1, n1, b1, b1, n1);
    }
    strGeometry += "s off\n";
    for (int i = 1; i + 1 < kSides; ++i) {
        strGeometry += Format("f 2/2/%d %d/%d/%d %d/%d/%d\n", kSides + 1, 2 * i + 2, 2 * i + 2,
                              kSides + 1, 2 * i + 4, 2 * i + 4, kSides + 1);
    }

    CRenderContext& window = OpenWindow(m_files.Resolver());
    window.GetCamera().ShowStartView();
    const auto Draw = [&](const std::string& strAmbient) {
        const std::string strName = "figures/ka" + strAmbient;
        m_files.Write(
            strName + "/figure.mtl",
            "newmtl skin\nNs 96\nKa " + strAmbient + " " + strAmbient + " " + strAmbient +
                "\nKd 0.64 0.64 0.64\nKs 0.5 0.5 0.5\nd 1\nillum 2\nmap_Kd ../skin.png\n");
        const std::string strMesh = m_files.Write(strName + "/figure.obj", strGeometry);
        CAnimations& animations = window.GetScene().GetAnimations();
        window.Lock();
        animations.LoadMesh(strMesh);
        animations.AddAgent("figure", strMesh);
        animations.QueueEvent(CAnimEvent::MakeMove("figure", 0.0, {}, {}, strMesh, 1.0));
        window.Unlock();
        return Render();
    };
    const QImage lit = Draw("1");
    const QImage unlit = Draw("0");
    SaveScreenshot(lit, "velkoeyedx-figure-ka1");
    SaveScreenshot(unlit, "velkoeyedx-figure-ka0");
    ASSERT_EQ(lit.size(), unlit.size());

    // The figure's pixels: where the picture with Ka 1 is not the clear
    // colour, off the HUD.
    const QRect line =
        CHudOverlay::GetLineRect(window.size(), QString::fromStdString(window.GetHudLine()));
    const QRect button = CHudOverlay::GetButtonRect(window.size());
    long long nLit = 0;
    long long nUnlit = 0;
    int nPixels = 0;
    int nDark = 0;
    for (int y = 0; y < lit.height(); ++y) {
        for (int x = 0; x < lit.width(); ++x) {
            const QColor colour = lit.pixelColor(x, y);
            if (IsNear(colour, 45, 50, 170, 6) || line.contains(x, y) || button.contains(x, y)) {
                continue;
            }
            const QColor shaded = unlit.pixelColor(x, y);
            ++nPixels;
            nLit += colour.red() + colour.green() + colour.blue();
            nUnlit += shaded.red() + shaded.green() + shaded.blue();
            nDark += shaded.red() + shaded.green() + shaded.blue() < 150;
        }
    }
    ASSERT_GT(nPixels, 2000) << "the figure is not in the picture";
    const double dLit = static_cast<double>(nLit) / nPixels;
    const double dUnlit = static_cast<double>(nUnlit) / nPixels;
    RecordProperty("MeanWithKa1", std::to_string(dLit));
    RecordProperty("MeanWithKa0", std::to_string(dUnlit));
    EXPECT_GE(dUnlit, 0.5 * dLit) << "mean brightness with Ka 0: " << dUnlit
                                  << " of 765, with Ka 1: " << dLit;
    EXPECT_EQ(nDark, 0) << "of " << nPixels << " pixels of the figure";
}

}  // namespace
}  // namespace velkotest
