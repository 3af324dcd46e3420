#include "velko/calendarbar.h"

#include <QCalendarWidget>
#include <QPainter>
#include <QResizeEvent>

#include "velko/icons.h"

CCalendarBar::CCalendarBar(QWidget* pParent) : QWidget(pParent) {
    m_pCalendar = new QCalendarWidget(this);
}

void CCalendarBar::resizeEvent(QResizeEvent* pEvent) {
    const QSize size = pEvent->size();
    m_pCalendar->setGeometry(10, 10, size.width() - 20, size.height() - 100);
    m_nMyCalendarsY = size.height() - 70;
}

void CCalendarBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    painter.drawText(QRect(10, m_nMyCalendarsY, width() - 20, 20), Qt::AlignVCenter,
                     QStringLiteral("My Calendars"));
    const QRect band(10, m_nMyCalendarsY + 22, width() - 20, 20);
    painter.fillRect(band, QColor(255, 255, 213));
    painter.drawPixmap(band.left() + 2, band.top() + 2, TreeIcon(TI_LEAF).pixmap(16, 16));
    painter.drawText(band.adjusted(22, 0, 0, 0), Qt::AlignVCenter, QStringLiteral("Calendar"));
}
