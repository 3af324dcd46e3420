#include "clients/velkoeyedx/sh_dx/agent.h"

#include <utility>

CAgent::CAgent(std::string strName, std::string strMesh)
    : name(std::move(strName)), mesh(std::move(strMesh)) {}

void CAgent::AddReport(const std::string& strVarname, const std::string& strVartype,
                       const std::string& strVarvalue, int nCell) {
    for (report& r : reports) {
        if (r.cell == nCell && r.varname == strVarname) {
            r.varvalue = strVarvalue;
            return;
        }
    }
    reports.push_back({nCell, strVarname, strVartype, strVarvalue});
}
