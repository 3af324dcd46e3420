// The output pane: trace records as numbered coloured lines, the record
// behind a line, and lines that unfold their sub-lines when selected.

#include <QMenu>
#include <QScrollBar>

#include "velko/outputwnd.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

// Stands between a list and its own delegate and counts the sizes asked for.
class CCountingDelegate : public QAbstractItemDelegate {
public:
    explicit CCountingDelegate(QAbstractItemDelegate* pInner) : m_pInner(pInner) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        ++m_nSizes;
        return m_pInner->sizeHint(option, index);
    }
    void paint(QPainter* pPainter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        m_pInner->paint(pPainter, option, index);
    }
    mutable int m_nSizes = 0;

private:
    QAbstractItemDelegate* m_pInner;
};

}  // namespace

class COutputTest : public QObject {
    Q_OBJECT
private slots:
    void RecordsBecomeNumberedColouredLines() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        COutputList* pModel = pFrame->Output()->Model();
        QCOMPARE(Lines(pModel), QStringList{"Model output is being displayed here."});

        pFrame->FormatTraceMessage("");
        pFrame->FormatTraceMessage("plain text, no record");
        pFrame->FormatTraceMessage(
            "<input time=\"1.500000\" process=\"court_ping\" name=\"tick\" mnca=\"no\" "
            "curcell=\"0\"/>");
        pFrame->FormatTraceMessage("<create time=\"1.5\" process=\"p\" name=\"c\"/>");
        pFrame->FormatTraceMessage("<error>division &amp; more</error>");
        pFrame->FormatTraceMessage("  <warning>late</warning>  ");
        pFrame->FormatTraceMessage(
            "<output time=\"2.000000\" process=\"court_ping\" name=\"ball\" self=\"no\" "
            "to=\"\" via=\"'toPong'\"/>");
        pFrame->FormatTraceMessage(
            "<setstate time=\"2.000000\" process=\"court_pong\" name=\"s\" state=\"waiting\"/>");
        pFrame->FormatTraceMessage("\t\t<report time=\"3.000000\" process=\"p\" name=\"Report\"/>");
        pFrame->FormatTraceMessage("<output time=\"4.0\" process=\"broken");

        QCOMPARE(Lines(pModel).mid(1),
                 QStringList({
                     "plain text, no record",
                     "0 [input] on \"court_ping\" of type \"tick\" on time 1.500000. Is mnca?: no, "
                     "cell 0",
                     "1 error: \"division & more\"",
                     "2 warning: \"late\"",
                     "3 [output] on \"court_ping\" of type \"ball\" on time 2.000000 with values "
                     "(self=\"no\" to=\"\" via=\"'toPong'\")",
                     "4 [setstate] on \"court_pong\" of type \"s\" on time 2.000000 to state "
                     "\"waiting\"",
                     "5 [report] on \"p\" of type \"Report\" on time 3.000000 for agent \"\"",
                     "<output time=\"4.0\" process=\"broken",
                 }));
        QCOMPARE(pModel->RecordCounter(), 6);
        QCOMPARE(pModel->TextColor(3), QColor(255, 0, 0));
        QCOMPARE(pModel->BackColor(3), QColor(255, 255, 255));
        QCOMPARE(pModel->TextColor(4), QColor(255, 100, 0));
        QCOMPARE(pModel->TextColor(7), QColor(0, 0, 0));
        QCOMPARE(pModel->BackColor(7), QColor(0, 255, 0));
        QCOMPARE(pModel->TextColor(1), QColor(0, 0, 0));
        QCOMPARE(pModel->RecordOf(pModel->item(4)->text()),
                 QStringLiteral("<warning>late</warning>"));

