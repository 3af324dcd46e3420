#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

// Raised by CXMLParser::LoadXML when the text is not a well-formed document.
// Carries the parser's description and the byte offset in the text where the
// problem was found.
class CXMLParseException : public std::exception {
public:
    CXMLParseException(std::string strDescription, std::ptrdiff_t nOffset);

    const std::string& GetDescription() const { return m_strDescription; }
    std::ptrdiff_t GetOffset() const { return m_nOffset; }
    const char* what() const noexcept override { return m_strMessage.c_str(); }

private:
    std::string m_strDescription;
    std::ptrdiff_t m_nOffset = 0;
    std::string m_strMessage;
};

// Non-owning handle to a node of a parsed document. Valid while the document
// it came from holds its tree: until the next CXMLParser::LoadXML on the
// parser that produced it, or that parser's destruction. A null handle given
// as a parent means the document itself.
class CXMLNode {
public:
    CXMLNode() = default;
    CXMLNode(std::nullptr_t) {}

    explicit operator bool() const { return !m_hNode.empty(); }
    bool operator==(const CXMLNode& other) const { return m_hNode == other.m_hNode; }

    // DOM-style node name: the qualified name of an element, the target of a
    // processing instruction ("xml" for the declaration), the name of the
    // document type, or "#text", "#cdata-section", "#comment", "#document".
    // Empty for a null handle.
    std::string GetNodeName() const;

private:
    friend class CXMLParser;
    explicit CXMLNode(pugi::xml_node hNode) : m_hNode(hNode) {}

    pugi::xml_node m_hNode;
};

// One parsed XML document and the lookups every reader of the system builds
// on. Element names are matched by their local name (after any "prefix:")
// ignoring ASCII case; attribute names are matched exactly. Readers derive
// from it and call these operations on themselves.
class CXMLParser {
public:
    CXMLParser();
    virtual ~CXMLParser();

    CXMLParser(const CXMLParser&) = delete;
    CXMLParser& operator=(const CXMLParser&) = delete;

    // Replaces the document with the one parsed from strText (UTF-8; a
    // declared encoding is ignored). The declaration, comments, processing
    // instructions and the document type stay children of the document;
    // whitespace-only text is dropped. On failure the document is left empty
    // and CXMLParseException is thrown. The error log is not touched.
    void LoadXML(const std::string& strText);

    // First child element of parent (the document when null) named strName.
    // bFlag is not used.
    void FindChild(CXMLNode parent, std::string_view strName, CXMLNode& rNode, bool bFlag) const;
    CXMLNode FindChild(CXMLNode parent, std::string_view strName) const;

    // The n-th (from 0) child element named strName; null when there are
    // fewer or n is negative. Calls with n = 0, 1, 2, ... over one parent
    // continue from the previous hit, so reading all children is linear.
    void FindChildNth(CXMLNode parent, std::string_view strName, CXMLNode& rNode, int n) const;
    CXMLNode FindChildNth(CXMLNode parent, std::string_view strName, int n) const;

    // The nIndex-th child of any kind; null past the last. Sequential indexes
    // over one parent continue from the previous call.
    void GetChildAt(CXMLNode parent, std::uint32_t nIndex, CXMLNode& rNode) const;
    // Every child of parent (of the document when null), in document order.
    std::vector<CXMLNode> GetChildren(CXMLNode parent) const;
    // Every child element of parent named strName, in document order.
    std::vector<CXMLNode> FindChildren(CXMLNode parent, std::string_view strName) const;
    CXMLNode GetChildAt(CXMLNode parent, std::uint32_t nIndex) const;

    // Found: strValue gets the attribute's text. Missing and bOptional:
    // strValue is emptied. Missing and mandatory: strValue is kept and
    // "Atribute [<name>] not found" is added to the error log. A null node
    // raises CCustomException.
    void GetAttribute(CXMLNode node, std::string_view strName, std::string& strValue,
                      bool bOptional);
    // Found: strValue gets the attribute's text; missing: nothing happens.
    // A null node raises CCustomException.
    void ReadAttribute(CXMLNode node, std::string_view strName, std::string& strValue) const;
    // The concatenated text and CDATA content of the node and all its
    // descendants. A null node raises CCustomException.
    void GetText(CXMLNode node, std::string& strValue) const;

    // A matching child of parent; failing that, the same search below the
    // first child only, recursively.
    void FindDescendant(CXMLNode parent, std::string_view strName, CXMLNode& rNode) const;

    // A new element named strName, not part of the parsed document. It lives
    // as long as the parser.
    void CreateNode(std::string_view strName, CXMLNode& rNode);

    // Messages of missing mandatory attributes, joined by "\n".
    const std::string& GetErrorLog() const { return m_strErrorLog; }
    // Readers that load several documents start each load with an empty log.
    void ClearErrorLog() { m_strErrorLog.clear(); }

private:
    // Position of the last successful sequential lookup, kept only for
    // parents inside this parser's own document so it never outlives them.
    struct SNthCursor {
        pugi::xml_node hParent;
        std::string strName;
        int n = 0;
        pugi::xml_node hNode;
    };
    struct SIndexCursor {
        pugi::xml_node hParent;
        std::uint32_t nIndex = 0;
        pugi::xml_node hNode;
    };

    pugi::xml_node Resolve(CXMLNode parent) const;
    bool IsOwnNode(pugi::xml_node hNode) const;
    void ResetCursors();
    // Rejects what a strict DOM rejects but the parser lets through.
    void CheckStrict(size_t nLength) const;

    pugi::xml_document m_xDocument;
    // Holds the elements made by CreateNode.
    pugi::xml_document m_xScratch;
    std::string m_strErrorLog;
    mutable SNthCursor m_nthCursor;
    mutable SIndexCursor m_indexCursor;
};
