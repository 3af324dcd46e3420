#pragma once

// Helpers shared by the built-in procedures (automaton and viewer ones).
// Argument n of a built-in call is the actual parameter given for the
// formal "PARAM_n": the caller's expression text, a literal or the name of a
// variable.

#include <string>

#include "sh_sdl/sdloperationprocedurecall.h"

class CSDLmnca;

// The actual parameter given for "PARAM_" + nIndex, or null.
const CSDLParameter* FindBuiltInArgument(const CSDLOperationProcedureCall& call, int nIndex);
// The text of argument nIndex read as strType: the value of the variable it
// names, or the literal itself. Empty when the argument is not given.
std::string GetBuiltInArgumentText(CSDLOperationProcedureCall& call, int nIndex,
                                   const std::string& strType);
// Writes strText into the caller's variable named by argument nIndex;
// nothing when the argument is not given.
void AssignBuiltInArgument(CSDLOperationProcedureCall& call, int nIndex, const std::string& strText,
                           const std::string& strType);
// Reports strMessage through the call's process at the model's error level.
void ReportBuiltInError(const CSDLOperationProcedureCall& call, const std::string& strMessage);
// The automaton block of the call's process. Without one the procedure has
// no grid to work on: the error is reported and null returned.
CSDLmnca* RequireMncaBlock(const CSDLOperationProcedureCall& call);
// False, after reporting, when nCell is not one of the nCount cells.
bool CheckBuiltInCell(const CSDLOperationProcedureCall& call, int nCell, int nCount);
// Cell values are single precision: the nearest float, infinite beyond the
// float range (a plain conversion of such a value is undefined).
float NarrowToFloat(double dValue);
// Writes strText into the caller's variable named by every actual parameter.
void AssignToEveryArgument(CSDLOperationProcedureCall& call, const std::string& strText);
// Writes one animation record per agent number of the range that the call's
// first two arguments give (how many, the last one); pszFormat takes the
// owner's clock and the agent number, both as doubles.
void WriteAgentRangeRecords(CSDLOperationProcedureCall& call, const char* pszFormat);
// A cell value as the procedures take and hand it: single precision where
// a float holds it, the value itself beyond the float range (narrowing would
// make it infinite).
double CellPrecision(double dValue);
// A cell value as the procedures hand it back: CellPrecision, "%f". Only
// for finite values: the text of any other would read as a variable name.
std::string FormatCellValue(double dValue);
// Reports, through the call, a cell that holds a value no variable can take.
void ReportNonFiniteCell(const CSDLOperationProcedureCall& call, const std::string& strLayer,
                         int nCell, double dValue);
