// Replaying a trace: the engine's own trace of a model of ours, its side
// file, the records' forms and log lines, and loads that fail.

#include "clients/velkoeyedx/sh_dx/tracereader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sh_dx/scenefolder.h"
#include "support/filebytes.h"

namespace {

using testing::ElementsAre;
using velkotest::CReaderScene;
using velkotest::CYardModel;
using velkotest::DrawOf;
using velkotest::Origin;

class TraceReaderTest : public velkotest::ViewerTest {
protected:
    CTraceReader::LoadResult Load(const std::string& strPath) {
        return m_reader.LoadFromTrace([strPath] { return strPath; });
    }
    // Loads a trace whose Events hold strRecords, with the model info of
    // strAgents; the records are fed when it returns.
    void LoadRecords(const std::string& strAgents, const std::string& strRecords) {
        const std::string strPath =
            m_files.Write("t/records.trace", "<Trace><ModelInfo><Agents>" + strAgents +
                                                 "</Agents></ModelInfo>\n<Events>\n" + strRecords +
                                                 "\n</Events>\n</Trace>");
        ASSERT_EQ(Load(strPath), CTraceReader::TLR_LOADED);
        ASSERT_TRUE(m_view.WaitForFeed());
    }

    CReaderScene m_view{m_files.Resolver()};
    CTraceReader m_reader{m_view.scene, m_view.Target()};
};

TEST_F(TraceReaderTest, EngineTraceReplaysWithItsSideFile) {
    CYardModel yard;
    ASSERT_TRUE(yard.IsBuilt());
    yard.StartRun(false);
    ASSERT_TRUE(yard.RunToEnd());

    // A byte-order mark, a comment among the records, the root in capitals,
    // its closing line indented, and text after it that is never read.
    std::string strTrace = velkotest::ReadFileBytes(yard.TracePath());
    const size_t nRoot = strTrace.find("<Trace>\r\n");
    ASSERT_NE(nRoot, std::string::npos);
    strTrace.replace(nRoot, 7, "<TRACE>");
    const size_t nEvents = strTrace.find("\t<Events>\r\n");
    ASSERT_NE(nEvents, std::string::npos);
    strTrace.insert(nEvents + 11, "<!-- checked by hand -->\r\n");
    ASSERT_TRUE(strTrace.ends_with("\r\n</Trace>"));
    strTrace.resize(strTrace.size() - 8);
    const std::string strPath =
        m_files.Write("run/yard.trace", "\xEF\xBB\xBF" + strTrace + "\t </TRACE>\r\n<unclosed");
    // The side file's description wins over the trace's: the truck is a
    // lorry. It has a title before its first tag, names the model in
    // Windows-1252, indents a mesh name on a line of its own, and its plain
    // agent comes after the terrain agent.
    m_files.Write("run/modelinfo.txt",
                  "yard, as seen from the gate\r\n"
                  "<?xml version='1.0' encoding='utf-8'?>\r\n<ModelInfo>\r\n"
                  "<ModelName>Hof M\xFCller</ModelName>\r\n<Agents>\r\n"
                  "<Agent name='field_grass' cells='16'>\r\n"
                  "<state name='growing'><mesh scale='1'>default.png</mesh></state>\r\n"
                  "</Agent>\r\n<Agent name='depot_truck'>\r\n"
                  "<state name='parked'><mesh scale='1'>lorry.obj</mesh></state>\r\n"
                  "<state name='loading'><mesh scale='1'>lorry.obj</mesh>"
                  "<pos x='0' y='0' z='4' /></state>\r\n"
                  "<state name='driving'><mesh scale='1'>lorry.obj</mesh>"
                  "<pos x='8' y='0' z='4' /></state>\r\n"
                  "<state name='done'><mesh scale='0.5'>\r\n\t\tlorry.obj\r\n</mesh>"
                  "<pos x='8' y='0' z='8' /><rot x='0' y='1.5' z='0' /></state>\r\n"
                  "</Agent>\r\n</Agents>\r\n</ModelInfo>\r\n<unclosed");

    ASSERT_EQ(Load(strPath), CTraceReader::TLR_LOADED);
    ASSERT_TRUE(m_view.WaitForFeed());
    EXPECT_THAT(m_view.pSyslog->Lines(),
                ElementsAre("Loading trace file ...", "ModelInfo loaded from: " + strPath,
                            "Trace " + strPath + " Loaded successfuly"));
    // Every record once, in the trace's order; the execution records (one
    // of them holding a copy of a report) and the comment are skipped.
    EXPECT_THAT(
        m_view.pParsingLog->Lines(),
        ElementsAre(
            "ModelName: Hof M\xC3\xBCller",
            " New Terrain Agent: field_grass(default grid #cells=16)",
            "The mesh lorry.obj cannot be found: a box stands for it.",
            "AnimTo 3.000000 at 1.000000 to [(crate.obj) p:(0,0, 0) r:(0.0,0.0,0.0) sc.:1]",
            "AnimTo 3.000000 at 5.000000 to [(crate.obj) p:(10,0, 0) r:(0.0,0.0,0.0) sc.:1]",
            "AnimTo 4.000000 at 0.000000 to [(crate.obj) p:(-5,0, 0) r:(0.0,0.0,0.0) sc.:1]",
            " SetState depot_truck at:0.000000 to:parked",
            "Report field_grass at:0.000000 double height=0.500000",
            "AnimTo cell:5 at 2.000000 to tree.png", "SetState field_grass at:0.000000 to:growing",
            "Report depot_truck at:2.000000 double speed=1.500000", "StopAt 3.000000 at:2.000000",
            " SetState depot_truck at:2.000000 to:loading", "ResumeAt 3.000000 at:3.000000",
            "AnimTo 4.000000 at 5.000000 to [(crate.obj) p:(-5,5, 0) r:(0.0,0.0,0.0) sc.:1]",
            " SetState depot_truck at:3.000000 to:driving", "RemoveAt 3.000000 at:7.000000",
            "Report depot_truck at:7.000000 double speed=3.000000",
            " SetState depot_truck at:7.000000 to:done"));
    EXPECT_EQ(m_view.terrain.GetNumCells(), 16);

    // At 2.5 crate 3 stands where the stop at 2 cut its move, the pallet and
    // the truck glide, and the automaton's cells have their textures.
    CDrawList vecDraws = m_view.DrawsAt(2.5);
    auto crate = DrawOf(vecDraws, "3.000000");
    auto pallet = DrawOf(vecDraws, "4.000000");
    auto truck = DrawOf(vecDraws, "depot_truck");
    ASSERT_TRUE(crate && pallet && truck);
    EXPECT_NEAR(Origin(*crate).x, 2.5f, 1e-4f);
    EXPECT_NEAR(Origin(*pallet).y, 2.5f, 1e-4f);
    EXPECT_NEAR(Origin(*truck).x, 4.0f, 1e-4f);
    EXPECT_EQ(truck->strMesh, "lorry.obj");
    EXPECT_EQ(m_view.terrain.GetCellTexture(0), "default.png");
    EXPECT_EQ(m_view.terrain.GetCellTexture(5), "tree.png");
    // Resumed at 3, the crate covers the rest of its way in the 3 time units
    // the stop left.
    crate = DrawOf(m_view.DrawsAt(4.5), "3.000000");
    ASSERT_TRUE(crate);
    EXPECT_NEAR(Origin(*crate).x, 6.25f, 1e-4f);
    // Removed at 7; the truck rests in its last state's look.
    vecDraws = m_view.DrawsAt(8.0);
    EXPECT_FALSE(DrawOf(vecDraws, "3.000000"));
    truck = DrawOf(vecDraws, "depot_truck");
    ASSERT_TRUE(truck);
    EXPECT_EQ(truck->mWorld, CAnimations::WorldMatrix({8, 0, 8}, {0, 1.5f, 0}, 0.5));
    EXPECT_EQ(truck->strMesh, "lorry.obj");
    EXPECT_THAT(m_view.scene.GetAnimations().GetReports("depot_truck"),
                ElementsAre(CAgent::report{-1, "speed", "double", "3.000000"}));
    EXPECT_TRUE(BoxTexts().empty());
}

// The engine's trace of texts with control characters (the golden one, which
// the engine's tests hold it to) is read with each text as it was: the
// animation record's mesh name holds a form feed.
TEST_F(TraceReaderTest, ControlCharactersInTheEnginesTraceComeBackAsTheyWere) {
    const std::string strPath = m_files.Write(
        "golden/controls.trace",
        velkotest::ReadFileBytes(std::string(VELKO_TEST_DATA_DIR) + "/golden/controls.trace"));
    ASSERT_EQ(Load(strPath), CTraceReader::TLR_LOADED);
    ASSERT_TRUE(m_view.WaitForFeed());
    EXPECT_THAT(m_view.pParsingLog->Lines(),
                ElementsAre("ModelName: controls",
                            "The mesh default.obj cannot be found: a box stands for it.",
                            " SetState desk_ear at:0.000000 to:idle",
                            "AnimTo 7 at 1.000000 to [(crate\x0C.obj) p:(2,3, 0) "
                            "r:(0.0,0.0,0.0) sc.:1]",
                            " SetState desk_teller at:0.000000 to:idle"));
}

TEST_F(TraceReaderTest, RecordFormsAndTheirLines) {
    LoadRecords(
        "<Agent name='truck'><state name='idle'><mesh scale='2'>van.obj</mesh>"
        "<pos x='1' y='2' z='3' /></state></Agent>"
        "<Agent name='field' cells='9'><state name='wet'><mesh scale='1'>mud.png</mesh>"
        "</state></Agent>",
        // Any case for element names, exact case for attributes.
        "<eye_setstate xTime='1' agent='truck' state='idle' />"
        "<EYE_SetState xTime='1' agent='truck' state='busy' />"
        "<EYE_SetState xTime='1' agent='van' state='idle' />"
        "<EYE_SetState xTime='1' agent='field' state='wet' cell='4' />"
        "<EYE_REPORT xTime='1' agent='truck' varname='load' vartype='char*' varvalue='50%d' />"
        // A cell with a time paints; a cell without one is a move at a
        // speed, or nothing; a mesh without a scale has scale 1.
        "<EYE_AnimTo xTime='2' agent='field'><mesh>dry.png</mesh><pos cell='7' /></EYE_AnimTo>"
        "<EYE_AnimTo agent='truck' vel='2'><pos x='5' y='2' z='3' cell='8' /></EYE_AnimTo>"
        "<EYE_AnimTo agent='truck'><pos cell='8' /></EYE_AnimTo>"
        "<EYE_AnimTo XTIME='9' agent='ghost' />"
        "<EYE_AnimTo xTime='3' agent='box'><Mesh>box.obj</Mesh><POS x='4' /></EYE_AnimTo>");
    EXPECT_THAT(m_view.pParsingLog->Lines(),
                ElementsAre("The mesh van.obj cannot be found: a box stands for it.",
                            " New Terrain Agent: field(default grid #cells=9)",
                            " SetState truck at:1 to:idle", "The state busy is not defined.",
                            "The Agent van is not defined.", "SetState field at:1 to:wet",
                            "Report truck at:1 char* load=50%d", "AnimTo cell:7 at 2 to dry.png",
                            "AnimTo box at 3 to [(box.obj) p:(4,, ) r:(0.0,0.0,0.0) sc.:1]"));

    CDrawList vecDraws = m_view.DrawsAt(1.0);
    auto truck = DrawOf(vecDraws, "truck");
    ASSERT_TRUE(truck);
    EXPECT_EQ(truck->mWorld, CAnimations::WorldMatrix({1, 2, 3}, {}, 2.0));
    EXPECT_EQ(m_view.terrain.GetCellTexture(4), "mud.png");
    EXPECT_THAT(m_view.scene.GetAnimations().GetReports("truck"),
                ElementsAre(CAgent::report{-1, "load", "char*", "50%d"}));
    // The truck leaves (1, 2, 3) at 1 at speed 2 for x 5: it arrives at 3.
    vecDraws = m_view.DrawsAt(3.0);
    truck = DrawOf(vecDraws, "truck");
    auto box = DrawOf(vecDraws, "box");
    ASSERT_TRUE(truck && box);
    EXPECT_EQ(truck->mWorld, CAnimations::WorldMatrix({5, 2, 3}, {}, 0.0));
    EXPECT_EQ(box->mWorld, CAnimations::WorldMatrix({4, 0, 0}, {}, 1.0));
    EXPECT_EQ(m_view.terrain.GetCellTexture(7), "dry.png");
    EXPECT_EQ(m_view.terrain.GetCellTexture(8), "");
    EXPECT_FALSE(DrawOf(vecDraws, "ghost"));
}

// A grid is taken from "res/meshes/" first, then from beside the trace: its
// folder, a "data/" folder in it, and the "data/" folder beside it (where a
// model keeps its layers, next to the engine's "traces/").
TEST_F(TraceReaderTest, GridsAreFoundUnderTheResourcesOrBesideTheTrace) {
    m_files.WriteRaster("res/meshes/shared", 2, 2, {1, 2, 3, 4});
    m_files.WriteRaster("m/traces/shared", 5, 1, {1, 2, 3, 4, 5});
    m_files.WriteRaster("m/data/field", 3, 2, {1, 2, 3, 4, 5, 6});
    int nGridsLoaded = 0;
    CEyeTarget target = m_view.Target();
    target.fnGridLoaded = [&] { ++nGridsLoaded; };
    CTraceReader reader(m_view.scene, target);
    auto load = [&](const std::string& strGrid) {
        const std::string strPath = m_files.Write(
            "m/traces/run.trace", "<Trace><ModelInfo><Agents><Agent name='land' grid='" + strGrid +
                                      "'/></Agents></ModelInfo><Events/></Trace>");
        return reader.LoadFromTrace([strPath] { return strPath; });
    };
    ASSERT_EQ(load("shared.img"), CTraceReader::TLR_LOADED);
    EXPECT_EQ(m_view.terrain.GetNumCells(), 4);
    ASSERT_EQ(load("field.img"), CTraceReader::TLR_LOADED);
    EXPECT_EQ(m_view.terrain.GetCols(), 3);
    EXPECT_EQ(m_view.terrain.GetRows(), 2);
    EXPECT_THAT(m_view.pParsingLog->Lines(),
                ElementsAre(" New Terrain Agent: land [grid: (field.img)"));
    EXPECT_EQ(nGridsLoaded, 2);
    EXPECT_TRUE(BoxTexts().empty());
    // Found nowhere: the terrain says where it looked first.
    ASSERT_EQ(load("none.img"), CTraceReader::TLR_LOADED);
    EXPECT_THAT(BoxTexts(),
                ElementsAre("Couldn't find terrain file in 'res/meshes/none.img' folder."));
    EXPECT_FALSE(m_view.terrain.IsLoaded());
    EXPECT_EQ(nGridsLoaded, 2);
}

// A mesh of a representation that cannot be found is drawn as the box: the
// Parsing Log says so, once per mesh. The sample model's representation
// names only meshes that the viewer ships.
TEST_F(TraceReaderTest, AMeshThatCannotBeFoundIsLoggedOnce) {
    m_files.Write("res/meshes/found.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    const std::string strPath = m_files.Write(
        "t/meshes.trace",
        "<Trace><ModelInfo><Agents>"
        "<Agent name='a'><state name='s'><mesh scale='1'>found.obj</mesh></state>"
        "<state name='t'><mesh scale='1'>gone.obj</mesh></state></Agent>"
        "<Agent name='b'><state name='s'><mesh scale='1'>gone.obj</mesh></state></Agent>"
        "<Agent name='land' cells='4'><state name='dry'><mesh scale='1'>dry.png</mesh></state>"
        "</Agent></Agents></ModelInfo><Events/></Trace>");
    ASSERT_EQ(Load(strPath), CTraceReader::TLR_LOADED);
    EXPECT_THAT(m_view.pParsingLog->Lines(),
                ElementsAre("The mesh gone.obj cannot be found: a box stands for it.",
                            " New Terrain Agent: land(default grid #cells=4)"));

    CReaderScene viewer(CResourceResolver(std::string(VELKO_SOURCE_DIR) + "/clients/velkoeyedx/"));
    CTraceReader reader(viewer.scene, viewer.Target());
    const std::string strSample = m_files.Write(
        "sample/run.trace",
        "<Trace>" +
            velkotest::ReadFileBytes(std::string(VELKO_SOURCE_DIR) +
                                     "/examples/pingpong/pingpong.eye")
                .substr(std::string("<?xml version='1.0' encoding='utf-8'?>").size()) +
            "<Events/></Trace>");
    ASSERT_EQ(reader.LoadFromTrace([strSample] { return strSample; }), CTraceReader::TLR_LOADED);
    EXPECT_THAT(viewer.pParsingLog->Lines(), ElementsAre("ModelName: pingpong"));
}

TEST_F(TraceReaderTest, BrokenTracesFailWithTheirLine) {
    const std::string strGood =
        "<Trace><ModelInfo><ModelName>m</ModelName></ModelInfo><Events/></Trace>";
    struct CCase {
        std::string strTrace;
        std::string strSide;  // "": no side file
        std::string strLine;
    };
    const std::vector<CCase> vecCases = {
        {"<Trace><Events>", "",
         "Trace Error: XML parse error at offset 14: Start-end tags mismatch"},
        {"<Run></Run>", "", "Trace Error: No <Trace> tag found."},
        {"<Trace><Events/></Trace>", "", "Trace Error: No <ModelInfo> tag found."},
        {strGood, "<Info/>", "Trace Error: In modelinfo.txt file, No <ModelInfo> tag found."},
        {"<Trace><ModelInfo/></Trace>", "", "Trace Error: No <Events> tag found."},
    };
    for (const CCase& item : vecCases) {
        SCOPED_TRACE(item.strTrace + " / " + item.strSide);
        velkotest::CSceneFolder folder;
        const std::string strPath = folder.Write("x.trace", item.strTrace);
        if (!item.strSide.empty()) {
            folder.Write("ModelInfo.txt", item.strSide);
        }
        EXPECT_EQ(Load(strPath), CTraceReader::TLR_FAILED);
        EXPECT_THAT(m_view.pParsingLog->Lines(), ElementsAre(item.strLine));
        EXPECT_EQ(m_view.pSyslog->Lines().back(), "Error loading trace");
        EXPECT_FALSE(m_view.scene.IsFeeding());
    }
    // A missing file fails too; a cancelled choice reads nothing.
    EXPECT_EQ(Load(m_files.Path("none.trace")), CTraceReader::TLR_FAILED);
    const size_t nSyslog = m_view.pSyslog->Lines().size();
    EXPECT_EQ(Load(""), CTraceReader::TLR_CANCELLED);
    EXPECT_EQ(m_view.pSyslog->Lines().size(), nSyslog);
    EXPECT_TRUE(m_view.pParsingLog->Lines().empty());
}

}  // namespace
