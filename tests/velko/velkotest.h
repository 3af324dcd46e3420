#pragma once

// What the window's tests share: the suite registry, a started application
// with fresh settings, the sample model, and readers of what the window
// shows (output lines, message boxes) and a screenshot writer.

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "support/qtwait.h"
#include "support/runwait.h"
#include "velko/buildcommands.h"
#include "velko/mainfrm.h"
#include "velko/multilinelistbox.h"
#include "velko/outputwnd.h"
#include "velko/velkoapp.h"

namespace velkotest {

// Suites by name; test_velko runs the one named on its command line.
using SuiteFactory = std::function<std::unique_ptr<QObject>()>;
inline std::map<std::string, SuiteFactory>& Suites() {
    static std::map<std::string, SuiteFactory> s_suites;
    return s_suites;
}
struct SRegisterSuite {
    SRegisterSuite(const char* pszName, SuiteFactory fnFactory) {
        Suites()[pszName] = std::move(fnFactory);
    }
};
#define VELKO_TEST_SUITE(Name, Class)                        \
    static velkotest::SRegisterSuite s_register##Class(Name, \
                                                       [] { return std::make_unique<Class>(); });

inline QString SourcePath(const QString& strRelative) {
    return QStringLiteral(VELKO_SOURCE_DIR "/") + strRelative;
}
inline std::string SampleModel() {
    return SourcePath(QStringLiteral("examples/pingpong/pingpong.velko")).toStdString();
}

// The sample model's files copied into dir, the model file under strName.
inline std::string CopySample(const QTemporaryDir& dir, const QString& strName) {
    QDir(dir.path()).mkpath(QStringLiteral("SDLProcessExternal"));
    QFile::copy(SourcePath(QStringLiteral("examples/pingpong/SDLProcessExternal/pong.sdl")),
                dir.filePath(QStringLiteral("SDLProcessExternal/pong.sdl")));
    const QString strPath = dir.filePath(strName);
    QFile::copy(QString::fromStdString(SampleModel()), strPath);
    return strPath.toStdString();
}

inline std::string WriteFile(const QTemporaryDir& dir, const QString& strName,
                             const QByteArray& text) {
    const QString strPath = dir.filePath(strName);
    QDir().mkpath(QFileInfo(strPath).path());
    QFile file(strPath);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(text);
    return strPath.toStdString();
}

// A parametrization of the sample that sets how many balls ping serves (its
// limit; the model's own is 5).
inline std::string WriteLimitParametrization(const QTemporaryDir& dir, const QString& strName,
                                             int nLimit) {
    return WriteFile(dir, strName,
                     QStringLiteral("<?xml version='1.0' encoding='utf-8'?>\n<Parametrization>"
                                    "<DCLS><DCL agent='court_ping' name='limit' type='int' "
                                    "value='%1'/></DCLS></Parametrization>")
                         .arg(nLimit)
                         .toUtf8());
}

// The sample copied as CopySample does, with from replaced by to in the
// model file; "" (which no load takes) when the file does not hold from.
inline std::string CopySampleChanged(const QTemporaryDir& dir, const QString& strName,
                                     const QByteArray& from, const QByteArray& to) {
    const std::string strPath = CopySample(dir, strName);
    QFile file(QString::fromStdString(strPath));
    file.open(QIODevice::ReadOnly);
    QByteArray text = file.readAll();
    file.close();
    if (!text.contains(from)) {
        return {};
    }
    WriteFile(dir, strName, text.replace(from, to));
    return strPath;
}

