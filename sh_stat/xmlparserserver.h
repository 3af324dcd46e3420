#pragma once

// The reader of the control messages a statistics client sends to a server:
//
//   <StatisticMsg>
//     <OPERACION ID='Start'>            Start, Pause or Stop, in any case
//       <MAQUINAID ID='...'/>           the client's machine
//       <USUARIOID ID='...'/>           its user
//       <PASSWORD PASS='...'/>          and password
//     </OPERACION>
//   </StatisticMsg>
//
// Element names match as the XML wrapper matches them, ignoring case, so the
// viewer's start message (Operacion, MaquinaID, ...) reads as well.

#include <string>

#include "sh_aux/xmlparser.h"
#include "sh_stat/diccionarioatrib.h"

// The operation a control message asks for.
enum ControlOperation {
    CTL_START = 0,
    CTL_PAUSE = 1,
    CTL_STOP = 2,
    CTL_UNKNOWN = 3,  // any other operation text
};

class CXMLParserServer : public CXMLParser {
public:
    // LoadXML (inherited) loads the message; a text that does not parse
    // raises CXMLParseException.

    // True when the message's StatisticMsg holds an OPERACION. A document
    // without StatisticMsg is no message at all: CCustomException.
    bool IsControlMessage();
    // Reads the loaded control message: the machine, user and password into
    // the out texts (a missing attribute leaves its text as it was and is
    // logged), and the operation as a ControlOperation code. Raises
    // CCustomException when the document is not a control message or one of
    // the three elements is missing; the out texts then mean nothing.
    int ParseControl(std::string& strMachine, std::string& strUser, std::string& strPassword);

    // A dictionary of attribute values kept beside the parser for its owner;
    // the parser itself does not use it.
    CDiccionarioAtrib& GetDictionary() { return m_dictionary; }

private:
    // The OPERACION of the message; null when StatisticMsg holds none.
    CXMLNode FindOperation();

    CDiccionarioAtrib m_dictionary;
};
