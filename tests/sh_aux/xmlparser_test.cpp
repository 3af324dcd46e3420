#include <gtest/gtest.h>

#include <chrono>
#include <type_traits>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"
#include "sh_aux/xmlparser.h"
#include "support/progresswait.h"

static_assert(std::has_virtual_destructor_v<CXMLParser>);
static_assert(!std::is_copy_constructible_v<CXMLParser> && !std::is_copy_assignable_v<CXMLParser>);

namespace {

std::string Attr(CXMLParser& parser, CXMLNode node, const char* pszName) {
    std::string strValue = "<unset>";
    parser.ReadAttribute(node, pszName, strValue);
    return strValue;
}

TEST(XMLParser, RootFoundPastDeclarationAndCommentsWhichCountAsChildren) {
    CXMLParser parser;
    // A BOM and a declared encoding other than UTF-8 do not change how the
    // UTF-8 text is read.
    parser.LoadXML(
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!-- one -->\n"
        "<!-- two -->\n<ModelInfo name=\"ca\xC3\xB1o\">\n  <a/>\n  <b/>\n</ModelInfo>");
    CXMLNode root;
    parser.FindChild(nullptr, "modelinfo", root, true);
    ASSERT_TRUE(root);
    EXPECT_EQ(root.GetNodeName(), "ModelInfo");
    EXPECT_EQ(Attr(parser, root, "name"), "ca\xC3\xB1o");

    const char* kNames[] = {"xml", "#comment", "#comment", "ModelInfo"};
    // Out of order on purpose: later indexes continue from earlier ones.
    for (std::uint32_t nIndex : {3u, 0u, 2u, 1u, 3u, 1u}) {
        EXPECT_EQ(parser.GetChildAt(nullptr, nIndex).GetNodeName(), kNames[nIndex]) << nIndex;
    }
    CXMLNode node = root;
    parser.GetChildAt(nullptr, 4, node);
    EXPECT_FALSE(node);
    // Whitespace-only text between elements is not a child.
    EXPECT_EQ(parser.GetChildAt(root, 1).GetNodeName(), "b");
    EXPECT_FALSE(parser.GetChildAt(root, 2));
}

TEST(XMLParser, NamespacePrefixIsIgnoredInElementNames) {
    CXMLParser parser;
    parser.LoadXML("<sdl:System xmlns:sdl=\"urn:x\"><sdl:block id=\"7\"/></sdl:System>");
    CXMLNode root = parser.FindChild(nullptr, "system");
    ASSERT_TRUE(root);
    EXPECT_EQ(Attr(parser, parser.FindChild(root, "BLOCK"), "id"), "7");
    EXPECT_FALSE(parser.FindChild(nullptr, "sdl:system"));
}

TEST(XMLParser, FindChildAndFindChildNth) {
    CXMLParser parser;
    parser.LoadXML(
        "<r><a id=\"1\"/><b id=\"x\"/><A id=\"2\"/><!-- a --><a id=\"3\"/>"
        "<s><a id=\"s0\"/><a id=\"s1\"/></s></r>");
    CXMLNode r = parser.FindChild(nullptr, "r");
    CXMLNode s = parser.FindChild(r, "s");
    EXPECT_EQ(Attr(parser, parser.FindChild(r, "a"), "id"), "1");
    EXPECT_FALSE(parser.FindChild(r, "c"));

    // Mixed order, names and parents must not confuse the continuation.
    const std::pair<int, const char*> kSteps[] = {{0, "1"}, {1, "2"}, {2, "3"}, {1, "2"},
                                                  {0, "1"}, {2, "3"}, {2, "3"}};
    for (auto [n, pszId] : kSteps) {
        EXPECT_EQ(Attr(parser, parser.FindChildNth(r, "a", n), "id"), pszId) << n;
        EXPECT_EQ(Attr(parser, parser.FindChildNth(s, "a", n % 2), "id"), n % 2 ? "s1" : "s0");
        EXPECT_EQ(Attr(parser, parser.FindChildNth(r, "b", 0), "id"), "x");
    }
    CXMLNode node = r;
    parser.FindChildNth(r, "a", node, 3);
    EXPECT_FALSE(node);
    node = r;
    parser.FindChildNth(r, "a", node, -1);
    EXPECT_FALSE(node);

    // A new document drops the continuation of the old one.
    parser.LoadXML("<r><a id=\"n0\"/><a id=\"n1\"/></r>");
    r = parser.FindChild(nullptr, "r");
    EXPECT_EQ(Attr(parser, parser.FindChildNth(r, "a", 1), "id"), "n1");
    EXPECT_FALSE(parser.FindChildNth(r, "a", 2));
}

TEST(XMLParser, HandlesFromAnotherParser) {
    CXMLParser owner;
    CXMLParser other;
    owner.LoadXML("<r><e i=\"0\"/><e i=\"1\"/><e i=\"22\"/></r>");
    CXMLNode r = owner.FindChild(nullptr, "r");
    EXPECT_EQ(Attr(other, other.FindChildNth(r, "e", 1), "i"), "1");
    EXPECT_EQ(other.GetChildAt(r, 2).GetNodeName(), "e");
    // The owner replaces its tree with one of the same text length, so the new
    // root usually lands where the old one was while the other nodes move; the
    // other parser must not continue from the old tree.
    owner.LoadXML("<r><x/><e i=\"a\"/><!----><e i=\"b\"/></r>");
    r = owner.FindChild(nullptr, "r");
    EXPECT_EQ(Attr(other, other.FindChildNth(r, "e", 1), "i"), "b");
    EXPECT_EQ(other.GetChildAt(r, 2).GetNodeName(), "#comment");
    EXPECT_FALSE(other.GetChildAt(r, 4));
}

TEST(XMLParser, AttributesAndErrorLog) {
    CXMLParser parser;
    parser.LoadXML("<r><e Name=\"N\" v=\"1\"/><f/></r>");
    CXMLNode e = parser.FindChild(parser.FindChild(nullptr, "r"), "e");
    CXMLNode f = parser.FindChild(parser.FindChild(nullptr, "r"), "f");
    std::string strValue = "keep";
    parser.GetAttribute(e, "v", strValue, false);
    EXPECT_EQ(strValue, "1");

    strValue = "keep";
    parser.GetAttribute(e, "name", strValue, true);  // names are case-sensitive
    EXPECT_EQ(strValue, "");
    EXPECT_EQ(parser.GetErrorLog(), "");

    strValue = "keep";
    parser.ReadAttribute(e, "name", strValue);
    EXPECT_EQ(strValue, "keep");
    EXPECT_EQ(parser.GetErrorLog(), "");

    parser.GetAttribute(e, "name", strValue, false);
    EXPECT_EQ(strValue, "keep");
    EXPECT_EQ(parser.GetErrorLog(), "Atribute [name] not found");
    parser.GetAttribute(f, "id", strValue, false);
    EXPECT_EQ(strValue, "keep");
    EXPECT_EQ(parser.GetErrorLog(), "Atribute [name] not found\nAtribute [id] not found");
    parser.LoadXML("<r/>");  // loading leaves the log alone
    EXPECT_EQ(parser.GetErrorLog(), "Atribute [name] not found\nAtribute [id] not found");
}

TEST(XMLParser, NullNodeRaisesProgramException) {
    CXMLParser parser;
    parser.LoadXML("<r/>");
    std::string strValue = "keep";
    auto expectNullError = [&](auto call) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (const CCustomException& e) {
            EXPECT_EQ(e.GetMessageText(), "Error: Bad XML format, pXMLNodo is NULL");
        }
        EXPECT_EQ(strValue, "keep");
    };
    expectNullError([&] { parser.GetAttribute(nullptr, "a", strValue, true); });
    expectNullError([&] { parser.GetAttribute(nullptr, "a", strValue, false); });
    expectNullError([&] { parser.ReadAttribute(nullptr, "a", strValue); });
    expectNullError([&] { parser.GetText(nullptr, strValue); });
    EXPECT_EQ(parser.GetErrorLog(), "");
}

