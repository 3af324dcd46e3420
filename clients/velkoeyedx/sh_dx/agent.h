#pragma once

// An agent of the scene: what it is drawn with, whether it shows, its looks
// per state and the variable values it reported.
//
// Agents live inside the animation model (CAnimations), which guards them
// with its lock; other threads see copies (CAnimations::GetReports,
// CAnimations::FindAgentState).

#include <string>
#include <vector>

#include "clients/velkoeyedx/sh_dx/dxmath.h"
#include "sh_aux/namemap.h"

// How an agent looks in one state of the model description.
struct CAgentState {
    std::string mesh;
    CVector3 position;
    // Radians, about x, y and z.
    CVector3 rotation;
    double scale = 1.0;
};

class CAgent {
public:
    struct report {
        int cell = -1;
        std::string varname;
        std::string vartype;
        std::string varvalue;

        bool operator==(const report&) const = default;
    };

    CAgent(std::string strName, std::string strMesh);

    // A report of the same cell and variable takes the new value; any other
    // is appended.
    void AddReport(const std::string& strVarname, const std::string& strVartype,
                   const std::string& strVarvalue, int nCell);
    std::string GetMesh() const { return mesh; }

    std::string name;
    // The mesh file it is drawn with now.
    std::string mesh;
    // Drawn at rest: set by its first pose, cleared by a removal.
    bool visible = false;
    // The time still needed by the move that the last stop cut, and where
    // that move was going.
    double resumeDuration = 0.0;
    CVector3 resumePosition;
    CNameMap<CAgentState> states;
    std::vector<report> reports;
    // Already drawn, between two poses, in the frame being built.
    bool handled = false;
};
