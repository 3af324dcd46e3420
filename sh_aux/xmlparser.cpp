#include "sh_aux/xmlparser.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "sh_aux/customexception.h"
#include "sh_aux/hpslib.h"

namespace {

// The declaration, comments, processing instructions and document type are
// kept as nodes, as a DOM lists them among the document's children. The
// fragment mode keeps text found at document level visible (instead of
// silently dropped) and lets several or no root elements through, so that the
// strict checks below can reject them with a precise reason.
constexpr unsigned int XML_PARSE_OPTIONS = pugi::parse_default | pugi::parse_declaration |
                                           pugi::parse_comments | pugi::parse_pi |
                                           pugi::parse_doctype | pugi::parse_fragment;

constexpr const char* XML_NULL_NODE = "Bad XML format, pXMLNodo is NULL";

std::string_view BaseName(pugi::xml_node hNode) {
    std::string_view strName = hNode.name();
    const size_t nColon = strName.find(':');
    if (nColon != std::string_view::npos) {
        strName.remove_prefix(nColon + 1);
    }
    return strName;
}

bool IsNamed(pugi::xml_node hNode, std::string_view strName) {
    return hNode.type() == pugi::node_element && EqualsNoCase(BaseName(hNode), strName);
}

// First element at or after hNode (in sibling order) with a matching name.
pugi::xml_node NextNamed(pugi::xml_node hNode, std::string_view strName) {
    while (hNode && !IsNamed(hNode, strName)) {
        hNode = hNode.next_sibling();
    }
    return hNode;
}

pugi::xml_attribute FindAttribute(pugi::xml_node hNode, std::string_view strName) {
    for (pugi::xml_attribute hAttr = hNode.first_attribute(); hAttr;
         hAttr = hAttr.next_attribute()) {
        if (strName == hAttr.name()) {
            return hAttr;
        }
    }
    return {};
}

void CheckNode(const CXMLNode& node) {
    if (!node) {
        CCustomException::ThrowError(XML_NULL_NODE);
    }
}

[[noreturn]] void ThrowParse(std::string strDescription, pugi::xml_node hNode) {
    throw CXMLParseException(std::move(strDescription), hNode ? hNode.offset_debug() : 0);
}

// A DOM rejects one element carrying the same attribute twice; the parser
// used here keeps both. Walks the whole tree without recursion.
void CheckDuplicateAttributes(pugi::xml_node hRoot) {
    std::vector<std::string_view> vecNames;
    pugi::xml_node hNode = hRoot;
    while (hNode) {
        if (hNode.type() == pugi::node_element && hNode.first_attribute() &&
            hNode.first_attribute().next_attribute()) {
            vecNames.clear();
            for (pugi::xml_attribute hAttr : hNode.attributes()) {
                vecNames.emplace_back(hAttr.name());
            }
            std::sort(vecNames.begin(), vecNames.end());
            auto it = std::adjacent_find(vecNames.begin(), vecNames.end());
            if (it != vecNames.end()) {
                ThrowParse(Format("Duplicate attribute [%s] on element [%s]",
                                  std::string(*it).c_str(), hNode.name()),
                           hNode);
            }
        }
        if (hNode.first_child()) {
            hNode = hNode.first_child();
            continue;
        }
        while (hNode != hRoot && !hNode.next_sibling()) {
            hNode = hNode.parent();
        }
        hNode = (hNode == hRoot) ? pugi::xml_node() : hNode.next_sibling();
    }
}

}  // namespace

CXMLParseException::CXMLParseException(std::string strDescription, std::ptrdiff_t nOffset)
    : m_strDescription(std::move(strDescription)), m_nOffset(nOffset) {
    m_strMessage = Format("XML parse error at offset %td: %s", m_nOffset, m_strDescription.c_str());
}

std::string CXMLNode::GetNodeName() const {
    switch (m_hNode.type()) {
        case pugi::node_null:
            return {};
        case pugi::node_document:
            return "#document";
        case pugi::node_pcdata:
            return "#text";
        case pugi::node_cdata:
            return "#cdata-section";
        case pugi::node_comment:
            return "#comment";
        case pugi::node_doctype: {
            // The parser keeps the whole declaration body as the value; its
            // first word is the document type's name.
            std::string_view strValue = m_hNode.value();
            const size_t nEnd = strValue.find_first_of(" \t\r\n[");
            return std::string(strValue.substr(0, nEnd));
        }
        default:
            return m_hNode.name();
    }
}