TEST(XMLParser, GetTextConcatenatesDescendants) {
    CXMLParser parser;
    parser.LoadXML("<a>x<b>y<c>z</c><![CDATA[<q>]]></b><!-- no --><?pi no?>w &amp; v</a>");
    CXMLNode a = parser.FindChild(nullptr, "a");
    std::string strText;
    parser.GetText(a, strText);
    EXPECT_EQ(strText, "xyz<q>w & v");
    parser.GetText(parser.FindChild(a, "b"), strText);
    EXPECT_EQ(strText, "yz<q>");
    parser.GetText(parser.GetChildAt(a, 0), strText);
    EXPECT_EQ(strText, "x");
}

TEST(XMLParser, RejectedTextThrowsAndLeavesNothingFindable) {
    const char* kBad[] = {"<r><a></r>",
                          "<r>",
                          "",
                          "no xml",
                          "<r/><r/>",
                          "<r><e a=\"1\" b=\"2\" a=\"3\"/></r>",
                          "text<r/>",
                          "<r/>text",
                          "<!-- only --><?xml version=\"1.0\"?>",
                          "<r/><!DOCTYPE r>",
                          "<!-- c --><?xml version=\"1.0\"?><r/>"};
    for (const char* pszText : kBad) {
        CXMLParser parser;
        parser.LoadXML("<r><e/></r>");
        ASSERT_TRUE(parser.GetChildAt(nullptr, 0));
        EXPECT_THROW(parser.LoadXML(pszText), CXMLParseException) << pszText;
        EXPECT_FALSE(parser.FindChild(nullptr, "r")) << pszText;
        EXPECT_FALSE(parser.GetChildAt(nullptr, 0)) << pszText;
    }
    CXMLParser parser;
    try {
        parser.LoadXML("<r><a></r>");
        FAIL() << "no exception";
    } catch (const CXMLParseException& e) {
        EXPECT_FALSE(e.GetDescription().empty());
        EXPECT_GT(e.GetOffset(), 0);
        EXPECT_NE(std::string(e.what()).find(e.GetDescription()), std::string::npos);
    }
    try {
        parser.LoadXML("<r><deep><e x=\"1\" y=\"2\" x=\"1\"/></deep></r>");
        FAIL() << "no exception";
    } catch (const CXMLParseException& e) {
        EXPECT_NE(e.GetDescription().find("[x]"), std::string::npos) << e.GetDescription();
    }
}

