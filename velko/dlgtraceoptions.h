#pragma once

// "Trace Options": which operations of one process are written to the
// execution trace and to the animation trace.

#include <QDialog>

class QCheckBox;

class CDlgTraceOptions : public QDialog {
    Q_OBJECT
public:
    explicit CDlgTraceOptions(QWidget* pParent);

    // The six flags, read into the boxes when the dialog is shown and out of
    // them when it is accepted.
    bool m_bTraceInput = false;
    bool m_bTraceOutput = false;
    bool m_bTraceSetState = false;
    bool m_bAnimInput = false;
    bool m_bAnimOutput = false;
    bool m_bAnimSetState = false;

    // The boxes, in the order of the flags above.
    QCheckBox* Box(int nIndex) const { return m_pBoxes[nIndex]; }

protected:
    void showEvent(QShowEvent* pEvent) override;

private:
    bool* Flag(int nIndex);

    QCheckBox* m_pBoxes[6];
};
