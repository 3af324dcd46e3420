#include <gtest/gtest.h>

#include <memory>
#include <pugixml.hpp>
#include <string>

#include "optest_model.h"

namespace {

using optest::CChain;
using sdltest::CTestModel;

// One input per state is all the writers look at: the state map's names.
void AddStates(CSDLProcess* pProcess, std::initializer_list<const char*> states) {
    int nId = 1;
    for (const char* pszState : states) {
        CChain(pProcess, pszState).Input(nId++, "*");
    }
}

bool Parses(const std::string& strXml) {
    pugi::xml_document document;
    return document.load_string(strXml.c_str());
}

// sys (1) holds block B with process P (a represented and an unrepresented
// state), automaton M whose grid comes from its main raster layer, automaton
// N with six cells and no layer, and the process R directly under the root.
class SelfDescriptionTest : public ::testing::Test {
protected:
    void SetUp() override {
        CSDLBlock* b = m_model.AddBlock(nullptr, "B", 2);
        m_p = m_model.AddProcess(b, "P", 3);
        AddStates(m_p, {"idle", "busy"});
        m_p->m_mapRepresentations["idle"] =
            std::make_unique<C3DRepresentation>("idle", "car.obj", 1, 2, 0, 0, 90, 0, 2);

        m_pGrid = m_model.AddMnca(nullptr, "M", 4, 0);
        m_pGrid->AddLayer("layer_main",
                          std::string(VELKO_TEST_DATA_DIR) + "/operations/grid3x2.img");
        CSDLBlock* c = m_model.AddBlock(m_pGrid, "C", 5);
        m_pCell = m_model.AddProcess(c, "Cell", 6);
        AddStates(m_pCell, {"dead", "alive"});
        // Inside an automaton every state is the default picture.
        m_pCell->m_mapRepresentations["alive"] =
            std::make_unique<C3DRepresentation>("alive", "cell.obj", 0, 0, 0, 0, 0, 0, 3);

        CSDLmnca* n = m_model.AddMnca(nullptr, "N", 7, 6);
        CSDLBlock* d = m_model.AddBlock(n, "D", 8);
        AddStates(m_model.AddProcess(d, "Dot", 9), {"on"});

        m_r = m_model.AddProcess(nullptr, "R", 10);
        AddStates(m_r, {"a'b&c"});

        m_model.Engine().m_mapProcesses["B_P"] = m_p;
        m_model.Engine().m_mapProcesses["M_C_Cell"] = m_pCell;
        m_model.Engine().m_mapProcesses["R"] = m_r;
    }