CXMLParser::CXMLParser() = default;

CXMLParser::~CXMLParser() = default;

void CXMLParser::LoadXML(const std::string& strText) {
    ResetCursors();
    pugi::xml_parse_result result = m_xDocument.load_buffer(strText.data(), strText.size(),
                                                            XML_PARSE_OPTIONS, pugi::encoding_utf8);
    try {
        if (!result) {
            throw CXMLParseException(result.description(), result.offset);
        }
        CheckStrict(strText.size());
    } catch (...) {
        // The parser keeps whatever it built before the error; nothing of a
        // rejected text may be found afterwards.
        m_xDocument.reset();
        throw;
    }
}

void CXMLParser::CheckStrict(size_t nLength) const {
    pugi::xml_node hRoot;
    bool bFirst = true;
    for (pugi::xml_node hChild : m_xDocument.children()) {
        switch (hChild.type()) {
            case pugi::node_element:
                if (hRoot) {
                    ThrowParse("More than one root element", hChild);
                }
                hRoot = hChild;
                break;
            case pugi::node_pcdata:
            case pugi::node_cdata:
                ThrowParse("Text at document level", hChild);
            case pugi::node_declaration:
                if (!bFirst) {
                    ThrowParse("XML declaration not at the start of the document", hChild);
                }
                break;
            case pugi::node_doctype:
                if (hRoot) {
                    ThrowParse("Document type declaration after the root element", hChild);
                }
                break;
            default:
                break;
        }
        bFirst = false;
    }
    if (!hRoot) {
        throw CXMLParseException("No document element found", static_cast<std::ptrdiff_t>(nLength));
    }
    CheckDuplicateAttributes(hRoot);
}

pugi::xml_node CXMLParser::Resolve(CXMLNode parent) const {
    return parent ? parent.m_hNode : static_cast<pugi::xml_node>(m_xDocument);
}

bool CXMLParser::IsOwnNode(pugi::xml_node hNode) const {
    return hNode.root() == m_xDocument;
}

void CXMLParser::ResetCursors() {
    m_nthCursor = SNthCursor();
    m_indexCursor = SIndexCursor();
}

void CXMLParser::FindChild(CXMLNode parent, std::string_view strName, CXMLNode& rNode,
                           bool /*bFlag*/) const {
    rNode = CXMLNode(NextNamed(Resolve(parent).first_child(), strName));
}

CXMLNode CXMLParser::FindChild(CXMLNode parent, std::string_view strName) const {
    CXMLNode node;
    FindChild(parent, strName, node, false);
    return node;
}

void CXMLParser::FindChildNth(CXMLNode parent, std::string_view strName, CXMLNode& rNode,
                              int n) const {
    rNode = CXMLNode();
    if (n < 0) {
        return;
    }
    const pugi::xml_node hParent = Resolve(parent);
    pugi::xml_node hNode;
    int k = 0;
    SNthCursor& cur = m_nthCursor;
    const bool bContinue =
        cur.hNode && cur.hParent == hParent && cur.n <= n && cur.strName == strName;
    if (bContinue) {
        hNode = cur.hNode;
        k = cur.n;
    } else {
        hNode = NextNamed(hParent.first_child(), strName);
    }
    while (hNode && k < n) {
        hNode = NextNamed(hNode.next_sibling(), strName);
        ++k;
    }
    if (!hNode) {
        return;
    }
    if (bContinue) {
        cur.n = n;
        cur.hNode = hNode;
    } else if (IsOwnNode(hParent)) {
        cur.hParent = hParent;
        cur.strName = strName;
        cur.n = n;
        cur.hNode = hNode;
    }
    rNode = CXMLNode(hNode);
}

CXMLNode CXMLParser::FindChildNth(CXMLNode parent, std::string_view strName, int n) const {
    CXMLNode node;
    FindChildNth(parent, strName, node, n);
    return node;
}

