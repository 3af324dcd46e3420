#pragma once

// "Experiment design": edits the experiments of the model reader (label,
// parametrization file, description) and saves them as an experiments file
// (".exp"). Add and Remove change the reader's map at once, so closing the
// dialog with Escape keeps them; Save writes them to a file and closes the
// dialog.

#include <QDialog>
#include <string>

#include "sh_aux/namemap.h"

class CSDLExperiments;
class CSDLLoader;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

class CDlgExperiment : public QDialog {
    Q_OBJECT
public:
    // Edits loader's experiments; the file dialogs open in strFolder.
    CDlgExperiment(QWidget* pParent, CSDLLoader& loader, const std::string& strFolder);

    // The experiments file of the map, in map order: one line per
    // experiment, the values escaped as the XML needs (a line break of a
    // description too, so that each experiment stays on its line).
    static std::string FormatExperiments(const COwningNameMap<CSDLExperiments>& mapExperiments);

    // A new experiment of the label, path text and description shown; a
    // label that is blank or already present changes nothing.
    void OnAdd();
    // The selected experiment goes from the list and the map.
    void OnRemove();
    // The selected experiment into the fields.
    void OnSelectionChanged();
    // A parametrization file chosen for the path text and the label.
    void OnParams();
    // The experiments into a chosen file, then the dialog closes (also when
    // no file was chosen). A file that cannot be written is reported and
    // the dialog stays.
    void OnSave();

    QListWidget* List() const { return m_pList; }
    QLineEdit* LabelEdit() const { return m_pLabel; }
    QPlainTextEdit* DescriptionEdit() const { return m_pDescription; }
    QLabel* PathText() const { return m_pPath; }
    QPushButton* Button(const QString& strText) const;

private:
    CSDLLoader& m_loader;
    std::string m_strFolder;
    QListWidget* m_pList;
    QLineEdit* m_pLabel;
    QPlainTextEdit* m_pDescription;
    QLabel* m_pPath;
};
