#include "sh_sdl/sdlevent.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <string>

#include "test_helpers.h"

namespace {

// The Hello event: sent to p at 1.5 with delay 2, priority 0, no cells.
CSDLEvent MakeHello() {
    CSDLEvent event;
    event.m_strName = "Hello";
    event.m_strTo = "p";
    event.m_dCreationTime = 1.5;
    event.m_dDelay = 2.0;
    event.m_dExecutionTime = 3.5;
    return event;
}

TEST(EventTest, NewEventHasItsInitialValues) {
    const CSDLEvent event;
    EXPECT_EQ(event.m_nTag, 0);
    EXPECT_EQ(event.m_nPriority, 0);
    EXPECT_EQ(event.m_nCell, -1);
    EXPECT_EQ(event.m_dCreationTime, 0.0);
    EXPECT_EQ(event.m_dExecutionTime, 0.0);
    EXPECT_EQ(event.m_dDelay, 0.0);
    EXPECT_FALSE(event.m_bRemote);
    EXPECT_TRUE(event.m_mapUserParams.empty());
    EXPECT_TRUE(event.m_strRoute.empty());
    EXPECT_TRUE(event.m_strCameThrough.empty());
    // A cell of -1 is not printed: the cells attribute stays empty.
    EXPECT_EQ(event.GetXml(),
              "<params to=\"\" creationtime=\"0.000000\" delay=\"0.000000\" "
              "executiontime=\"0.000000\" priority=\"0\" type=\"\" cells=\"\"></params>");
}

TEST(EventTest, XmlWithoutUserParametersIsTheParamsElementAlone) {
    CSDLEvent event = MakeHello();
    event.m_nPriority = 7;
    event.m_strCells = "1,2";
    EXPECT_EQ(event.GetXml(),
              "<params to=\"p\" creationtime=\"1.500000\" delay=\"2.000000\" "
              "executiontime=\"3.500000\" priority=\"7\" type=\"Hello\" "
              "cells=\"1,2\"></params>");
}

TEST(EventTest, XmlWithUserParameters) {
    CSDLEvent event = MakeHello();
    event.m_mapUserParams["n"] = std::make_unique<CSDLParameter>("int", "n", "4", "no");
    EXPECT_EQ(event.GetXml(),
              "<params to=\"p\" creationtime=\"1.500000\" delay=\"2.000000\" "
              "executiontime=\"3.500000\" priority=\"0\" type=\"Hello\" cells=\"\"></params>"
              "<userparams><userparam name=\"n\" type=\"int\" value=\"4\"></userparam>"
              "</userparams>");

    // Several parameters follow the map's order; a null entry is skipped.
    event.m_mapUserParams["a"] = std::make_unique<CSDLParameter>("double", "a", "0.5", "no");
    event.m_mapUserParams["m"] = nullptr;
    const std::string strXml = event.GetXml();
    EXPECT_NE(strXml.find("<userparams><userparam name=\"a\" type=\"double\" value=\"0.5\">"
                          "</userparam><userparam name=\"n\" type=\"int\" value=\"4\">"
                          "</userparam></userparams>"),
              std::string::npos)
        << strXml;
}

TEST(EventTest, XmlEscapesValuesSoThatItParses) {
    CSDLEvent event = MakeHello();
    event.m_strTo = "a<b>&c";
    event.m_strName = "say\"hi'";
    event.m_mapUserParams["s"] =
        std::make_unique<CSDLParameter>("char*", "s", "x=\"1\" & y<2", "no");
    const std::string strXml = "<e>" + event.GetXml() + "</e>";

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(strXml.c_str())) << strXml;
    const pugi::xml_node params = doc.child("e").child("params");
    EXPECT_STREQ(params.attribute("to").value(), "a<b>&c");
    EXPECT_STREQ(params.attribute("type").value(), "say\"hi'");
    const pugi::xml_node param = doc.child("e").child("userparams").child("userparam");
    EXPECT_STREQ(param.attribute("value").value(), "x=\"1\" & y<2");
}

TEST(EventTest, CopyIsDeepAndItsParametersAreByValue) {
    CSDLEvent source = MakeHello();
    source.m_nTag = 3;
    source.m_nPriority = 2;
    source.m_nCell = 5;
    source.m_strCells = "5";
    source.m_strCodeId = "0_1_0_idle_4";
    source.m_strRoute = "c2 c3";
    source.m_strCameThrough = "c1";
    source.m_bRemote = true;
    source.m_mapUserParams["n"] = std::make_unique<CSDLParameter>("int", "n", "4", "yes");

    const CSDLEvent copy(source);
    EXPECT_EQ(copy.GetXml(), source.GetXml());
    EXPECT_EQ(copy.m_nTag, 3);
    EXPECT_EQ(copy.m_nCell, 5);
    EXPECT_EQ(copy.m_strCodeId, "0_1_0_idle_4");
    EXPECT_EQ(copy.m_strRoute, "c2 c3");
    EXPECT_EQ(copy.m_strCameThrough, "c1");
    EXPECT_TRUE(copy.m_bRemote);

    ASSERT_EQ(copy.m_mapUserParams.size(), 1u);
    CSDLParameter* pCopied = copy.m_mapUserParams.at("n").get();
    ASSERT_NE(pCopied, nullptr);
    EXPECT_NE(pCopied, source.m_mapUserParams.at("n").get());
    EXPECT_EQ(pCopied->m_strType, "int");
    EXPECT_EQ(pCopied->m_strName, "n");
    EXPECT_EQ(pCopied->m_strValue, "4");
    EXPECT_EQ(pCopied->m_strByReference, "no");

    // Changing the copy leaves the source alone.
    pCopied->m_strValue = "99";
    EXPECT_EQ(source.m_mapUserParams.at("n")->m_strValue, "4");
    EXPECT_EQ(source.m_mapUserParams.at("n")->m_strByReference, "yes");
}

}  // namespace
