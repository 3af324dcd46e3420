// The core's notifier on the window's thread: reports never block, a
// question waits only on the thread that asks, and pending questions are
// answered Cancel before the window waits for a worker.

#include <QAbstractButton>
#include <QLabel>
#include <algorithm>
#include <atomic>
#include <thread>

#include "sh_widgets/guinotifier.h"
#include "velko/outputwnd.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

QMessageBox* VisibleBox() {
    for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        if (auto* pBox = qobject_cast<QMessageBox*>(pWidget); pBox && pBox->isVisible()) {
            return pBox;
        }
    }
    return nullptr;
}

// Counts the events of one type that reach an object.
class CEventCounter : public QObject {
public:
    CEventCounter(QObject* pWatched, QEvent::Type eType) : m_eType(eType) {
        pWatched->installEventFilter(this);
    }
    int Count() const { return m_nCount; }

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override {
        m_nCount += pEvent->type() == m_eType;
        return false;
    }

private:
    QEvent::Type m_eType;
    int m_nCount = 0;
};

}  // namespace

class CNotifierTest : public QObject {
    Q_OBJECT
private slots:
    void ReportsNeverBlockAndQuestionsWaitOnTheAskingThread() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        CNotifier& notifier = GetNotifier();
        QCOMPARE(&notifier, static_cast<CNotifier*>(pFrame->Notifier()));

        // Reports from a worker return while the window is not looking.
        std::thread reporter([&notifier] {
            notifier.OutputLine(NP_ERRORS, "from the worker");
            notifier.MessageBox("Error", "a report", NB_OK, NI_ERROR);
        });
        reporter.join();
        QVERIFY(PumpUntil(
            [&] { return Lines(pFrame->Output()->Errors()).contains("from the worker"); }));
        QCOMPARE(TakeBoxes(), QStringList{"a report"});

        // A report whose box is on screen opens no other box: the box counts
        // it. Once closed, the report opens a box again.
        std::thread repeater([&notifier] {
            for (int i = 0; i < 300; ++i) {
                notifier.MessageBox("VELKO", "The layer x doesn't exists.", NB_OK, NI_ERROR);
            }
            notifier.MessageBox("VELKO", "another fault", NB_OK, NI_ERROR);
        });
        repeater.join();
        auto boxWith = [](const QString& strText) -> QMessageBox* {
            for (QWidget* pWidget : QApplication::topLevelWidgets()) {
                auto* pBox = qobject_cast<QMessageBox*>(pWidget);
                if (pBox && pBox->isVisible() && pBox->text() == strText) {
                    return pBox;
                }
            }
            return nullptr;
        };
        QVERIFY(PumpUntil([&] { return boxWith("another fault") != nullptr; }));
        QVERIFY(boxWith("The layer x doesn't exists."));
        QCOMPARE(boxWith("The layer x doesn't exists.")->informativeText(),
                 QStringLiteral("This message came 300 times."));
        const QList<QLabel*> listLabels =
            boxWith("The layer x doesn't exists.")->findChildren<QLabel*>();
        QVERIFY(std::any_of(listLabels.begin(), listLabels.end(), [](const QLabel* pLabel) {
            return pLabel->isVisible() && pLabel->text() == "This message came 300 times.";
        }));
        SaveScreenshot(boxWith("The layer x doesn't exists."), QStringLiteral("repeated-report"));
        QStringList listBoxes = TakeBoxes();
        listBoxes.sort();
        QCOMPARE(listBoxes, QStringList({"The layer x doesn't exists.", "another fault"}));
        std::thread once([&notifier] {
            notifier.MessageBox("VELKO", "The layer x doesn't exists.", NB_OK, NI_ERROR);
        });
        once.join();
        QVERIFY(PumpUntil([&] { return boxWith("The layer x doesn't exists.") != nullptr; }));
        QCOMPARE(boxWith("The layer x doesn't exists.")->informativeText(), QString());
        QCOMPARE(TakeBoxes(), QStringList{"The layer x doesn't exists."});

        // Lines from a worker come over in batches: one call of the window's
        // thread takes what came meanwhile, in order; what waits is bounded
        // by what a tab keeps.
        CEventCounter calls(pFrame->Notifier(), QEvent::MetaCall);
        const int nReported = OUTPUT_LINE_LIMIT + 500;
        std::thread many([&notifier, nReported] {
            for (int i = 0; i < nReported; ++i) {
                notifier.OutputLine(NP_MODEL, "line " + std::to_string(i));
            }
        });
        many.join();
        QVERIFY(PumpUntil([&] {
            return Lines(pFrame->Output()->Model()).last() ==
                   QStringLiteral("line %1").arg(nReported - 1);
        }));
        QCOMPARE(calls.Count(), 1);
        const QStringList listModel = Lines(pFrame->Output()->Model());
        QCOMPARE(listModel.size(), OUTPUT_LINE_LIMIT);
        QCOMPARE(listModel.first(), QStringLiteral("line %1").arg(nReported - OUTPUT_LINE_LIMIT));

        // A question waits until the window answers it.
        std::atomic<int> nAnswer{-1};
        std::thread asker([&] { nAnswer = notifier.MessageBox("Q", "go on?", NB_YESNO); });
        QVERIFY(PumpUntil([] { return VisibleBox() != nullptr; }));
        QCOMPARE(nAnswer.load(), -1);
        QCOMPARE(pFrame->Notifier()->GetPendingQuestions().size(), size_t(1));
        QMessageBox* pBox = VisibleBox();
        QCOMPARE(pBox->text(), QStringLiteral("go on?"));
        pBox->button(QMessageBox::Yes)->click();
        QVERIFY(PumpUntil([&] { return nAnswer.load() != -1; }));
        asker.join();
        QCOMPARE(nAnswer.load(), int(NA_YES));

        // Before the window waits for a worker, its pending questions are
        // answered with their cancel answer, and their dialogs close.
        std::atomic<int> nPending{-1};
        std::thread blocked([&] { nPending = notifier.MessageBox("Q", "wait?", NB_YESNO); });
        QVERIFY(PumpUntil([&] { return pFrame->Notifier()->GetPendingQuestions().size() == 1; }));
        QVERIFY(PumpUntil([] { return VisibleBox() != nullptr; }));
        pFrame->Notifier()->CancelPendingQuestions();
        blocked.join();  // the window's thread waits: nothing waits for it
        QCOMPARE(nPending.load(), int(NA_NO));
        QVERIFY(PumpUntil([] { return VisibleBox() == nullptr; }));

        std::string strFile = "unset";
        std::thread chooser(
            [&] { strFile = notifier.ChooseFileToOpen("Open", "All (*.*)|*.*||", "/"); });
        QVERIFY(PumpUntil([&] { return pFrame->Notifier()->GetPendingQuestions().size() == 1; }));
        pFrame->Notifier()->CancelPendingQuestions();
        chooser.join();
        QCOMPARE(strFile, std::string());

        std::thread again([&] { nAnswer = notifier.MessageBox("Q", "again?", NB_OKCANCEL); });
        QVERIFY(PumpUntil([] { return VisibleBox() != nullptr; }));
        VisibleBox()->button(QMessageBox::Ok)->click();
        again.join();
        QCOMPARE(nAnswer.load(), int(NA_OK));
    }
};

VELKO_TEST_SUITE("Notifier", CNotifierTest)
#include "notifier_test.moc"