TEST(XMLParser, FindDescendantFollowsFirstChildOnly) {
    CXMLParser parser;
    parser.LoadXML("<r><x><y><t id=\"1\"/></y></x><z><t id=\"2\"/><q/></z></r>");
    CXMLNode node;
    parser.FindDescendant(nullptr, "T", node);
    EXPECT_EQ(Attr(parser, node, "id"), "1");
    node = parser.FindChild(nullptr, "r");
    parser.FindDescendant(nullptr, "q", node);
    EXPECT_FALSE(node);
}

TEST(XMLParser, CreateNodeIsNotPartOfTheDocument) {
    CXMLParser parser;
    parser.LoadXML("<r/>");
    CXMLNode node;
    parser.CreateNode("r", node);
    ASSERT_TRUE(node);
    EXPECT_EQ(node.GetNodeName(), "r");
    EXPECT_NE(node, parser.FindChild(nullptr, "r"));
    EXPECT_FALSE(parser.GetChildAt(nullptr, 1));
}

TEST(XMLParser, SequentialReadsAreLinear) {
    constexpr int kCount = 100000;
    std::string strText = "<trace>";
    for (int i = 0; i < kCount; ++i) {
        strText += Format("<ev i=\"%d\"/><!-- %d -->", i, i);
    }
    strText += "</trace>";
    CXMLParser parser;
    parser.LoadXML(strText);
    CXMLNode trace = parser.FindChild(nullptr, "trace");

    // A walk from the first child on every call would take billions of steps
    // here; the reads give up once past the bound so such a fault fails fast.
    // A second as long as it takes on this machine now: so do the steps.
    const double kBound =
        std::chrono::duration<double>(velkotest::ScaledWait(std::chrono::seconds(1))).count();
    const auto tStart = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    };
    int n = 0;
    std::string strValue;
    for (CXMLNode ev; (ev = parser.FindChildNth(trace, "EV", n)); ++n) {
        parser.GetAttribute(ev, "i", strValue, false);
        ASSERT_EQ(strValue, std::to_string(n));
        if (n % 1000 == 0 && elapsed() > kBound) {
            break;
        }
    }
    EXPECT_EQ(n, kCount);
    std::uint32_t nIndex = 0;
    while (parser.GetChildAt(trace, nIndex)) {
        ++nIndex;
        if (nIndex % 1000 == 0 && elapsed() > kBound) {
            break;
        }
    }
    EXPECT_EQ(nIndex, 2u * kCount);
    EXPECT_LT(elapsed(), kBound);
}

TEST(XMLParser, ChildListsOfAnotherParsersDocumentAreReadInOneWalk) {
    // Readers list the children of side documents through their own parser;
    // restarting from the first child for every entry would make this take
    // seconds.
    constexpr int kCount = 10000;
    std::string strText = "<r>";
    for (int i = 0; i < kCount; ++i) {
        strText += Format("<a i='%d'/><!-- c --><B/>", i);
    }
    strText += "</r>";
    CXMLParser document;
    document.LoadXML(strText);
    const CXMLNode root = document.FindChild(nullptr, "r");
    ASSERT_TRUE(root);

    CXMLParser reader;
    const auto tStart = std::chrono::steady_clock::now();
    const std::vector<CXMLNode> vecA = reader.FindChildren(root, "A");
    const std::vector<CXMLNode> vecB = reader.FindChildren(root, "b");
    const std::vector<CXMLNode> vecAll = reader.GetChildren(root);
    const double dElapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    ASSERT_EQ(vecA.size(), static_cast<size_t>(kCount));
    ASSERT_EQ(vecB.size(), static_cast<size_t>(kCount));
    ASSERT_EQ(vecAll.size(), static_cast<size_t>(3 * kCount));
    std::string strValue;
    reader.ReadAttribute(vecA[kCount - 1], "i", strValue);
    EXPECT_EQ(strValue, std::to_string(kCount - 1));
    EXPECT_EQ(vecAll[1].GetNodeName(), "#comment");
    EXPECT_EQ(vecAll[3 * kCount - 1], vecB[kCount - 1]);
    EXPECT_TRUE(reader.FindChildren(nullptr, "r").empty());
    EXPECT_LT(
        dElapsed,
        std::chrono::duration<double>(velkotest::ScaledWait(std::chrono::seconds(1))).count());
}

}  // namespace
