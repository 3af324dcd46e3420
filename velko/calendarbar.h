#pragma once

// A calendar bar for a navigation bar the frame does not have: a month
// calendar above a "My Calendars" area. The frame keeps one and never shows
// it.

#include <QWidget>

class QCalendarWidget;

class CCalendarBar : public QWidget {
    Q_OBJECT
public:
    explicit CCalendarBar(QWidget* pParent);

protected:
    void resizeEvent(QResizeEvent* pEvent) override;
    void paintEvent(QPaintEvent* pEvent) override;

private:
    QCalendarWidget* m_pCalendar;
    int m_nMyCalendarsY = 0;
};