        // A right click on a numbered line shows its record, then the menu;
        // on a System line only the menu.
        pModel->show();
        pFrame->Output()->Tabs()->setCurrentWidget(pModel);
        VELKO_TRY_VERIFY(pModel->isVisible());
        TakeBoxes();
        const QPoint point = pModel->visualItemRect(pModel->item(4)).center();
        QTest::mouseClick(pModel->viewport(), Qt::RightButton, {}, point);
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, point,
                                    pModel->viewport()->mapToGlobal(point));
        QApplication::sendEvent(pModel->viewport(), &menuEvent);
        QCOMPARE(pModel->currentRow(), 4);
        QCOMPARE(TakeBoxes(), QStringList{"<warning>late</warning>"});
        VELKO_TRY_VERIFY(pModel->ContextMenu()->isVisible());
        pModel->ContextMenu()->close();

        COutputList* pSystem = pFrame->Output()->System();
        pFrame->Output()->Tabs()->setCurrentWidget(pSystem);
        VELKO_TRY_VERIFY(pSystem->isVisible());
        const QPoint first = pSystem->visualItemRect(pSystem->item(0)).center();
        QTest::mouseClick(pSystem->viewport(), Qt::RightButton, {}, first);
        QContextMenuEvent systemEvent(QContextMenuEvent::Mouse, first,
                                      pSystem->viewport()->mapToGlobal(first));
        QApplication::sendEvent(pSystem->viewport(), &systemEvent);
        QCOMPARE(TakeBoxes(), QStringList());
        VELKO_TRY_VERIFY(pSystem->ContextMenu()->isVisible());
        pSystem->ContextMenu()->close();
        SaveScreenshot(pFrame->Output(), QStringLiteral("output-model"));
    }

    void ASelectedLineUnfoldsItsSubLines() {
        CStartedApp started;
        COutputList* pErrors = started.Frame()->Output()->Errors();
        started.Frame()->Output()->Tabs()->setCurrentWidget(pErrors);
        const int nPlain = pErrors->AddItem(QStringLiteral("plain"));
        const int nFolded = pErrors->AddItem(QStringLiteral("three below"), 0x0000FF, 0xFFFFFF);
        for (ColorRef color : {0x0000FFu, 0x00FF00u, 0xFF0000u}) {
            QVERIFY(pErrors->AddSubItem(nFolded, QStringLiteral("sub"), color, 0xECFFEC));
        }
        QVERIFY(!pErrors->AddSubItem(99, QStringLiteral("nowhere")));
        QCOMPARE(pErrors->InsertItem(pErrors->count() + 1, QStringLiteral("past the end")), -1);
        VELKO_TRY_VERIFY(pErrors->isVisible());
        QCOMPARE(pErrors->ItemHeight(nFolded), LINE_HEIGHT);

        pErrors->setCurrentRow(nPlain);
        VELKO_TRY_COMPARE(pErrors->ItemHeight(nPlain), LINE_HEIGHT);
        pErrors->setCurrentRow(nFolded);
        VELKO_TRY_COMPARE(pErrors->ItemHeight(nFolded), 4 * LINE_HEIGHT);
        SaveScreenshot(pErrors, QStringLiteral("output-sublines"));
        pErrors->setCurrentRow(nPlain);
        VELKO_TRY_COMPARE(pErrors->ItemHeight(nFolded), LINE_HEIGHT);
    }

    void ATabFollowsItsNewestLineUnlessScrolledUp() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        COutputList* pSystem = pFrame->Output()->System();
        pFrame->Output()->Tabs()->setCurrentWidget(pSystem);
        VELKO_TRY_VERIFY(pSystem->isVisible());
        QScrollBar* pBar = pSystem->verticalScrollBar();
        for (int i = 0; i < 200; ++i) {
            pFrame->WriteSystem("line " + std::to_string(i));
        }
        VELKO_TRY_VERIFY(pBar->maximum() > 0);
        QCoreApplication::processEvents();
        QCOMPARE(pBar->value(), pBar->maximum());
        QVERIFY(pSystem->visualItemRect(pSystem->item(pSystem->count() - 1))
                    .intersects(pSystem->viewport()->rect()));

        // Scrolled up by the user: new lines leave the view where it is.
        pBar->setValue(pBar->maximum() / 2);
        const int nUp = pBar->value();
        pFrame->WriteSystem("one more");
        QCoreApplication::processEvents();
        QCOMPARE(pBar->value(), nUp);
        // Back at the end, it follows again.
        pBar->setValue(pBar->maximum());
        pFrame->WriteSystem("and another");
        QCoreApplication::processEvents();
        QCOMPARE(pBar->value(), pBar->maximum());
    }

    void ATabKeepsItsNewestLinesAndTheRecordsBehindThem() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        COutputList* pErrors = pFrame->Output()->Errors();
        pFrame->Output()->Tabs()->setCurrentWidget(pErrors);
        VELKO_TRY_VERIFY(pErrors->isVisible());
        std::string strErrors;
        for (int i = 0; i < OUTPUT_LINE_LIMIT + 5; ++i) {
            strErrors += "error " + std::to_string(i) + "\n";
        }
        pFrame->WriteErrors(strErrors);
        QCOMPARE(pErrors->count(), OUTPUT_LINE_LIMIT);
        QCOMPARE(pErrors->item(0)->text(), QStringLiteral("error 5"));
        QCOMPARE(pErrors->item(OUTPUT_LINE_LIMIT - 1)->text(),
                 QStringLiteral("error %1").arg(OUTPUT_LINE_LIMIT + 4));

        // Scrolled up, the view keeps its lines while the oldest go.
        QCoreApplication::processEvents();
        QScrollBar* pBar = pErrors->verticalScrollBar();
        pBar->setValue(pBar->maximum() / 2);
        QCoreApplication::processEvents();
        QListWidgetItem* pOnTop = pErrors->itemAt(5, 5);
        QVERIFY(pOnTop);
        const QString strOnTop = pOnTop->text();
        pFrame->WriteErrors("one more\nand another");
        QCOMPARE(pErrors->count(), OUTPUT_LINE_LIMIT);
        QCoreApplication::processEvents();
        pOnTop = pErrors->itemAt(5, 5);
        QVERIFY(pOnTop);
        QCOMPARE(pOnTop->text(), strOnTop);

        // A dropped record line takes its record along; the kept ones keep
        // theirs.
        COutputList* pModel = pFrame->Output()->Model();
        for (int i = 0; i < OUTPUT_LINE_LIMIT; ++i) {
            pFrame->FormatTraceMessage("<warning>w" + std::to_string(i) + "</warning>");
        }
        QCOMPARE(pModel->item(0)->text(), QStringLiteral("0 warning: \"w0\""));
        QCOMPARE(pModel->RecordOf(pModel->item(0)->text()),
                 QStringLiteral("<warning>w0</warning>"));
        pFrame->FormatTraceMessage("<warning>last</warning>");
        QCOMPARE(pModel->count(), OUTPUT_LINE_LIMIT);
        QCOMPARE(pModel->item(0)->text(), QStringLiteral("1 warning: \"w1\""));
        QCOMPARE(pModel->RecordOf(QStringLiteral("0 warning: \"w0\"")), QString());
        QCOMPARE(pModel->RecordOf(pModel->item(OUTPUT_LINE_LIMIT - 1)->text()),
                 QStringLiteral("<warning>last</warning>"));

        // At the limit, a line that comes on its own is laid out without
        // measuring the lines already there; a long one widens the list.
        pFrame->Output()->Tabs()->setCurrentWidget(pModel);
        VELKO_TRY_VERIFY(pModel->isVisible());
        QCoreApplication::processEvents();
        QAbstractItemDelegate* pOwn = pModel->itemDelegate();
        CCountingDelegate counting(pOwn);
        pModel->setItemDelegate(&counting);
        constexpr int kAlone = 20;
        for (int i = 0; i < kAlone; ++i) {
            pFrame->FormatTraceMessage("<error>alone " + std::to_string(i) + "</error>");
            QCoreApplication::processEvents();
        }
        QVERIFY2(counting.m_nSizes < 10 * kAlone, qPrintable(QString::number(counting.m_nSizes)));
        QCOMPARE(pModel->item(OUTPUT_LINE_LIMIT - 1)->text(),
                 QStringLiteral("%1 error: \"alone %2\"")
                     .arg(OUTPUT_LINE_LIMIT + kAlone)
                     .arg(kAlone - 1));
        QCOMPARE(pModel->TextColor(OUTPUT_LINE_LIMIT - 1), QColor(255, 0, 0));
        const int nWide = pModel->horizontalScrollBar()->maximum();
        pFrame->FormatTraceMessage("<error>" + std::string(400, 'w') + "</error>");
        VELKO_TRY_VERIFY(pModel->horizontalScrollBar()->maximum() > nWide);
        pModel->setItemDelegate(pOwn);
    }
};

VELKO_TEST_SUITE("Output", COutputTest)
#include "output_test.moc"
