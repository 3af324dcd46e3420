#include "clients/velkoeyedx/sh_dx/tracereader.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "clients/velkoeyedx/sh_dx/eyerecords.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/pathhelp.h"

CTraceReader::CTraceReader(CSceneController& scene, CEyeTarget target)
    : m_scene(scene), m_target(std::move(target)) {}

CTraceReader::~CTraceReader() {
    m_scene.StopFeeder();
}

bool CTraceReader::ReadUpToClosingLine(const std::string& strPath, const std::string& strClosing,
                                       std::string& strText) {
    strText.clear();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(strPath, ec)) {
        return false;
    }
    std::ifstream file(strPath, std::ios::binary);
    if (!file) {
        return false;
    }
    const int nClosing = static_cast<int>(strClosing.size());
    std::string strLine;
    while (std::getline(file, strLine)) {
        if (!IsValidUtf8(strLine)) {
            strLine = Cp1252ToUtf8(strLine);
        }
        strLine = Trim(strLine);
        strText += strLine;
        if (EqualsNoCase(Right(strLine, nClosing), strClosing)) {
            break;
        }
    }
    const size_t nFirst = strText.find('<');
    if (nFirst != std::string::npos) {
        strText.erase(0, nFirst);
    }
    return true;
}

CTraceReader::LoadResult CTraceReader::LoadFromTrace(
    const std::function<std::string()>& fnChooseFile) {
    m_scene.Lock();
    m_target.ClearParsingLog();
    // Every way out releases the scene.
    struct CUnlockOnExit {
        CSceneController& scene;
        ~CUnlockOnExit() { scene.Unlock(); }
    } unlock{m_scene};

    const std::string strPath = fnChooseFile ? fnChooseFile() : std::string();
    if (strPath.empty()) {
        return TLR_CANCELLED;
    }
    std::string strTrace;
    if (!ReadUpToClosingLine(strPath, "</trace>", strTrace)) {
        m_target.ParsingLog("Trace Error: The file " + strPath + " cannot be read.");
        m_target.Syslog("Error loading trace");
        return TLR_FAILED;
    }
    m_target.Syslog("Loading trace file ...");
    const std::string strFolder = GetFolder(strPath);
    std::string strModelInfo;
    if (ReadUpToClosingLine(ResolvePathNoCase(strFolder + "modelinfo.txt"), "</ModelInfo>",
                            strModelInfo)) {
        m_target.Syslog("ModelInfo loaded from: " + strPath);
    }
    if (!ParseTrace(std::move(strTrace), std::move(strModelInfo), strFolder)) {
        m_target.Syslog("Error loading trace");
        return TLR_FAILED;
    }
    m_target.Syslog("Trace " + strPath + " Loaded successfuly");
    return TLR_LOADED;
}

bool CTraceReader::ParseTrace(std::string strTrace, std::string strModelInfo,
                              const std::string& strTraceFolder) {
    m_scene.StopFeeder();
    m_events = CXMLNode();
    CXMLParser sideDoc;
    try {
        m_traceDoc.LoadXML(strTrace);
        if (!strModelInfo.empty()) {
            sideDoc.LoadXML(strModelInfo);
        }
    } catch (const CXMLParseException& e) {
        m_target.ParsingLog(std::string("Trace Error: ") + e.what());
        return false;
    }
    const CXMLNode trace = m_traceDoc.FindChild(nullptr, "Trace");
    if (!trace) {
        m_target.ParsingLog("Trace Error: No <Trace> tag found.");
        return false;
    }
    if (!strModelInfo.empty()) {
        // The side file replaces the trace's own description, even when it
        // has none.
        const CXMLNode modelInfo = sideDoc.FindChild(nullptr, "ModelInfo");
        if (!modelInfo) {
            m_target.ParsingLog("Trace Error: In modelinfo.txt file, No <ModelInfo> tag found.");
            return false;
        }
        ReadModelInfo(sideDoc, modelInfo, m_target, strTraceFolder);
    } else {
        const CXMLNode modelInfo = m_traceDoc.FindChild(trace, "ModelInfo");
        if (!modelInfo) {
            m_target.ParsingLog("Trace Error: No <ModelInfo> tag found.");
            return false;
        }
        ReadModelInfo(m_traceDoc, modelInfo, m_target, strTraceFolder);
    }
    m_events = m_traceDoc.FindChild(trace, "Events");
    if (!m_events) {
        m_target.ParsingLog("Trace Error: No <Events> tag found.");
        return false;
    }
    m_scene.StartFeeder([this](std::stop_token stop) { FeedRecords(std::move(stop)); });
    return true;
}

void CTraceReader::FeedRecords(std::stop_token stop) {
    for (std::uint32_t nIndex = 0; !stop.stop_requested(); ++nIndex) {
        const CXMLNode child = m_traceDoc.GetChildAt(m_events, nIndex);
        if (!child) {
            break;
        }
        HandleEyeRecord(m_traceDoc, child, m_target);
    }
}
