#include "velko/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "velko/commands.h"
#include "velko/propertieswnd.h"

namespace {

enum Glyph {
    GL_FOLDER,
    GL_CROSS,
    GL_ARROW_IN,
    GL_ARROW_OUT,
    GL_PAGE,
    GL_LETTER,
    GL_GEAR,
    GL_LINK,
    GL_CLOCK,
    GL_POWER,
    GL_PLAY,
    GL_STEP,
    GL_FLASK,
    GL_STOP,
    GL_WINDOW,
    GL_EYE,
    GL_EXPAND,
    GL_UNDO,
    GL_CHECK,
    GL_DOT
};

QPixmap Draw(Glyph eGlyph, const QColor& color, const QString& strLetter = {}) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color.darker(150), 2));
    painter.setBrush(color);
    switch (eGlyph) {
        case GL_FOLDER:
            painter.drawRect(4, 10, 24, 16);
            painter.drawRect(4, 7, 10, 4);
            break;
        case GL_CROSS:
            painter.setPen(QPen(color, 5, Qt::SolidLine, Qt::RoundCap));
            painter.drawLine(8, 8, 24, 24);
            painter.drawLine(24, 8, 8, 24);
            break;
        case GL_ARROW_IN:
        case GL_ARROW_OUT: {
            painter.setBrush(Qt::white);
            painter.drawRect(12, 4, 16, 24);
            painter.setBrush(color);
            QPainterPath arrow;
            const bool bIn = eGlyph == GL_ARROW_IN;
            const int x0 = bIn ? 2 : 22, x1 = bIn ? 22 : 2;
            arrow.moveTo(x0, 13);
            arrow.lineTo((x0 + x1) / 2, 13);
            arrow.lineTo((x0 + x1) / 2, 8);
            arrow.lineTo(x1, 16);
            arrow.lineTo((x0 + x1) / 2, 24);
            arrow.lineTo((x0 + x1) / 2, 19);
            arrow.lineTo(x0, 19);
            arrow.closeSubpath();
            painter.drawPath(arrow);
            break;
        }
        case GL_PAGE:
            painter.setBrush(Qt::white);
            painter.drawRect(7, 4, 18, 24);
            painter.drawLine(10, 11, 22, 11);
            painter.drawLine(10, 16, 22, 16);
            painter.drawLine(10, 21, 18, 21);
            break;
        case GL_LETTER: {
            painter.drawRoundedRect(3, 3, 26, 26, 5, 5);
            QFont font = painter.font();
            font.setBold(true);
            font.setPixelSize(15);
            painter.setFont(font);
            painter.setPen(Qt::white);
            painter.drawText(QRect(3, 3, 26, 26), Qt::AlignCenter, strLetter);
            break;
        }
        case GL_GEAR:
            for (int i = 0; i < 8; ++i) {
                painter.save();
                painter.translate(16, 16);
                painter.rotate(45 * i);
                painter.drawRect(-3, -14, 6, 6);
                painter.restore();
            }
            painter.drawEllipse(QPointF(16, 16), 9, 9);
            painter.setBrush(Qt::white);
            painter.drawEllipse(QPointF(16, 16), 3, 3);
            break;
        case GL_LINK:
            painter.setBrush(Qt::NoBrush);
            painter.setPen(QPen(color, 4));
            painter.drawEllipse(4, 10, 14, 12);
            painter.drawEllipse(14, 10, 14, 12);
            break;
        case GL_CLOCK:
            painter.setBrush(Qt::white);
            painter.drawEllipse(4, 4, 24, 24);
            painter.drawLine(16, 16, 16, 8);
            painter.drawLine(16, 16, 22, 19);
            break;
        case GL_POWER:
            painter.setBrush(Qt::NoBrush);
            painter.setPen(QPen(color, 4, Qt::SolidLine, Qt::RoundCap));
            painter.drawArc(6, 7, 20, 20, 120 * 16, -240 * 16);
            painter.drawLine(16, 4, 16, 15);
            break;
        case GL_PLAY: {
            const QPointF points[] = {{8, 5}, {27, 16}, {8, 27}};
            painter.drawPolygon(points, 3);
            break;
        }
        case GL_STEP: {
            const QPointF points[] = {{5, 5}, {20, 16}, {5, 27}};
            painter.drawPolygon(points, 3);
            painter.drawRect(22, 5, 5, 22);
            break;
        }
        case GL_FLASK: {
            const QPointF points[] = {{12, 4}, {20, 4}, {20, 12}, {28, 28}, {4, 28}, {12, 12}};
            painter.drawPolygon(points, 6);
            break;
        }
        case GL_STOP:
            painter.drawRect(7, 7, 18, 18);
            break;
        case GL_WINDOW:
            painter.setBrush(Qt::white);
            painter.drawRect(4, 6, 24, 20);
            painter.setBrush(color);
            painter.drawRect(4, 6, 24, 5);
            break;
        case GL_EYE:
            painter.setBrush(Qt::white);
            painter.drawEllipse(3, 9, 26, 14);
            painter.setBrush(color);
            painter.drawEllipse(11, 10, 11, 11);
            break;
        case GL_EXPAND:
            painter.setBrush(Qt::NoBrush);
            painter.drawLine(8, 6, 8, 26);
            painter.drawLine(8, 12, 16, 12);
            painter.drawLine(8, 24, 16, 24);
            painter.setBrush(color);
            painter.drawRect(16, 8, 10, 8);
            painter.drawRect(16, 20, 10, 8);
            painter.setPen(QPen(Qt::white, 2));
            painter.drawLine(18, 12, 24, 12);
            painter.drawLine(21, 9, 21, 15);
            break;
        case GL_UNDO: {
            painter.setBrush(Qt::NoBrush);
            painter.setPen(QPen(color, 4, Qt::SolidLine, Qt::RoundCap));
            painter.drawArc(7, 8, 18, 18, 150 * 16, -280 * 16);
            painter.setPen(Qt::NoPen);
            const QPointF points[] = {{2, 9}, {12, 9}, {5, 18}};
            painter.drawPolygon(points, 3);
            break;
        }
        case GL_CHECK: {
            painter.setBrush(Qt::NoBrush);
            painter.setPen(QPen(color, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            const QPointF points[] = {{6, 17}, {13, 24}, {26, 8}};
            painter.drawPolyline(points, 3);
            break;
        }
        case GL_DOT:
            painter.drawEllipse(10, 10, 12, 12);
            break;
    }
    return pixmap;
}

}  // namespace

