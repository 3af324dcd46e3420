#pragma once

// The view in the middle of the frame: the diagram (.vsd drawing) of the
// model or of the element selected in the model tree. Drawings are read with
// libvisio into SVG and drawn with Qt SVG at the view's zoom.

#include <QByteArray>
#include <QString>
#include <QWidget>
#include <string>
#include <vector>

class QLabel;
class QScrollArea;
class QSvgWidget;

// The SVG of the first page of the drawing at strPath; false with the reason
// in strError when the file cannot be read or is no drawing libvisio reads.
bool RenderDrawingToSvg(const std::string& strPath, QByteArray& svg, std::string& strError);

class CVELKOView : public QWidget {
    Q_OBJECT
public:
    explicit CVELKOView(QWidget* pParent);

    // Shows the first file that exists of: strPath itself, then the same file
    // name in "../SDLProcessExternal/doc/", "../../SDLProcessExternal/doc/",
    // "../doc/" and "../../doc/" from the path's folder. False, and the view
    // unchanged, when none exists.
    bool ShowDocument(std::string strPath);
    // The paths ShowDocument tries for strPath, in order.
    static std::vector<std::string> Candidates(const std::string& strPath);

    // Shows the drawing at strPath ("" empties the view). A file that cannot
    // be drawn shows its path and the reason instead.
    void SetDocument(const std::string& strPath);
    void SetZoom(double dZoom);

    const std::string& Document() const { return m_strDocument; }
    double Zoom() const { return m_dZoom; }
    // True while a drawing is shown.
    bool IsShowingDrawing() const;
    // The text shown when a drawing cannot be drawn ("" otherwise).
    QString ErrorText() const;

private:
    void Relayout();

    std::string m_strDocument;
    double m_dZoom = 1.0;
    QSize m_sizeDrawing;
    QScrollArea* m_pScroll;
    QSvgWidget* m_pSvg;
    QLabel* m_pMessage;
};
