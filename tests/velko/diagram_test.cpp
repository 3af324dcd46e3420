// The diagram view: where a drawing is looked for, and how drawings that
// cannot be read are shown.

#include "velko/velkoview.h"
#include "velkotest.h"

using namespace velkotest;

namespace {

// A one-shape drawing in the XML form of the drawing format.
const QByteArray DRAWING =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<VisioDocument xmlns=\"http://schemas.microsoft.com/visio/2003/core\">\n"
    " <Pages><Page ID=\"0\" NameU=\"p\">\n"
    "  "
    "<PageSheet><PageProps><PageWidth>4</PageWidth><PageHeight>2</PageHeight></PageProps></"
    "PageSheet>\n"
    "  <Shapes><Shape ID=\"1\" Type=\"Shape\">\n"
    "   "
    "<XForm><PinX>2</PinX><PinY>1</PinY><Width>2</Width><Height>1</Height><LocPinX>1</"
    "LocPinX><LocPinY>0.5</LocPinY></XForm>\n"
    "   <Fill><FillForegnd>#C0E0C0</FillForegnd><FillPattern>1</FillPattern></Fill>\n"
    "   <Geom IX=\"0\"><NoFill>0</NoFill><NoLine>0</NoLine>\n"
    "    <MoveTo IX=\"1\"><X>0</X><Y>0</Y></MoveTo><LineTo IX=\"2\"><X>2</X><Y>0</Y></LineTo>\n"
    "    <LineTo IX=\"3\"><X>2</X><Y>1</Y></LineTo><LineTo IX=\"4\"><X>0</X><Y>1</Y></LineTo>\n"
    "    <LineTo IX=\"5\"><X>0</X><Y>0</Y></LineTo></Geom>\n"
    "   <Text>net</Text>\n"
    "  </Shape></Shapes>\n"
    " </Page></Pages>\n"
    "</VisioDocument>\n";

}  // namespace

class CDiagramTest : public QObject {
    Q_OBJECT
private slots:
    void CandidatesFollowInTheirOrder() {
        const std::vector<std::string> expected = {
            "/d/m/doc/net.vsd", "/d/m/doc/../SDLProcessExternal/doc/net.vsd",
            "/d/m/doc/../../SDLProcessExternal/doc/net.vsd", "/d/m/doc/../doc/net.vsd",
            "/d/m/doc/../../doc/net.vsd"};
        QVERIFY(CVELKOView::Candidates("/d/m/doc/net.vsd") == expected);
        QVERIFY(CVELKOView::Candidates("\\d\\m\\doc\\net.vsd") == expected);
        QCOMPARE(CVELKOView::Candidates("net.vsd")[3], std::string("./../doc/net.vsd"));
    }

    void AModelWithoutADocFolderFindsItsDrawingBesideItsProcesses() {
        CStartedApp started;
        CMainFrame* pFrame = started.Frame();
        QTemporaryDir dir;
        const std::string strModel = CopySample(dir, "net.velko");
        // No doc/ folder: "doc/../" must not need one.
        const std::string strDrawing = WriteFile(dir, "SDLProcessExternal/doc/NET.vsd", DRAWING);
        QCOMPARE(pFrame->LoadModel(strModel), int(LM_LOADED));
        CVELKOView* pView = pFrame->View();
        QCOMPARE(pView->Document(), strDrawing);
        QVERIFY(pView->IsShowingDrawing());
        QCOMPARE(pView->Zoom(), 0.9);
        SaveScreenshot(pFrame, QStringLiteral("diagram-found"));

        // Found nowhere: the view keeps what it shows, and says nothing.
        TakeBoxes();
        QVERIFY(!pView->ShowDocument(dir.filePath("doc/other.vsd").toStdString()));
        QCOMPARE(pView->Document(), strDrawing);
        QVERIFY(pView->IsShowingDrawing());
        QCOMPARE(TakeBoxes(), QStringList());

        // A file that is there but no drawing is reported in the view.
        const std::string strCorrupt =
            WriteFile(dir, "doc/bad.vsd", "\xD0\xCF\x11\xE0 not a drawing");
        QVERIFY(pView->ShowDocument(strCorrupt));
        QVERIFY(!pView->IsShowingDrawing());
        QVERIFY(pView->ErrorText().contains(QString::fromStdString(strCorrupt)));
        QVERIFY(pView->ErrorText().contains(QStringLiteral("cannot be shown")));
        SaveScreenshot(pFrame, QStringLiteral("diagram-unreadable"));

        pView->SetDocument({});
        QVERIFY(pView->ErrorText().isEmpty());
        QVERIFY(!pView->IsShowingDrawing());
    }
};

VELKO_TEST_SUITE("Diagram", CDiagramTest)
#include "diagram_test.moc"
