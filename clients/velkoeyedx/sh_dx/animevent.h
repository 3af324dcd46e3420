#pragma once

// One thing an agent does at a replay time: take a pose (a move, a state, or
// the texture of a terrain cell), disappear, or report a variable's value.
// Every animation record read from a trace or the live link becomes one.

#include <memory>
#include <string>

#include "clients/velkoeyedx/sh_dx/dxmath.h"

// Values of CAnimEvent::kind.
enum AnimEventKind { AEK_POSE = 0, AEK_REMOVE = 1, AEK_REPORT = 2 };

struct CAnimEvent {
    std::string agent;
    int kind = AEK_POSE;
    double time = -1.0;
    CVector3 position;
    // Euler angles about x, y and z, in radians.
    CVector3 rotation;
    double scale = 1.0;
    // A pose: the mesh file, empty to keep the agent's mesh. A cell event:
    // the cell's texture file.
    std::string mesh;
    std::string varname;
    std::string vartype;
    std::string varvalue;
    // The terrain cell of a cell event or a report; -1 for none.
    int cell = -1;

    // A pose that places the agent (kind pose, no cell).
    bool IsPlacement() const { return kind == AEK_POSE && cell == -1; }

    static std::unique_ptr<CAnimEvent> MakeMove(std::string agent, double time, CVector3 position,
                                                CVector3 rotation, std::string mesh, double scale);
    static std::unique_ptr<CAnimEvent> MakeCellState(std::string agent, double time, int cell,
                                                     std::string texture);
    static std::unique_ptr<CAnimEvent> MakeRemove(std::string agent, double time);
    static std::unique_ptr<CAnimEvent> MakeReport(std::string agent, double time,
                                                  std::string varname, std::string vartype,
                                                  std::string varvalue, int cell);
};