void CXMLParser::GetChildAt(CXMLNode parent, std::uint32_t nIndex, CXMLNode& rNode) const {
    rNode = CXMLNode();
    const pugi::xml_node hParent = Resolve(parent);
    pugi::xml_node hNode;
    std::uint32_t k = 0;
    SIndexCursor& cur = m_indexCursor;
    const bool bContinue = cur.hNode && cur.hParent == hParent;
    if (bContinue && cur.nIndex <= nIndex) {
        hNode = cur.hNode;
        k = cur.nIndex;
    } else if (bContinue && nIndex >= cur.nIndex / 2) {
        // Nearer to the cursor than to the start: walk back from it.
        hNode = cur.hNode;
        k = cur.nIndex;
        while (k > nIndex) {
            hNode = hNode.previous_sibling();
            --k;
        }
    } else {
        hNode = hParent.first_child();
    }
    while (hNode && k < nIndex) {
        hNode = hNode.next_sibling();
        ++k;
    }
    if (!hNode) {
        return;
    }
    if (bContinue || IsOwnNode(hParent)) {
        cur.hParent = hParent;
        cur.nIndex = nIndex;
        cur.hNode = hNode;
    }
    rNode = CXMLNode(hNode);
}

CXMLNode CXMLParser::GetChildAt(CXMLNode parent, std::uint32_t nIndex) const {
    CXMLNode node;
    GetChildAt(parent, nIndex, node);
    return node;
}

void CXMLParser::GetAttribute(CXMLNode node, std::string_view strName, std::string& strValue,
                              bool bOptional) {
    CheckNode(node);
    pugi::xml_attribute hAttr = FindAttribute(node.m_hNode, strName);
    if (hAttr) {
        strValue = hAttr.value();
        return;
    }
    if (bOptional) {
        strValue.clear();
        return;
    }
    std::string strMessage = Format("Atribute [%s] not found", std::string(strName).c_str());
    if (!m_strErrorLog.empty()) {
        m_strErrorLog += '\n';
    }
    m_strErrorLog += strMessage;
}

void CXMLParser::ReadAttribute(CXMLNode node, std::string_view strName,
                               std::string& strValue) const {
    CheckNode(node);
    pugi::xml_attribute hAttr = FindAttribute(node.m_hNode, strName);
    if (hAttr) {
        strValue = hAttr.value();
    }
}

void CXMLParser::GetText(CXMLNode node, std::string& strValue) const {
    CheckNode(node);
    const pugi::xml_node hTop = node.m_hNode;
    const pugi::xml_node_type eType = hTop.type();
    if (eType != pugi::node_element && eType != pugi::node_document) {
        // Text, CDATA, comment and processing-instruction nodes: their own
        // content.
        strValue = hTop.value();
        return;
    }
    std::string strText;
    pugi::xml_node hNode = hTop.first_child();
    while (hNode) {
        if (hNode.type() == pugi::node_pcdata || hNode.type() == pugi::node_cdata) {
            strText += hNode.value();
        }
        if (hNode.first_child()) {
            hNode = hNode.first_child();
            continue;
        }
        while (hNode != hTop && !hNode.next_sibling()) {
            hNode = hNode.parent();
        }
        hNode = (hNode == hTop) ? pugi::xml_node() : hNode.next_sibling();
    }
    strValue = std::move(strText);
}

void CXMLParser::FindDescendant(CXMLNode parent, std::string_view strName, CXMLNode& rNode) const {
    rNode = CXMLNode();
    pugi::xml_node hNode = Resolve(parent);
    while (hNode) {
        pugi::xml_node hFound = NextNamed(hNode.first_child(), strName);
        if (hFound) {
            rNode = CXMLNode(hFound);
            return;
        }
        hNode = hNode.first_child();
    }
}

void CXMLParser::CreateNode(std::string_view strName, CXMLNode& rNode) {
    rNode = CXMLNode();
    pugi::xml_node hNode = m_xScratch.append_child(pugi::node_element);
    hNode.set_name(std::string(strName).c_str());
    rNode = CXMLNode(hNode);
}

std::vector<CXMLNode> CXMLParser::GetChildren(CXMLNode parent) const {
    std::vector<CXMLNode> vecNodes;
    for (pugi::xml_node hNode : Resolve(parent).children()) {
        vecNodes.push_back(CXMLNode(hNode));
    }
    return vecNodes;
}

std::vector<CXMLNode> CXMLParser::FindChildren(CXMLNode parent, std::string_view strName) const {
    std::vector<CXMLNode> vecNodes;
    for (pugi::xml_node hNode = NextNamed(Resolve(parent).first_child(), strName); hNode;
         hNode = NextNamed(hNode.next_sibling(), strName)) {
        vecNodes.push_back(CXMLNode(hNode));
    }
    return vecNodes;
}
