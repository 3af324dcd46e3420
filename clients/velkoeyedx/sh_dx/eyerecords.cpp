#include "clients/velkoeyedx/sh_dx/eyerecords.h"

#include <memory>
#include <set>
#include <string>

#include "sh_aux/hpslib.h"
#include "sh_aux/pathhelp.h"

namespace {

const char* const kDefaultGrid = "default_terrain.img";

// The attribute's text; empty when the attribute is absent.
std::string Attribute(const CXMLParser& doc, CXMLNode node, const char* pszName) {
    std::string strValue;
    doc.ReadAttribute(node, pszName, strValue);
    return strValue;
}

// The x, y and z texts of a pos or rot child.
struct CAxes {
    std::string x = "0.0";
    std::string y = "0.0";
    std::string z = "0.0";

    CVector3 ToVector() const {
        return {static_cast<float>(StringToDouble(x)), static_cast<float>(StringToDouble(y)),
                static_cast<float>(StringToDouble(z))};
    }
};

// "0.0" each when there is no such child (node is null).
CAxes ReadAxes(const CXMLParser& doc, CXMLNode node) {
    CAxes axes;
    if (node) {
        axes.x = Attribute(doc, node, "x");
        axes.y = Attribute(doc, node, "y");
        axes.z = Attribute(doc, node, "z");
    }
    return axes;
}

// What every record carries.
struct CRecordHead {
    std::string strAgent;
    std::string strTime;

    CRecordHead(const CXMLParser& doc, CXMLNode record)
        : strAgent(Attribute(doc, record, "agent")), strTime(Attribute(doc, record, "xTime")) {}
    double Time() const { return StringToDouble(strTime); }
};

// The file to load a named grid from: under "res/meshes/" first, then beside
// the trace. A grid found nowhere keeps its "res/meshes/" name, so that the
// terrain reports it missing.
std::string FindGridFile(const CTerrain& terrain, const std::string& strGrid,
                         const std::string& strTraceFolder) {
    const std::string strNamed = "res/meshes/" + strGrid;
    const CResourceResolver& resolver = terrain.GetResolver();
    if (!resolver.Resolve(strNamed, RK_MESH).empty()) {
        return strNamed;
    }
    if (!strTraceFolder.empty()) {
        // The engine writes its traces into "traces/" beside the model, whose
        // layers lie in "data/".
        for (const char* pszFolder : {"", "data/", "../data/"}) {
            const std::string strFound =
                resolver.Resolve(JoinPath(strTraceFolder, pszFolder + strGrid), RK_MESH);
            if (!strFound.empty()) {
                return strFound;
            }
        }
    }
    return strNamed;
}

}  // namespace

void ReadModelInfo(const CXMLParser& doc, CXMLNode modelInfo, const CEyeTarget& target,
                   const std::string& strTraceFolder) {
    if (const CXMLNode name = doc.FindChild(modelInfo, "ModelName")) {
        std::string strName;
        doc.GetText(name, strName);
        target.ParsingLog("ModelName: " + strName);
    }
    const CXMLNode agents = doc.FindChild(modelInfo, "Agents");
    if (!agents) {
        return;
    }
    CAnimations& animations = *target.pAnimations;
    // A mesh the viewer cannot find is drawn as its box: said once per name.
    const CResourceResolver* pResolver =
        target.pTerrain ? &target.pTerrain->GetResolver() : nullptr;
    std::set<std::string> setMissing;
    for (const CXMLNode& agentNode : doc.FindChildren(agents, "Agent")) {
        const std::string strName = Attribute(doc, agentNode, "name");
        std::string strGrid = Attribute(doc, agentNode, "grid");
        const std::string strCells = Attribute(doc, agentNode, "cells");
        const bool bTerrain = !strGrid.empty() || !strCells.empty();
        if (bTerrain && strGrid.empty()) {
            strGrid = kDefaultGrid;
        }
        auto pAgent = std::make_unique<CAgent>(strName, bTerrain ? strGrid : "default.obj");
        for (const CXMLNode& stateNode : doc.FindChildren(agentNode, "state")) {
            const std::string strState = Attribute(doc, stateNode, "name");
            const CXMLNode mesh = doc.FindChild(stateNode, "mesh");
            if (!mesh) {
                target.ParsingLog("The state " + strState + " of the agent " + strName +
                                  " has no mesh: it is skipped.");
                continue;
            }
            CAgentState look;
            doc.GetText(mesh, look.mesh);
            look.scale = StringToDouble(Attribute(doc, mesh, "scale"));
            look.position = ReadAxes(doc, doc.FindChild(stateNode, "pos")).ToVector();
            look.rotation = ReadAxes(doc, doc.FindChild(stateNode, "rot")).ToVector();
            if (!bTerrain && pResolver && Right(look.mesh, 3) == "obj" &&
                pResolver->Resolve(look.mesh, RK_MESH).empty() &&
                setMissing.insert(look.mesh).second) {
                target.ParsingLog("The mesh " + look.mesh +
                                  " cannot be found: a box stands for it.");
            }
            animations.LoadMesh(look.mesh);
            pAgent->states[strState] = std::move(look);
        }
        animations.PutAgent(std::move(pAgent));
        if (!bTerrain) {
            continue;
        }
        if (strGrid != kDefaultGrid) {
            if (target.pTerrain &&
                target.pTerrain->LoadTerrain(
                    FindGridFile(*target.pTerrain, strGrid, strTraceFolder)) &&
                target.fnGridLoaded) {
                target.fnGridLoaded();
            }
            target.ParsingLog(" New Terrain Agent: " + strName + " [grid: (" + strGrid + ")");
        } else {
            if (target.pTerrain) {
                target.pTerrain->InitFromCellCount(StringToInt(strCells));
            }
            target.ParsingLog(" New Terrain Agent: " + strName +
                              "(default grid #cells=" + strCells + ")");
        }
    }
}