// The bytes of a file; empty when it cannot be read.
inline QByteArray ReadBytes(const QString& strPath) {
    QFile file(strPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QStringList Lines(const CMultiLineListBox* pList) {
    QStringList listLines;
    for (int i = 0; i < pList->count(); ++i) {
        listLines << pList->item(i)->text();
    }
    return listLines;
}

// Triggers a build command and waits for its last message.
inline bool RunBuild(CMainFrame* pFrame, int nId) {
    QSignalSpy spy(&pFrame->Build(), &CBuildCommands::BuildFinished);
    pFrame->Commands().Action(nId)->trigger();
    // gcc runs in processes of its own: nothing of its progress shows here.
    return spy.count() > 0 || spy.wait(ScaledMs(120000));
}

// Opens the model and builds its library with the Code tab's full build
// (the real gcc).
inline void OpenAndBuild(CMainFrame* pFrame, const std::string& strModel) {
    QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
    QVERIFY(RunBuild(pFrame, ID_CODE_ALL));
    QCOMPARE(Lines(pFrame->Output()->System()).last(),
             QStringLiteral("Model Compiled and Linked Successfully."));
}

// Texts of the message boxes on screen, which are closed.
inline QStringList TakeBoxes() {
    QCoreApplication::processEvents();
    QStringList listTexts;
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        auto* pBox = qobject_cast<QMessageBox*>(pWidget);
        if (pBox && pBox->isVisible()) {
            listTexts << pBox->text();
            pBox->close();
        }
    }
    QCoreApplication::processEvents();
    return listTexts;
}

// Runs fn on the next modal dialog once it is shown (for exec()).
inline void OnNextModal(std::function<void(QWidget*)> fn) {
    auto* pTimer = new QTimer(qApp);
    pTimer->setInterval(10);
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, fn] {
        if (QWidget* pModal = QApplication::activeModalWidget()) {
            pTimer->stop();
            pTimer->deleteLater();
            fn(pModal);
        }
    });
    pTimer->start();
}

// Answers the next file dialog with strName typed into its name field (a
// name without a folder is taken in the dialog's folder, a missing suffix is
// the dialog's to add), or cancels it when strName is empty.
inline void AnswerFileDialog(const QString& strName) {
    OnNextModal([strName](QWidget* pModal) {
        auto* pDialog = qobject_cast<QFileDialog*>(pModal);
        QVERIFY(pDialog);
        if (strName.isEmpty()) {
            pDialog->reject();
            return;
        }
        // selectFile() drops the selection the dialog opened with, but leaves
        // the name field alone while that has the focus: it is typed too.
        pDialog->selectFile(strName);
        auto* pName = pDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(pName);
        pName->setText(strName);
        static_cast<QDialog*>(pDialog)->accept();  // virtual: the dialog's own
        QVERIFY2(!pDialog->isVisible(), qPrintable(strName));
    });
}

// While it lives, answers every modal message box with its button and keeps
// the boxes' texts in order (questions asked on the window's thread).
class CBoxAnswerer {
public:
    explicit CBoxAnswerer(QMessageBox::StandardButton eButton) : m_eButton(eButton) {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                m_listTexts << pBox->text();
                pBox->button(m_eButton)->click();
            }
        });
        m_timer.start();
    }
    void SetButton(QMessageBox::StandardButton eButton) { m_eButton = eButton; }
    // The texts answered so far, which are forgotten.
    QStringList Take() { return std::exchange(m_listTexts, {}); }

private:
    QTimer m_timer;
    QMessageBox::StandardButton m_eButton;
    QStringList m_listTexts;
};

// Processes the window's events until pred() holds, or for nMilliseconds as
// long as they take on this machine now.
template <class Pred>
bool PumpUntil(Pred pred, int nMilliseconds = 10000) {
    const int nBound = ScaledMs(nMilliseconds);
    QElapsedTimer timer;
    timer.start();
    while (!pred() && timer.elapsed() < nBound) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return pred();
}

// What changes while the window's run or series moves on: the engine's run,
// and the lines of the System and Model tabs.
inline auto WindowProgress(CMainFrame* pFrame) {
    CSDLEngine* pEngine = pFrame->Engine();
    return std::tuple(pEngine ? RunProgress(*pEngine) : decltype(RunProgress(*pEngine))(),
                      pFrame->Output()->System()->count(), pFrame->Output()->Model()->count());
}

inline void SaveScreenshot(QWidget* pWidget, const QString& strName) {
    pWidget->grab().save(QStringLiteral(VELKO_SCREENSHOT_DIR "/") + strName +
                         QStringLiteral(".png"));
}

// The program started with fresh settings.
class CStartedApp {
public:
    CStartedApp() { Start(true); }
    // Closes the program and starts it again on the same settings.
    void Restart() {
        m_pApp.reset();
        Start(false);
    }
    CVELKOApp& App() { return *m_pApp; }
    CMainFrame* Frame() { return m_pApp->MainFrame(); }

private:
    void Start(bool bFreshSettings) {
        m_pApp = std::make_unique<CVELKOApp>();  // names where settings live
        if (bFreshSettings) {
            QSettings().clear();
        }
        m_pApp->InitInstance({});
        QVERIFY(QTest::qWaitForWindowExposed(Frame(), ScaledMs(5000)));
    }

    std::unique_ptr<CVELKOApp> m_pApp;
};

}  // namespace velkotest
