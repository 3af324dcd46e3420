#pragma once

// What the viewer program's tests share: a shown 3D window over a resource
// folder of the test's own (the viewer's real files copied in, test files
// beside them), where a world point lands in the window's picture, colour
// checks, screenshots, and a writer of DirectDraw surfaces; the main dialog
// over a scene of the test's own with a plain window standing for the 3D
// window; and the whole program.

#include <QApplication>
#include <QColor>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QWindow>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "clients/velkoeyedx/rendercontext.h"
#include "clients/velkoeyedx/velkoeyedxapp.h"
#include "clients/velkoeyedx/velkoeyedxdlg.h"
#include "clients/velkoeyedx/velkoeyedxdlgopt1.h"
#include "sh_dx/scenefolder.h"
#include "support/qtwait.h"

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
        EXPECT_TRUE(QTest::qWaitForWindowExposed(m_pWindow.get(), ScaledMs(5000)));
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

// The text of a log box once the lines posted to it so far have arrived.
inline std::string BoxText(const QPlainTextEdit* pBox) {
    QCoreApplication::processEvents();
    return pBox->toPlainText().toStdString();
}

// A picture of the main dialog with what the windows under it show, each at
// its place on the screen.
inline QImage Desktop(QWidget& dialog, const std::vector<std::pair<QRect, QImage>>& vecUnder) {
    QRect area = dialog.frameGeometry();
    for (const auto& [rect, image] : vecUnder) {
        area |= rect;
    }
    QImage desktop(area.size(), QImage::Format_RGB32);
    desktop.fill(Qt::darkGray);
    QPainter painter(&desktop);
    for (const auto& [rect, image] : vecUnder) {
        painter.drawImage(rect.topLeft() - area.topLeft(), image);
    }
    painter.drawPixmap(dialog.geometry().topLeft() - area.topLeft(), dialog.grab());
    return desktop;
}

// Settings of the test's own, emptied first.
class EyeSettingsTest : public ViewerTest {
protected:
    void SetUp() override {
        ViewerTest::SetUp();
        QSettings().clear();
    }
};

// The main dialog, shown and active, over a scene on a hand-driven clock and
// a plain window that stands for the 3D window. File choices are the
// recording notifier's.
class EyeDialogTest : public EyeSettingsTest {
protected:
    void SetUp() override {
        EyeSettingsTest::SetUp();
        m_pDlg = std::make_unique<CVELKOEyeDXDlg>(m_window, m_view.scene, m_view.terrain);
        m_pDlg->show();
        m_pDlg->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get(), ScaledMs(5000)));
    }
    void TearDown() override {
        m_pDlg.reset();
        EyeSettingsTest::TearDown();
    }

    void Trigger(EyeCommand eCommand) { m_pDlg->GetAction(eCommand)->trigger(); }
    // A key pressed where the focus is.
    static void Press(Qt::Key eKey) {
        QWidget* pFocus = QApplication::focusWidget();
        ASSERT_NE(pFocus, nullptr) << "no window has the focus";
        QTest::keyClick(pFocus, eKey);
    }

    CReaderScene m_view{m_files.Resolver()};
    QWindow m_window;
    std::unique_ptr<CVELKOEyeDXDlg> m_pDlg;
};

// The whole program over the viewer's data files beside the test program,
// its main dialog shown. The test's notifier takes the reports and answers
// the file choices.
class EyeProgramTest : public EyeSettingsTest {
protected:
    void TearDown() override {
        m_pProgram.reset();
        EyeSettingsTest::TearDown();
    }

    CVELKOEyeDXDlg& StartProgram() {
        m_pProgram = std::make_unique<CVELKOEyeDXApp>(CResourceResolver());
        m_pProgram->InitInstance();
        SetNotifier(&m_notifier);
        EXPECT_TRUE(QTest::qWaitForWindowExposed(m_pProgram->GetMainDlg(), ScaledMs(5000)));
        return *m_pProgram->GetMainDlg();
    }
    CSceneController& Scene() const { return m_pProgram->GetRenderContext().GetScene(); }
    void Trigger(EyeCommand eCommand) const {
        m_pProgram->GetMainDlg()->GetAction(eCommand)->trigger();
    }

    // Follows the run of model on nPort live, as the menu does, to its end.
    void FollowToEnd(CYardModel& model, unsigned int nPort) {
        CVELKOEyeDXDlg& dlg = *m_pProgram->GetMainDlg();
        Trigger(ID_CONFIGURATION_SERVEROPTIONS);
        dlg.GetServerOptionsDlg()->PortBox()->setText(QString::number(nPort));
        dlg.GetServerOptionsDlg()->SaveButton()->click();
        Trigger(ID_LOADMODEL_FROMSERVER);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&m_pProgram->GetRenderContext(), ScaledMs(5000)));
        ASSERT_TRUE(model.RunToEnd());
        ASSERT_TRUE(WaitForFeedEnd(Scene()));
    }

    // Closes the main dialog as its close button does, which must leave no
    // worker running, then ends the program; the time both took.
    std::chrono::milliseconds EndProgram() {
        const auto tStart = std::chrono::steady_clock::now();
        m_pProgram->GetMainDlg()->close();
        EXPECT_FALSE(Scene().IsFeeding());
        m_pProgram.reset();
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - tStart);
    }

    std::unique_ptr<CVELKOEyeDXApp> m_pProgram;
};

}  // namespace velkotest
