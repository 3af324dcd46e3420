// The XML wrapper: the input is a document. Every lookup by position and by
// name must find what the plain list of children holds, in forward and in
// backward order (the lookups continue from their previous hit), and a
// document that does not parse leaves nothing behind.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzzinput.h"
#include "sh_aux/customexception.h"
#include "sh_aux/xmlparser.h"

namespace {

// Children looked at per parent by name, so that a parent with thousands of
// differently named children stays quick.
constexpr size_t kNamesPerParent = 8;

std::string LocalName(const CXMLNode& node) {
    const std::string strName = node.GetNodeName();
    const size_t nColon = strName.find(':');
    return nColon == std::string::npos ? strName : strName.substr(nColon + 1);
}

bool IsElement(const CXMLNode& node) {
    const std::string strName = node.GetNodeName();
    return !strName.empty() && strName.front() != '#';
}

void CheckPositions(const CXMLParser& parser, CXMLNode parent,
                    const std::vector<CXMLNode>& vecChildren) {
    const auto nCount = static_cast<std::uint32_t>(vecChildren.size());
    for (std::uint32_t i = 0; i <= nCount; ++i) {
        velkofuzz::Check(parser.GetChildAt(parent, i) == (i < nCount ? vecChildren[i] : nullptr),
                         "child by position, forward");
    }
    for (std::uint32_t i = nCount + 1; i-- > 0;) {
        velkofuzz::Check(parser.GetChildAt(parent, i) == (i < nCount ? vecChildren[i] : nullptr),
                         "child by position, backward");
    }
}

void CheckNames(const CXMLParser& parser, CXMLNode parent,
                const std::vector<CXMLNode>& vecChildren) {
    std::set<std::string> setNames;
    for (const CXMLNode& child : vecChildren) {
        if (IsElement(child) && setNames.size() < kNamesPerParent) {
            setNames.insert(LocalName(child));
        }
    }
    setNames.insert("no such name");
    for (const std::string& strName : setNames) {
        const std::vector<CXMLNode> vecNamed = parser.FindChildren(parent, strName);
        const int nCount = static_cast<int>(vecNamed.size());
        velkofuzz::Check(parser.FindChild(parent, strName) == (nCount > 0 ? vecNamed[0] : nullptr),
                         "first child by name");
        for (int n = 0; n <= nCount; ++n) {
            velkofuzz::Check(
                parser.FindChildNth(parent, strName, n) == (n < nCount ? vecNamed[n] : nullptr),
                "n-th child by name, forward");
        }
        for (int n = nCount; n >= -1; --n) {
            velkofuzz::Check(parser.FindChildNth(parent, strName, n) ==
                                 (n >= 0 && n < nCount ? vecNamed[n] : nullptr),
                             "n-th child by name, backward");
        }
        CXMLNode descendant;
        parser.FindDescendant(parent, strName, descendant);
        if (nCount > 0) {
            velkofuzz::Check(descendant == vecNamed[0], "a descendant search finds a child first");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    CXMLParser parser;
    try {
        parser.LoadXML(std::string(reinterpret_cast<const char*>(pData), nSize));
    } catch (const CXMLParseException&) {
        velkofuzz::Check(parser.GetChildren(CXMLNode()).empty(), "a failed parse leaves nothing");
        return 0;
    }

    std::vector<CXMLNode> vecParents{CXMLNode()};
    while (!vecParents.empty()) {
        const CXMLNode parent = vecParents.back();
        vecParents.pop_back();
        const std::vector<CXMLNode> vecChildren = parser.GetChildren(parent);
        CheckPositions(parser, parent, vecChildren);
        CheckNames(parser, parent, vecChildren);
        for (const CXMLNode& child : vecChildren) {
            if (!IsElement(child)) {
                continue;
            }
            vecParents.push_back(child);
            std::string strValue = "kept";
            parser.ReadAttribute(child, "no such name", strValue);
            velkofuzz::Check(strValue == "kept", "a missing attribute is not read");
            parser.ReadAttribute(child, "name", strValue);
            parser.GetAttribute(child, "id", strValue, true);
        }
    }
    for (const CXMLNode& top : parser.GetChildren(CXMLNode())) {
        std::string strText;
        parser.GetText(top, strText);
    }
    return 0;
}