    CTestModel m_model{"sys", 1};
    CSDLProcess* m_p = nullptr;
    CSDLmnca* m_pGrid = nullptr;
    CSDLProcess* m_pCell = nullptr;
    CSDLProcess* m_r = nullptr;
};

const char* const kAgentsOfB =
    "\t\t\t<Agent name='B_P'>\n"
    "\t\t\t\t<state name='busy'>\n"
    " \t\t\t\t\t<mesh scale='1'>default.obj</mesh>\n"
    " \t\t\t\t\t<pos x='0' y='0' z='0' />\n"
    " \t\t\t\t\t<rot x='0' y='0' z='0' />\n"
    " \t\t\t\t</state>\n"
    " \t\t\t\t<state name='idle'>\n"
    " \t\t\t\t\t<mesh scale='2.000000'>car.obj</mesh>\n"
    " \t\t\t\t\t<pos x='1.000000' y='2.000000' z='0.000000' />\n"
    " \t\t\t\t\t<rot x='0.000000' y='90.000000' z='0.000000' />\n"
    " \t\t\t\t</state>\n"
    "\t\t\t</Agent>\n";

const char* const kAgentsOfAutomata =
    "\t\t\t<Agent name='M_C_Cell' grid='grid3x2.img'>\n"
    "\t\t\t\t<state name='alive'><mesh scale='1'>default.png</mesh></state>\n"
    "\t\t\t\t<state name='dead'><mesh scale='1'>default.png</mesh></state>\n"
    "\t\t\t</Agent>\n"
    "\t\t\t<Agent name='N_D_Dot' cells='6'>\n"
    "\t\t\t\t<state name='on'><mesh scale='1'>default.png</mesh></state>\n"
    "\t\t\t</Agent>\n";

const char* const kAgentR =
    "\t\t\t<Agent name='R'>\n"
    "\t\t\t\t<state name='a&apos;b&amp;c'>\n"
    " \t\t\t\t\t<mesh scale='1'>default.obj</mesh>\n"
    " \t\t\t\t\t<pos x='0' y='0' z='0' />\n"
    " \t\t\t\t\t<rot x='0' y='0' z='0' />\n"
    " \t\t\t\t</state>\n"
    "\t\t\t</Agent>\n";

TEST_F(SelfDescriptionTest, ModelInfoIsTheGoldenText) {
    ASSERT_NE(m_pGrid->GetMainLayer(), nullptr);
    EXPECT_EQ(m_pGrid->GetNumCells(), 6);
    const std::string strExpected = std::string("\t<ModelInfo>\n\t\t<ModelName>sys</ModelName>\n") +
                                    "\t\t<Agents>\n" + kAgentsOfB + kAgentsOfAutomata + kAgentR +
                                    "\t\t</Agents>\n\t</ModelInfo>\n";
    EXPECT_EQ(m_model.Root()->GetModelInfoXml(), strExpected);
    // Whatever agent is asked, the whole model is described.
    EXPECT_EQ(m_pCell->GetModelInfoXml(), strExpected);
    EXPECT_TRUE(Parses(strExpected));
}

TEST_F(SelfDescriptionTest, AgentsOfASubtreeOnly) {
    EXPECT_EQ(m_model.Root()->GetBlock("B")->GetAgentsXml(), kAgentsOfB);
    EXPECT_EQ(m_pGrid->GetAgentsXml(),
              "\t\t\t<Agent name='M_C_Cell' grid='grid3x2.img'>\n"
              "\t\t\t\t<state name='alive'><mesh scale='1'>default.png"
              "</mesh></state>\n"
              "\t\t\t\t<state name='dead'><mesh scale='1'>default.png"
              "</mesh></state>\n"
              "\t\t\t</Agent>\n");
    CTestModel empty("nothing", 1);
    empty.AddBlock(nullptr, "B", 2);
    EXPECT_EQ(empty.Root()->GetModelInfoXml(),
              "\t<ModelInfo>\n\t\t<ModelName>nothing</ModelName>\n\t\t<Agents>\n\t\t</Agents>\n"
              "\t</ModelInfo>\n");
}

TEST_F(SelfDescriptionTest, ParametrizationIsTheGoldenText) {
    m_model.DeclareVariable(m_p, "n", "int", " 5 ");
    m_model.DeclareVariable(m_p, "blank", "double", "   ");
    m_model.DeclareVariable(m_p, "s", "char*", "say \"hi\" & 'bye' <x>");
    m_model.DeclareVariable(m_p, "t", "char*", "");
    m_model.DeclareVariable(m_r, "z", "int", "0");
    auto pGo = sdltest::MakeEvent("go", 2.5);
    pGo->m_mapUserParams["speed"] = std::make_unique<CSDLParameter>("int", "speed", "3", "no");
    pGo->m_mapUserParams["label"] = std::make_unique<CSDLParameter>("char*", "label", "a'b", "no");
    m_p->m_listInitialEvents.push_back(std::move(pGo));
    m_p->m_listInitialEvents.push_back(sdltest::MakeEvent("stop", 10.0));
    m_p->m_listInitialEvents.push_back(sdltest::MakeEvent("soon", 1e-7));

    const std::string strExpected =
        "<Parametrization>\n\t<DCLS>\n"
        "\t\t<DCL agent=\"B_P\" name=\"n\" type=\"int\" value=\"5\" />\n"
        "\t\t<DCL agent=\"B_P\" name=\"s\" type=\"char*\" value=\"say &quot;hi&quot; &amp; "
        "'bye' &lt;x>\" />\n"
        "\t\t<DCL agent=\"B_P\" name=\"t\" type=\"char*\" value=\"\" />\n"
        "\t\t<DCL agent=\"R\" name=\"z\" type=\"int\" value=\"0\" />\n"
        "\t</DCLS>\n\t<ExternalEvents>\n"
        "\t\t<ExternalEvent agent='B_P' type='go' xTime='2.500000'>\n"
        "\t\t\t<param name='label' type='char*' value='a&apos;b' />\n"
        "\t\t\t<param name='speed' type='int' value='3' />\n"
        "\t\t</ExternalEvent>\n"
        "\t\t<ExternalEvent agent='B_P' type='stop' xTime='10.000000'>\n"
        "\t\t</ExternalEvent>\n"
        "\t\t<ExternalEvent agent='B_P' type='soon' xTime='1e-07'>\n"
        "\t\t</ExternalEvent>\n"
        "\t</ExternalEvents>\n</Parametrization>";
    EXPECT_EQ(m_r->GetParametrizationXml(), strExpected);
    EXPECT_TRUE(Parses(strExpected));
    // Writing changes no value.
    EXPECT_EQ(m_p->GetVariable("n")->m_strValue, " 5 ");
    EXPECT_EQ(m_p->GetVariable("blank")->m_strSourceText, "   ");
    EXPECT_EQ(m_model.Root()->GetParametrizationXml(), strExpected);
}

TEST_F(SelfDescriptionTest, ParametrizationWithoutExternalEvents) {
    m_model.DeclareVariable(m_r, "z", "double", "1.5");
    EXPECT_EQ(m_model.Root()->GetParametrizationXml(),
              "<Parametrization>\n\t<DCLS>\n"
              "\t\t<DCL agent=\"R\" name=\"z\" type=\"double\" value=\"1.5\" />\n"
              "\t</DCLS>\n\t<ExternalEvents>\n\t</ExternalEvents>\n</Parametrization>");
}

}  // namespace
