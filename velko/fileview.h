#pragma once

// A file view pane with a sample file tree. The frame keeps one and never
// shows it.

#include <QDockWidget>

class QTreeWidget;

class CFileView : public QDockWidget {
    Q_OBJECT
public:
    explicit CFileView(QWidget* pParent);

private:
    QTreeWidget* m_pTree;
};
