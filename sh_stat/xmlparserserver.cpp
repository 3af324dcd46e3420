#include "sh_stat/xmlparserserver.h"

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"

CXMLNode CXMLParserServer::FindOperation() {
    const CXMLNode message = FindChild(nullptr, "StatisticMsg");
    if (!message) {
        DebugOutput(">>>>>>MENSAJE ERRONEO \n");
        CCustomException::ThrowError("MENSAJE ERRONEO");
    }
    return FindChild(message, "OPERACION");
}

bool CXMLParserServer::IsControlMessage() {
    return static_cast<bool>(FindOperation());
}

int CXMLParserServer::ParseControl(std::string& strMachine, std::string& strUser,
                                   std::string& strPassword) {
    const CXMLNode operation = FindOperation();
    if (!operation) {
        DebugOutput(">>>>>>El mensaje no es de inicio de modelo \n");
        CCustomException::ThrowError("El mensaje no es de inicio de modelo");
    }
    std::string strOperation;
    GetAttribute(operation, "ID", strOperation, false);

    GetAttribute(FindChild(operation, "MAQUINAID"), "ID", strMachine, false);
    GetAttribute(FindChild(operation, "USUARIOID"), "ID", strUser, false);
    GetAttribute(FindChild(operation, "PASSWORD"), "PASS", strPassword, false);

    if (EqualsNoCase(strOperation, "Start")) {
        return CTL_START;
    }
    if (EqualsNoCase(strOperation, "Pause")) {
        return CTL_PAUSE;
    }
    if (EqualsNoCase(strOperation, "Stop")) {
        return CTL_STOP;
    }
    return CTL_UNKNOWN;
}
