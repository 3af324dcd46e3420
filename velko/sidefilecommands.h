#pragma once

// The Properties tab's commands on the loaded model's side files: the
// representation (".eye" / ".modelinfo") and the parametrization (".param")
// exported from the model or imported into it, the experiments file
// (".exp") imported, and the experiment design dialog. Each command sets the
// ribbon's file label and the engine's strings that name what was read or
// written.
//
// The model rule enables these commands only while no run and no build is
// alive, so nothing else reads the model meanwhile.

#include <functional>
#include <string>

class CCommandTable;
class CMainFrame;
class CSDLEngine;
class QLabel;
struct SFileChoice;
struct SModelParametrization;

// What became of an experiment's parametrization.
enum ExperimentUse {
    EU_USED,        // read over the model's own values; its run is the experiment's
    EU_UNREADABLE,  // it cannot be read: the model's own values are in place
    EU_REFUSED      // refused, with an Errors line: it would build over the model's library
};

// The file dialogs' filters.
inline constexpr const char* REPRESENTATION_FILTER =
    "Eye representation Files (*.eye)|*.eye||ModelInfo Files (*.modelinfo)|*.modelinfo|";
inline constexpr const char* PARAMETRIZATION_FILTER =
    "Parametrization Files (*.param)|*.param|All Files (*.*)|*.*||";
inline constexpr const char* EXPERIMENTATION_FILTER =
    "Experimentation Files (*.exp)|*.exp|All Files (*.*)|*.*||";

// The head of every side file the program writes.
inline constexpr const char* SIDE_FILE_DECLARATION = "<?xml version='1.0' encoding='utf-8'?>\n";

// Writes strText to strPath as UTF-8 with every line feed stored as CR LF.
// The file is replaced whole or not at all: False, with the reason in
// strError, when it cannot be written, and then a file that was there stays
// as it was.
bool WriteSideFile(const std::string& strPath, const std::string& strText, std::string& strError);

class CSideFileCommands {
public:
    explicit CSideFileCommands(CMainFrame& frame);

    void RegisterHandlers(CCommandTable& commands);

    void OnExportRepresentation();
    void OnExportParametrization();
    void OnImportRepresentation();
    void OnImportParametrization();
    void OnImportExperiments();
    // The experiment design dialog on the document's experiments.
    void OnEditExperiments();

    // Reads the parametrization at strPath into the model. When it was read:
    // the "Parametrization File:" label shows strLabel, the engine's
    // parametrization file is strPath and its code base strPath up to its
    // last ".", and the values read are those Reset goes back to. False,
    // changing nothing, when it cannot be read (the reader has said why).
    bool UseParametrization(const std::string& strPath, const std::string& strLabel);
    // The parametrization strPath of the experiment strLabel, read over the
    // model's own parametrization own (taken before the experiments began):
    // each experiment starts from the model's own values, whatever an
    // earlier one set. A parametrization whose code base would be the
    // model's own (".param" beside the model file of the same name, or the
    // model's own parametrization) would build over the model's library: it
    // is refused, with an Errors line naming both files.
    ExperimentUse UseExperiment(const std::string& strLabel, const std::string& strPath,
                                const SModelParametrization& own);

private:
    // The engine, or null after telling the user to load a model.
    CSDLEngine* EngineOrTell() const;
    // The file dialog, opened in the model's folder; "" on Cancel.
    std::string Choose(SFileChoice choice) const;
    // Writes the text fnText makes (once a file is chosen: making it trims
    // the model's values) to a chosen file; on success the label shows its
    // name and the engine string its path. A file that cannot be written is
    // reported and changes nothing.
    void Export(const SFileChoice& choice, const std::function<std::string()>& fnText,
                QLabel* pLabel, std::string& strEngineFile);

    CMainFrame& m_frame;
};
