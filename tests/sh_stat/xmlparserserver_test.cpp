#include "sh_stat/xmlparserserver.h"

#include <gtest/gtest.h>

#include <string>

#include "sh_aux/customexception.h"
#include "support/fakeviewer.h"

namespace {

std::string ControlMessage(const std::string& strOperation) {
    return "<?xml version='1.0' encoding='utf-8'?><StatisticMsg><OPERACION ID='" + strOperation +
           "'><MAQUINAID ID='pc7'/><USUARIOID ID='ana'/><PASSWORD PASS='s3cr'/></OPERACION>"
           "</StatisticMsg>";
}

// The failure's message, and what the parse wrote to the debug output.
struct SFailure {
    std::string strMessage;
    std::string strDebug;
};

template <class F>
SFailure Failure(F fnParse) {
    SFailure failure;
    testing::internal::CaptureStderr();
    try {
        fnParse();
        ADD_FAILURE() << "the parse did not fail";
    } catch (const CCustomException& e) {
        failure.strMessage = e.GetMessageText();
    }
    failure.strDebug = testing::internal::GetCapturedStderr();
    return failure;
}

TEST(XMLParserServer, OperationsInAnyCaseAndTheViewersStartMessage) {
    const struct {
        const char* pszId;
        int nCode;
    } cases[] = {{"Start", CTL_START}, {"pause", CTL_PAUSE},     {"STOP", CTL_STOP},
                 {"sToP", CTL_STOP},   {"Restart", CTL_UNKNOWN}, {"", CTL_UNKNOWN}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszId);
        CXMLParserServer parser;
        parser.LoadXML(ControlMessage(c.pszId));
        EXPECT_TRUE(parser.IsControlMessage());
        std::string strMachine, strUser, strPassword;
        EXPECT_EQ(parser.ParseControl(strMachine, strUser, strPassword), c.nCode);
        EXPECT_EQ(strMachine, "pc7");
        EXPECT_EQ(strUser, "ana");
        EXPECT_EQ(strPassword, "s3cr");
    }

    // The viewer writes the element names in another case, with blanks and
    // a comment around them.
    CXMLParserServer parser;
    parser.LoadXML(velkotest::ViewerStartMessage());
    EXPECT_TRUE(parser.IsControlMessage());
    std::string strMachine, strUser = "kept?", strPassword = "kept?";
    EXPECT_EQ(parser.ParseControl(strMachine, strUser, strPassword), CTL_START);
    EXPECT_EQ(strMachine, "VIEWERPC");
    EXPECT_EQ(strUser, "");
    EXPECT_EQ(strPassword, "");
    EXPECT_EQ(parser.GetErrorLog(), "");
}

TEST(XMLParserServer, MessagesThatAreNoControlMessagesFail) {
    CXMLParserServer parser;
    std::string strMachine, strUser, strPassword;

    // Not a statistics message at all: both operations fail alike.
    parser.LoadXML("<EndReplication />");
    for (const SFailure& failure : {Failure([&] { parser.IsControlMessage(); }), Failure([&] {
                                        parser.ParseControl(strMachine, strUser, strPassword);
                                    })}) {
        EXPECT_EQ(failure.strMessage, "Error: MENSAJE ERRONEO");
        EXPECT_EQ(failure.strDebug, ">>>>>>MENSAJE ERRONEO \n");
    }

    // A statistics message without an operation.
    parser.LoadXML("<StatisticMsg><FinReplica SISTEMA='S'></FinReplica></StatisticMsg>");
    EXPECT_FALSE(parser.IsControlMessage());
    const SFailure failure =
        Failure([&] { parser.ParseControl(strMachine, strUser, strPassword); });
    EXPECT_EQ(failure.strMessage, "Error: El mensaje no es de inicio de modelo");
    EXPECT_EQ(failure.strDebug, ">>>>>>El mensaje no es de inicio de modelo \n");

    // An operation without its password element fails; one whose password
    // lacks its attribute keeps the text given and logs the attribute.
    parser.LoadXML(
        "<StatisticMsg><OPERACION ID='Pause'><MAQUINAID ID='m'/><USUARIOID ID='u'/>"
        "</OPERACION></StatisticMsg>");
    EXPECT_EQ(Failure([&] { parser.ParseControl(strMachine, strUser, strPassword); }).strMessage,
              "Error: Bad XML format, pXMLNodo is NULL");
    parser.LoadXML(
        "<StatisticMsg><OPERACION ID='Pause'><MAQUINAID ID='m'/><USUARIOID ID='u'/>"
        "<PASSWORD/></OPERACION></StatisticMsg>");
    strPassword = "before";
    EXPECT_EQ(parser.ParseControl(strMachine, strUser, strPassword), CTL_PAUSE);
    EXPECT_EQ(strPassword, "before");
    EXPECT_EQ(parser.GetErrorLog(), "Atribute [PASS] not found");

    // Text that is no XML fails in the loading.
    EXPECT_THROW(parser.LoadXML("<StatisticMsg><OPERACION"), CXMLParseException);
}

}  // namespace
