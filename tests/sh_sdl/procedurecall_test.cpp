#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "optest_model.h"
#include "support/fakemodellibrary.h"

namespace {

using optest::AddActual;
using optest::AddFormal;
using optest::CChain;
using sdltest::CTestModel;

// Process P of block B (root sys, ids 1, 2, 3) with an int, a double and a
// text variable, and a procedure proc (id 7) whose formals are named in the
// library after its instance name B_P_7.
class ProcedureCallTest : public ::testing::Test {
protected:
    void SetUp() override {
        CSDLBlock* b = m_model.AddBlock(nullptr, "B", 2);
        m_p = m_model.AddProcess(b, "P", 3);
        m_model.DeclareVariable(m_p, "xi", "int", "2");
        m_model.DeclareVariable(m_p, "xd", "double", "3.9");
        m_model.DeclareVariable(m_p, "xs", "char*", "hey");
        m_pProc = optest::AddProcedure(m_p, "proc", 7);
        CChain chain(m_p, "s");
        m_pCall = chain.Call(5, "proc");
        m_pAfter = chain.SetState(6, "after");
    }

    int& Int(const std::string& strIdent) { return Lib().m_mapInts[strIdent]; }
    double& Double(const std::string& strIdent) { return Lib().m_mapDoubles[strIdent]; }
    std::string& Text(const std::string& strIdent) { return Lib().m_mapStrings[strIdent]; }
    CFakeModelLibrary& Lib() { return m_model.Library(); }
    std::vector<std::string> Boxes() {
        std::vector<std::string> vecTexts;
        for (const auto& box : m_model.Notifier().GetBoxes()) {
            vecTexts.push_back(box.strText);
        }
        return vecTexts;
    }
    // Number of writes the library saw.
    size_t Writes() const {
        size_t n = 0;
        for (const std::string& strCall : m_model.Library().m_vecCalls) {
            n += strCall.rfind("Set", 0) == 0 ? 1 : 0;
        }
        return n;
    }

