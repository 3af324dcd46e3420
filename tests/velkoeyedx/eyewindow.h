#pragma once

// What the 3D window's tests share: a shown window over a resource folder of
// the test's own (the viewer's real files copied in, test files beside
// them), where a world point lands in the window's picture, colour checks,
// screenshots, and a writer of DirectDraw surfaces.

#include <QColor>
#include <QFile>
#include <QImage>
#include <QTest>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "clients/velkoeyedx/rendercontext.h"
#include "sh_dx/scenefolder.h"

namespace velkotest {

// A DirectDraw surface: the header for w x h pixels of a four-character
// format ("DXT1", "DXT3", "DXT5"), or of uncompressed pixels when
// strFourCC is empty (nBits per pixel with the masks r, g, b, a), then the
// data as given.
inline QByteArray DdsFile(int nWidth, int nHeight, const std::string& strFourCC,
                          const QByteArray& data, uint32_t nBits = 0,
                          const std::vector<uint32_t>& vecMasks = {}) {
    std::vector<uint32_t> header(31, 0);  // after "DDS "
    header[0] = 124;
    header[1] = 0x1 | 0x2 | 0x4 | 0x1000;
    header[2] = static_cast<uint32_t>(nHeight);
    header[3] = static_cast<uint32_t>(nWidth);
    header[18] = 32;
    if (!strFourCC.empty()) {
        header[19] = 0x4;
        std::memcpy(&header[20], strFourCC.data(), 4);
    } else {
        header[19] = 0x40 | (vecMasks.size() > 3 && vecMasks[3] ? 0x1 : 0);
        header[21] = nBits;
        for (size_t i = 0; i < vecMasks.size() && i < 4; ++i) {
            header[22 + i] = vecMasks[i];
        }
    }
    header[26] = 0x1000;
    QByteArray file("DDS ");
    file.append(reinterpret_cast<const char*>(header.data()), 124);
    return file + data;
}

// One DXT1 block of a single colour (r, g, b given as 5, 6 and 5 bits).
inline QByteArray SolidDxt1Block(int r5, int g6, int b5) {
    const uint16_t nColour = static_cast<uint16_t>((r5 << 11) | (g6 << 5) | b5);
    const char bytes[8] = {static_cast<char>(nColour & 0xFF),
                           static_cast<char>(nColour >> 8),
                           static_cast<char>(nColour & 0xFF),
                           static_cast<char>(nColour >> 8),
                           0,
                           0,
                           0,
                           0};
    return QByteArray(bytes, 8);
}

inline bool IsNear(const QColor& colour, int r, int g, int b, int nTolerance = 8) {
    return std::abs(colour.red() - r) <= nTolerance && std::abs(colour.green() - g) <= nTolerance &&
           std::abs(colour.blue() - b) <= nTolerance;
}

inline std::string Describe(const QColor& colour) {
    return "(" + std::to_string(colour.red()) + ", " + std::to_string(colour.green()) + ", " +
           std::to_string(colour.blue()) + ")";
}

inline void SaveScreenshot(const QImage& image, const std::string& strName) {
    image.save(QString::fromStdString(std::string(VELKO_SCREENSHOT_DIR "/") + strName + ".png"));
}

class EyeWindowTest : public ViewerTest {
protected:
    static constexpr int kWidth = 400;
    static constexpr int kHeight = 300;

    void TearDown() override {
        m_pWindow.reset();
        ViewerTest::TearDown();
    }

    // Copies the viewer's own files of res/<strFolder> (those beside the test
    // program) into the test's resource folder.
    void CopyResources(const std::string& strFolder) {
        namespace fs = std::filesystem;
        const fs::path from = fs::path(CResourceResolver::GetProgramFolder()) / "res" / strFolder;
        const fs::path to = fs::path(m_files.Path("res")) / strFolder;
        fs::create_directories(to);
        fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    }

    // Writes an image file under the test's resource folder.
    void WriteImage(const std::string& strRelative, const QImage& image) {
        std::filesystem::create_directories(
            std::filesystem::path(m_files.Path(strRelative)).parent_path());
        ASSERT_TRUE(image.save(QString::fromStdString(m_files.Path(strRelative))));
    }

    static QImage Solid(int r, int g, int b) {
        QImage image(32, 32, QImage::Format_RGB32);
        image.fill(QColor(r, g, b));
        return image;
    }

    // The window over the given resources, shown at kWidth x kHeight.
    CRenderContext& OpenWindow(const CResourceResolver& resolver) {
        m_pWindow = std::make_unique<CRenderContext>(resolver);
        m_pWindow->resize(kWidth, kHeight);
        m_pWindow->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(m_pWindow.get()));
        return *m_pWindow;
    }

    // Two frames, so that meshes registered before the first are drawn, then
    // the picture.
    QImage Render() {
        m_pWindow->AdvanceFrame();
        m_pWindow->AdvanceFrame();
        return m_pWindow->RenderToImage();
    }

    // The pixel of the window's picture where a world point is drawn.
    QPoint PixelOf(const CVector3& world) const {
        const CCamera& camera = m_pWindow->GetCamera();
        const CVector3 ndc = TransformCoord(world, camera.GetViewMatrix() * camera.GetProjMatrix());
        return {static_cast<int>(std::lround((ndc.x + 1.0f) * 0.5f * kWidth)),
                static_cast<int>(std::lround((1.0f - ndc.y) * 0.5f * kHeight))};
    }

    std::unique_ptr<CRenderContext> m_pWindow;
};

}  // namespace velkotest