// ---- Animation records --------------------------------------------------------------

void OnEyeReport(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target) {
    const CRecordHead head(doc, record);
    const std::string strVarname = Attribute(doc, record, "varname");
    const std::string strVartype = Attribute(doc, record, "vartype");
    const std::string strVarvalue = Attribute(doc, record, "varvalue");
    const std::string strCell = Attribute(doc, record, "cell");
    const int nCell = strCell.empty() ? -1 : StringToInt(strCell);
    target.pAnimations->QueueEvent(CAnimEvent::MakeReport(head.strAgent, head.Time(), strVarname,
                                                          strVartype, strVarvalue, nCell));
    target.ParsingLog("Report " + head.strAgent + " at:" + head.strTime + " " + strVartype + " " +
                      strVarname + "=" + strVarvalue);
}

void OnEyeSetState(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target) {
    const CRecordHead head(doc, record);
    const std::string strState = Attribute(doc, record, "state");
    const std::string strCell = Attribute(doc, record, "cell");
    CAgentState look;
    switch (target.pAnimations->FindAgentState(head.strAgent, strState, &look)) {
        case ASL_NO_AGENT:
            target.ParsingLog("The Agent " + head.strAgent + " is not defined.");
            return;
        case ASL_NO_STATE:
            target.ParsingLog("The state " + strState + " is not defined.");
            return;
        case ASL_FOUND:
            break;
    }
    const std::string strLine =
        "SetState " + head.strAgent + " at:" + head.strTime + " to:" + strState;
    if (!strCell.empty()) {
        // An automaton's state names the texture of its cell.
        target.pAnimations->QueueEvent(
            CAnimEvent::MakeCellState(head.strAgent, head.Time(), StringToInt(strCell), look.mesh));
        target.ParsingLog(strLine);
    } else {
        target.pAnimations->QueueEvent(CAnimEvent::MakeMove(
            head.strAgent, head.Time(), look.position, look.rotation, look.mesh, look.scale));
        target.ParsingLog(" " + strLine);
    }
}

void OnEyeAnimTo(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target) {
    const CRecordHead head(doc, record);
    const std::string strSpeed = Attribute(doc, record, "vel");
    std::string strMesh;
    std::string strScale;
    if (const CXMLNode mesh = doc.FindChild(record, "mesh")) {
        strScale = Attribute(doc, mesh, "scale");
        if (strScale.empty()) {
            strScale = "1";
        }
        doc.GetText(mesh, strMesh);
    }
    const CXMLNode pos = doc.FindChild(record, "pos");
    const CAxes position = ReadAxes(doc, pos);
    const std::string strCell = pos ? Attribute(doc, pos, "cell") : std::string();
    CAnimations& animations = *target.pAnimations;
    if (!strCell.empty() && !head.strTime.empty()) {
        animations.QueueEvent(
            CAnimEvent::MakeCellState(head.strAgent, head.Time(), StringToInt(strCell), strMesh));
        target.ParsingLog("AnimTo cell:" + strCell + " at " + head.strTime + " to " + strMesh);
        return;
    }
    const CAxes rotation = ReadAxes(doc, doc.FindChild(record, "rot"));
    const double dScale = StringToDouble(strScale);
    if (!head.strTime.empty()) {
        auto pMove = CAnimEvent::MakeMove(head.strAgent, head.Time(), position.ToVector(),
                                          rotation.ToVector(), strMesh, dScale);
        animations.LoadMesh(strMesh);
        animations.AddAgent(head.strAgent, strMesh);
        animations.QueueEvent(std::move(pMove));
        target.ParsingLog("AnimTo " + head.strAgent + " at " + head.strTime + " to [(" + strMesh +
                          ") p:(" + position.x + "," + position.y + ", " + position.z + ") r:(" +
                          rotation.x + "," + rotation.y + "," + rotation.z + ") sc.:" + strScale +
                          "]");
    } else if (!strSpeed.empty()) {
        animations.AnimToAtSpeed(head.strAgent, StringToDouble(strSpeed), position.ToVector(),
                                 rotation.ToVector(), strMesh, dScale);
    }
}

void OnEyeRemoveAt(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target) {
    const CRecordHead head(doc, record);
    target.pAnimations->QueueEvent(CAnimEvent::MakeRemove(head.strAgent, head.Time()));
    target.ParsingLog("RemoveAt " + head.strAgent + " at:" + head.strTime);
}

void OnEyeStopAt(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target) {
    const CRecordHead head(doc, record);
    target.pAnimations->StopAt(head.strAgent, head.Time());
    target.ParsingLog("StopAt " + head.strAgent + " at:" + head.strTime);
}

void OnEyeResumeAt(const CXMLParser& doc, CXMLNode record, const CEyeTarget& target) {
    const CRecordHead head(doc, record);
    target.pAnimations->ResumeAt(head.strAgent, head.Time());
    target.ParsingLog("ResumeAt " + head.strAgent + " at:" + head.strTime);
}

bool HandleEyeRecord(const CXMLParser& doc, CXMLNode node, const CEyeTarget& target) {
    const std::string strName = node.GetNodeName();
    for (const CEyeRecordKind& kind : kEyeRecords) {
        if (EqualsNoCase(strName, kind.strName)) {
            kind.fnHandle(doc, node, target);
            return true;
        }
    }
    return false;
}