QIcon ApplicationIcon() {
    return QIcon(Draw(GL_LETTER, QColor(31, 95, 160), QStringLiteral("V")));
}

QIcon TreeIcon(TreeImage eImage) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    switch (eImage) {
        case TI_ROOT:
            painter.setPen(QPen(QColor(20, 60, 120), 1));
            painter.setBrush(QColor(60, 120, 200));
            painter.drawRect(1, 1, 14, 14);
            painter.setBrush(Qt::white);
            painter.drawRect(4, 4, 8, 8);
            break;
        case TI_BLOCK:
            painter.setPen(QPen(QColor(20, 60, 120), 1.5));
            painter.setBrush(QColor(200, 220, 250));
            painter.drawRect(2, 2, 12, 12);
            break;
        case TI_PROCESS:
            painter.setPen(QPen(QColor(30, 110, 40), 1.5));
            painter.setBrush(QColor(190, 235, 190));
            painter.drawRoundedRect(1, 3, 14, 10, 4, 4);
            break;
        case TI_GROUP:
            painter.setPen(QPen(QColor(140, 100, 20), 1));
            painter.setBrush(QColor(240, 200, 90));
            painter.drawRect(1, 5, 14, 9);
            painter.drawRect(1, 3, 6, 3);
            break;
        case TI_LEAF: {
            painter.setPen(QPen(QColor(90, 90, 90), 1));
            painter.setBrush(QColor(230, 230, 230));
            const QPointF points[] = {{8, 2}, {14, 8}, {8, 14}, {2, 8}};
            painter.drawPolygon(points, 4);
            break;
        }
    }
    return QIcon(pixmap);
}

QIcon CommandIcon(int nCommandId) {
    const QColor blue(50, 110, 190), green(40, 150, 60), red(200, 50, 40), grey(110, 110, 120),
        orange(225, 140, 30);
    switch (nCommandId) {
        case ID_FILE_OPEN:
            return QIcon(Draw(GL_FOLDER, orange));
        case ID_FILE_CLOSE:
            return QIcon(Draw(GL_CROSS, red));
        case ID_FILE_SAVE:
            return QIcon(Draw(GL_PAGE, blue));
        case ID_REPRESENTATION_IMPORT:
        case ID_PARAMETRIZATION_IMPORT:
        case ID_EXPERIMENT_IMPORT:
            return QIcon(Draw(GL_ARROW_IN, green));
        case ID_REPRESENTATION_EXPORT:
        case ID_PARAMETRIZATION_EXPORT:
            return QIcon(Draw(GL_ARROW_OUT, blue));
        case ID_EXPERIMENT_EDIT:
            return QIcon(Draw(GL_PAGE, orange));
        case ID_CODE_CREATE:
            return QIcon(Draw(GL_LETTER, blue, QStringLiteral("C")));
        case ID_CODE_COMPILE:
            return QIcon(Draw(GL_GEAR, grey));
        case ID_CODE_LINK:
            return QIcon(Draw(GL_LINK, grey));
        case ID_CODE_ALL:
            return QIcon(Draw(GL_LETTER, green, QStringLiteral("C+")));
        case ID_COMPILER_PATH:
            return QIcon(Draw(GL_FOLDER, grey));
        case ID_SIM_TIME:
            return QIcon(Draw(GL_CLOCK, blue));
        case ID_SIM_INITIALIZE:
            return QIcon(Draw(GL_POWER, green));
        case ID_SIM_RUN:
            return QIcon(Draw(GL_PLAY, green));
        case ID_SIM_STEP:
            return QIcon(Draw(GL_STEP, blue));
        case ID_SIM_EXPERIMENT:
            return QIcon(Draw(GL_FLASK, orange));
        case ID_SIM_STOP:
            return QIcon(Draw(GL_STOP, red));
        case ID_SIM_RUNNINGDLG:
            return QIcon(Draw(GL_WINDOW, blue));
        case ID_SIM_LAUNCHEYE:
            return QIcon(Draw(GL_EYE, blue));
        case ID_APP_ABOUT:
            return ApplicationIcon();
        case ID_EXPAND_ALL:
            return QIcon(Draw(GL_EXPAND, grey));
        case ID_SORTPROPERTIES:
            return QIcon(Draw(GL_LETTER, blue, QStringLiteral("AZ")));
        case ID_PROPERTIES_RESET:
            return QIcon(Draw(GL_UNDO, orange));
        case ID_PROPERTIES_UPDATE:
            return QIcon(Draw(GL_CHECK, green));
        default:
            return QIcon(Draw(GL_DOT, grey));
    }
}
