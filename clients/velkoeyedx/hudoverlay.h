#pragma once

// What the 3D window shows over its scene: the camera line at the top left
// and the "Toggle full screen" button at the top right. Drawn from an image
// the size of the window, painted again only when the line or the size
// changed. Used on the window's thread with its GL context current.

#include <QFont>
#include <QImage>
#include <QOpenGLBuffer>
#include <QOpenGLTexture>
#include <QOpenGLVertexArrayObject>
#include <QRect>
#include <QSize>
#include <memory>
#include <string>

#include "clients/velkoeyedx/effect.h"

class CHudOverlay {
public:
    // The button's place in a window of that size (in its own pixels).
    static QRect GetButtonRect(const QSize& size);
    static const char* GetButtonText() { return "Toggle full screen"; }
    // The camera line's font, and the box of strLine in a window of that
    // size: left of the button when the line fits there, else under the
    // button, across the window and broken at blanks where it must be. At
    // least as high as the font's line spacing, so that no letter is cut
    // off, not even the tail of a "y" below the baseline.
    static QFont GetLineFont();
    static QRect GetLineRect(const QSize& size, const QString& strLine);
    // How the line is drawn in its box.
    static constexpr int kLineFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;

    // Builds the effect "hud"; false, with *pError, when it cannot.
    bool Create(const CResourceResolver& resolver, std::string* pError);
    void Release();

    // Draws the overlay over the whole viewport of a window of size (in its
    // own pixels) with that device pixel ratio.
    void Render(const QSize& size, qreal dPixelRatio, const std::string& strLine);

private:
    void Paint(const QSize& size, qreal dPixelRatio, const std::string& strLine);

    CEffect m_effect;
    QOpenGLVertexArrayObject m_vao;
    QOpenGLBuffer m_corners;
    std::unique_ptr<QOpenGLTexture> m_pTexture;
    // What the texture shows.
    QSize m_paintedSize;
    qreal m_dPaintedRatio = 0.0;
    std::string m_strPaintedLine;
};
