#include "clients/velkoeyedx/hudoverlay.h"

#include <QFontMetrics>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QPainter>
#include <algorithm>

QRect CHudOverlay::GetButtonRect(const QSize& size) {
    // The button's dialog is 170 pixels wide at the right edge.
    return {size.width() - 170 + 35, 10, 125, 22};
}

QFont CHudOverlay::GetLineFont() {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(15);
    font.setBold(true);
    return font;
}

QRect CHudOverlay::GetLineRect(const QSize& size, const QString& strLine) {
    // Clear of the button by as much as the button is clear of the top.
    constexpr int kGap = 5;
    const QFontMetrics metrics(GetLineFont());
    const QRect button = GetButtonRect(size);
    const int nBeside = button.left() - kGap - 5;
    if (metrics.horizontalAdvance(strLine) <= nBeside) {
        return {5, 5, nBeside, metrics.lineSpacing()};
    }
    const int nWidth = std::max(1, size.width() - 10);
    const QRect text =
        metrics.boundingRect(QRect(0, 0, nWidth, size.height() + 1000), kLineFlags, strLine);
    return {5, button.bottom() + 1 + kGap, nWidth, std::max(text.height(), metrics.lineSpacing())};
}

bool CHudOverlay::Create(const CResourceResolver& resolver, std::string* pError) {
    if (!m_effect.Build(resolver, "hud", "Overlay", {}, pError)) {
        return false;
    }
    static const float s_corners[] = {0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
    m_vao.create();
    m_vao.bind();
    m_corners.create();
    m_corners.bind();
    m_corners.allocate(s_corners, sizeof(s_corners));
    QOpenGLFunctions* gl = QOpenGLContext::currentContext()->functions();
    gl->glEnableVertexAttribArray(0);
    gl->glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 2 * sizeof(float), nullptr);
    m_vao.release();
    return true;
}

void CHudOverlay::Release() {
    m_effect.Destroy();
    m_pTexture.reset();
    m_corners.destroy();
    m_vao.destroy();
    m_paintedSize = QSize();
}

void CHudOverlay::Paint(const QSize& size, qreal dPixelRatio, const std::string& strLine) {
    QImage image(size * dPixelRatio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dPixelRatio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    QFont font = GetLineFont();
    painter.setFont(font);
    painter.setPen(QColor(255, 255, 0));
    const QString strText = QString::fromStdString(strLine);
    painter.drawText(GetLineRect(size, strText), kLineFlags, strText);

    const QRect button = GetButtonRect(size);
    painter.setPen(QColor(255, 255, 255, 200));
    painter.setBrush(QColor(40, 40, 40, 170));
    painter.drawRoundedRect(QRectF(button).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    font.setBold(false);
    font.setPixelSize(13);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(button, Qt::AlignCenter, QString::fromLatin1(GetButtonText()));
    painter.end();

    m_pTexture = std::make_unique<QOpenGLTexture>(image, QOpenGLTexture::DontGenerateMipMaps);
    m_pTexture->setMinificationFilter(QOpenGLTexture::Nearest);
    m_pTexture->setMagnificationFilter(QOpenGLTexture::Nearest);
    m_pTexture->setWrapMode(QOpenGLTexture::ClampToEdge);
    m_paintedSize = size;
    m_dPaintedRatio = dPixelRatio;
    m_strPaintedLine = strLine;
}

void CHudOverlay::Render(const QSize& size, qreal dPixelRatio, const std::string& strLine) {
    if (!m_effect.IsValid() || size.isEmpty()) {
        return;
    }
    if (!m_pTexture || size != m_paintedSize || dPixelRatio != m_dPaintedRatio ||
        strLine != m_strPaintedLine) {
        Paint(size, dPixelRatio, strLine);
    }
    QOpenGLFunctions* gl = QOpenGLContext::currentContext()->functions();
    gl->glDisable(GL_DEPTH_TEST);
    gl->glEnable(GL_BLEND);
    // The texture holds the image converted to straight alpha.
    gl->glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    m_effect.Bind();
    m_effect.SetInt("gOverlay", 0);
    m_pTexture->bind(0);
    m_vao.bind();
    gl->glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    m_vao.release();
    gl->glEnable(GL_DEPTH_TEST);
}