    CTestModel m_model{"sys", 1};
    CSDLProcess* m_p = nullptr;
    CSDLProcedure* m_pProc = nullptr;
    CSDLOperationProcedureCall* m_pCall = nullptr;
    CSDLOperation* m_pAfter = nullptr;
};

TEST_F(ProcedureCallTest, AssignValueConvertsByTheTable) {
    AddFormal(Lib(), m_pProc, "fi", "int", "no");
    AddFormal(Lib(), m_pProc, "fd", "double", "no");
    AddFormal(Lib(), m_pProc, "fs", "char*", "no", "orig");
    EXPECT_EQ(optest::FormalIdent(m_pProc, "fi"), "fi_B_P_7");

    m_pCall->AssignValue("fi", "xd", "int");
    EXPECT_EQ(Int("fi_B_P_7"), 3);
    m_pCall->AssignValue("fd", "xi", "double");
    EXPECT_EQ(Double("fd_B_P_7"), 2.0);
    m_pCall->AssignValue("fd", "2.5", "double");
    EXPECT_EQ(Double("fd_B_P_7"), 2.5);
    m_pCall->AssignValue("fi", "-7", "int");
    EXPECT_EQ(Int("fi_B_P_7"), -7);
    m_pCall->AssignValue("fs", "'two words'", "char*");
    EXPECT_EQ(Text("fs_B_P_7"), "two words");
    m_pCall->AssignValue("fs", "xs", "char*");
    EXPECT_EQ(Text("fs_B_P_7"), "hey");
    // A process variable is a target too; the value of a formal its source.
    m_pCall->AssignValue("xi", "fd", "int");
    EXPECT_EQ(Int("xi_B_P"), 2);
    EXPECT_TRUE(Boxes().empty());

    const size_t nWrites = Writes();
    m_pCall->AssignValue("fs", "xi", "char*");
    m_pCall->AssignValue("fi", "xs", "int");
    m_pCall->AssignValue("fd", "fs", "double");
    EXPECT_EQ(Boxes(), (std::vector<std::string>{"Error en fer el casting de la variablefs",
                                                 "Error en fer el casting de la variablefi",
                                                 "Error en fer el casting de la variablefd"}));
    EXPECT_EQ(Writes(), nWrites);
    EXPECT_EQ(Text("fs_B_P_7"), "hey");
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(ProcedureCallTest, NamesThatResolveNowhereShowTheirBoxes) {
    AddFormal(Lib(), m_pProc, "fi", "int", "no");
    m_pCall->AssignValue("zz", "1", "int");
    m_pCall->AssignValue("fi", "nothere", "int");
    m_pCall->CopyBackValue("fi", "1", "int");   // a formal is not the caller's variable
    m_pCall->CopyBackValue("xi", "xd", "int");  // a process variable is not a source
    EXPECT_EQ(Boxes(), (std::vector<std::string>{"La variable zz no existeix...",
                                                 "La variable nothere no existeix...",
                                                 "La variable fi no existeix en el Process...",
                                                 "La variable xd no existeix al procedure..."}));
    EXPECT_EQ(Writes(), 0u);
}

TEST_F(ProcedureCallTest, CopyBackValueWritesTheCallersVariable) {
    AddFormal(Lib(), m_pProc, "fd", "double", "yes", "3.9");
    m_pCall->CopyBackValue("xi", "fd", "int");
    EXPECT_EQ(Int("xi_B_P"), 3);
    m_pCall->CopyBackValue("xd", "fd", "double");
    EXPECT_EQ(Double("xd_B_P"), 3.9);
    m_pCall->CopyBackValue("xi", "11", "int");
    EXPECT_EQ(Int("xi_B_P"), 11);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ProcedureCallTest, GetParameterTextReadsOrTakesTheNameAsALiteral) {
    AddFormal(Lib(), m_pProc, "fd", "double", "no", "0.5");
    AddFormal(Lib(), m_pProc, "fs", "char*", "no", "'quoted'");
    EXPECT_EQ(m_pCall->GetParameterText("fd", "double"), "0.500000");
    EXPECT_EQ(m_pCall->GetParameterText("xi", "int"), "2");
    EXPECT_EQ(m_pCall->GetParameterText("fs", "char*"), "quoted");
    EXPECT_EQ(m_pCall->GetParameterText("'lit'", "char*"), "lit");
    EXPECT_EQ(m_pCall->GetParameterText("'lit'", "int"), "'lit'");
    EXPECT_EQ(m_pCall->GetParameterText("unknown", "double"), "unknown");
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(ProcedureCallTest, BindInPassesLiteralsAndConvertsVariables) {
    AddFormal(Lib(), m_pProc, "fi", "int", "no");
    AddFormal(Lib(), m_pProc, "fi2", "int", "no");
    AddFormal(Lib(), m_pProc, "fd", "double", "no");
    AddFormal(Lib(), m_pProc, "fs", "char*", "no");
    AddActual(m_pCall, "fi", "7", "int");
    AddActual(m_pCall, "fi2", "xd", "int");
    AddActual(m_pCall, "fd", "xi", "double");
    AddActual(m_pCall, "fs", "'lit'", "char*");
    // A number with an exponent is a literal too, never a variable's name;
    // a variable is one whatever its name.
    AddFormal(Lib(), m_pProc, "fe", "double", "no");
    AddActual(m_pCall, "fe", "1e3", "double");
    m_model.DeclareVariable(m_p, "_2", "double", "2.5");
    AddFormal(Lib(), m_pProc, "fu", "double", "no");
    AddActual(m_pCall, "fu", "_2", "double");
    // The body sees the bound values.
    CChain body(m_p, "", m_pProc);
    body.Task(1, "look");
    std::vector<std::string> vecSeen;
    Lib().SetTask("1_2_0_7__1", [&](CFakeModelLibrary& lib) {
        vecSeen = {IntToString(lib.m_mapInts["fi_B_P_7"]), IntToString(lib.m_mapInts["fi2_B_P_7"]),
                   DoubleToString(lib.m_mapDoubles["fd_B_P_7"]), lib.m_mapStrings["fs_B_P_7"]};
        return 0;
    });

    EXPECT_EQ(m_pCall->Execute(), m_pAfter);
    EXPECT_EQ(vecSeen, (std::vector<std::string>{"7", "3", "2.000000", "lit"}));
    EXPECT_EQ(Double("fe_B_P_7"), 1000.0);
    EXPECT_EQ(Double("fu_B_P_7"), 2.5);
    // Literals are not taken for names of the caller's variables.
    EXPECT_EQ(m_p->m_strError, "");
    EXPECT_TRUE(Boxes().empty());
    // By-value formals leave the caller's variables alone.
    EXPECT_EQ(Int("xi_B_P"), 2);
    EXPECT_EQ(Double("xd_B_P"), 3.9);
}

TEST_F(ProcedureCallTest, CopyBackOnlyExactYesWithAVariableActual) {
    AddFormal(Lib(), m_pProc, "r", "int", "yes");
    AddFormal(Lib(), m_pProc, "q", "int", "Yes");
    AddFormal(Lib(), m_pProc, "lit", "int", "yes");
    AddFormal(Lib(), m_pProc, "rd", "double", "yes");
    AddFormal(Lib(), m_pProc, "rs", "char*", "yes");
    AddFormal(Lib(), m_pProc, "unbound", "int", "yes");
    AddFormal(Lib(), m_pProc, "ru", "int", "yes");
    m_model.DeclareVariable(m_p, "xi2", "int", "5");
    m_model.DeclareVariable(m_p, "xi3", "int", "6");
    m_model.DeclareVariable(m_p, "__", "int", "1");  // a variable, though it reads as no name
    AddActual(m_pCall, "ru", "__", "int");
    AddActual(m_pCall, "r", "xi", "int");
    AddActual(m_pCall, "q", "xi2", "int");
    AddActual(m_pCall, "lit", "5", "int");
    AddActual(m_pCall, "rd", "xi3", "double");
    AddActual(m_pCall, "rs", "xi", "char*");
    CChain body(m_p, "", m_pProc);
    body.Task(1, "change");
    Lib().SetTask("1_2_0_7__1", [](CFakeModelLibrary& lib) {
        lib.m_mapInts["r_B_P_7"] = 10;
        lib.m_mapInts["q_B_P_7"] = 11;
        lib.m_mapInts["lit_B_P_7"] = 12;
        lib.m_mapDoubles["rd_B_P_7"] = 3.9;
        lib.m_mapInts["ru_B_P_7"] = 13;
        return 0;
    });

    EXPECT_EQ(m_pCall->Execute(), m_pAfter);
    EXPECT_EQ(Int("xi_B_P"), 10);  // "yes": copied back
    EXPECT_EQ(Int("___B_P"), 13);
    EXPECT_EQ(Int("xi2_B_P"), 5);  // "Yes": not
    EXPECT_EQ(Int("xi3_B_P"), 3);  // double 3.9 into an int variable
    // The literal actual is not copied back; the text formal fed by an int
    // cannot take it in and cannot give it back.
    EXPECT_EQ(Boxes(), (std::vector<std::string>{"Error en fer el casting de la variablers",
                                                 "Error en fer el casting de la variablexi"}));
    EXPECT_EQ(m_p->m_strError, "");
}

TEST_F(ProcedureCallTest, TracedCallOfAVariableOfAnotherNumericTypeReportsNothing) {
    m_model.Engine().m_bExecutionTrace = true;
    m_model.Engine().m_bInitialized = true;
    AddFormal(Lib(), m_pProc, "fd", "double", "no");
    AddActual(m_pCall, "fd", "xi", "double");
    EXPECT_EQ(m_pCall->Execute(), m_pAfter);
    EXPECT_EQ(Double("fd_B_P_7"), 2.0);
    // The int variable is shown with its value, as an int or widened.
    const std::string strTrace = m_model.Sink().m_strText;
    const std::string strHead =
        "<procedurecall time=\"0.000000\" process=\"B_P\" name=\"proc\" id=\"5\">";
    EXPECT_TRUE(strTrace == strHead + "<param name=\"fd\" value=\"2\"></param></procedurecall>\n" ||
                strTrace ==
                    strHead + "<param name=\"fd\" value=\"2.000000\"></param></procedurecall>\n")
        << strTrace;
    EXPECT_EQ(m_p->m_strError, "");
    EXPECT_FALSE(m_model.Engine().m_bErrorPending);
}

TEST_F(ProcedureCallTest, ProcedureWithoutBodyBindsAndCopiesBack) {
    AddFormal(Lib(), m_pProc, "r", "int", "yes");
    AddActual(m_pCall, "r", "xi", "int");
    Int("xi_B_P") = 4;
    EXPECT_EQ(m_pCall->Execute(), m_pAfter);
    EXPECT_EQ(Int("r_B_P_7"), 4);
    EXPECT_EQ(Int("xi_B_P"), 4);
    EXPECT_EQ(Writes(), 2u);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ProcedureCallTest, CallOfAnUnknownProcedureDoesNothing) {
    CChain chain(m_p, "t");
    CSDLOperationProcedureCall* pCall = chain.Call(1, "missing");
    CSDLOperation* pNext = chain.SetState(2, "t");
    AddActual(pCall, "a", "xi", "int");
    EXPECT_EQ(pCall->Execute(), pNext);
    EXPECT_EQ(Writes(), 0u);
    EXPECT_TRUE(Boxes().empty());
}

// outer(a by reference) calls inner(b by reference) with its own formal a;
// inner multiplies b by 10, outer adds 1 to a afterwards. The process calls
// outer with its variable v.
class NestedCallTest : public ProcedureCallTest {
protected:
    void SetUp() override {
        ProcedureCallTest::SetUp();
        m_model.DeclareVariable(m_p, "v", "int", "2");
        m_pOuter = optest::AddProcedure(m_p, "outer", 8);
        m_pInner = optest::AddProcedure(m_p, "inner", 9);
        AddFormal(Lib(), m_pOuter, "a", "int", "yes");
        AddFormal(Lib(), m_pInner, "b", "int", "yes");
        CChain outerBody(m_p, "", m_pOuter);
        m_pInnerCall = outerBody.Call(1, "inner");
        AddActual(m_pInnerCall, "b", "a", "int");
        outerBody.Task(2, "inc");
        CChain innerBody(m_p, "", m_pInner);
        innerBody.Task(1, "times10");
        Lib().SetTask("1_2_0_9__1", [](CFakeModelLibrary& lib) {
            lib.m_mapInts["b_B_P_9"] = lib.m_mapInts["b_B_P_9"] * 10;
            return 0;
        });
        Lib().SetTask("1_2_0_8__2", [](CFakeModelLibrary& lib) {
            lib.m_mapInts["a_B_P_8"] = lib.m_mapInts["a_B_P_8"] + 1;
            return 0;
        });
        CChain chain(m_p, "n");
        m_pOuterCall = chain.Call(1, "outer");
        AddActual(m_pOuterCall, "a", "v", "int");
    }

    CSDLProcedure* m_pOuter = nullptr;
    CSDLProcedure* m_pInner = nullptr;
    CSDLOperationProcedureCall* m_pInnerCall = nullptr;
    CSDLOperationProcedureCall* m_pOuterCall = nullptr;
};

TEST_F(NestedCallTest, EnclosingFormalIsPassedInAndCopiedBack) {
    EXPECT_EQ(m_pOuterCall->Execute(), nullptr);
    EXPECT_EQ(Int("b_B_P_9"), 20);
    EXPECT_EQ(Int("a_B_P_8"), 21);
    EXPECT_EQ(Int("v_B_P"), 21);
    EXPECT_EQ(m_p->m_strError, "");
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(NestedCallTest, TracedCallsShowTheValuesAfterTheCopyBack) {
    m_model.Engine().m_bExecutionTrace = true;
    m_model.Engine().m_bInitialized = true;
    AddFormal(Lib(), m_pOuter, "k", "double", "no");
    AddActual(m_pOuterCall, "k", "1.25", "double");
    EXPECT_EQ(m_pOuterCall->Execute(), nullptr);
    EXPECT_EQ(Int("v_B_P"), 21);
    // The inner call's actual is the enclosing procedure's formal: it is
    // shown with its value, and nothing is reported about it.
    EXPECT_EQ(m_model.Sink().m_strText,
              "<procedurecall time=\"0.000000\" process=\"B_P\" name=\"inner\" id=\"1\">"
              "<param name=\"b\" value=\"20\"></param></procedurecall>\n"
              "<procedurecall time=\"0.000000\" process=\"B_P\" name=\"outer\" id=\"1\">"
              "<param name=\"a\" value=\"21\"></param><param name=\"k\" "
              "value=\"1.25\"></param></procedurecall>\n");
    EXPECT_EQ(m_p->m_strError, "");
    EXPECT_FALSE(m_model.Engine().m_bErrorPending);
}

}  // namespace
