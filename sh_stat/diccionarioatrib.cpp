#include "sh_stat/diccionarioatrib.h"

#include <utility>

#include "sh_aux/hpslib.h"

int CDiccionarioAtrib::GetList(const std::string& strElement, const std::string& strAttribute,
                               CListaAtributos*& rpList) {
    DebugOutput(Format(">>>> OBTEN LISTA Element [%s] Atributo [%s]\n", strElement.c_str(),
                       strAttribute.c_str()));
    int nResult = DIC_FOUND;
    auto itElement = m_mapElements.find(strElement);
    if (itElement == m_mapElements.end()) {
        itElement = m_mapElements.emplace(strElement, CAttributeMap()).first;
        nResult = DIC_CREATED;
    }
    std::unique_ptr<CListaAtributos>& pList = itElement->second[strAttribute];
    if (!pList) {
        pList = std::make_unique<CListaAtributos>();
        nResult = DIC_CREATED;
    }
    rpList = pList.get();
    return nResult;
}

void CDiccionarioAtrib::TraceSize(const char* pszWhen) const {
    DebugOutput(
        Format("%s Numero de Elements [%d] \n", pszWhen, static_cast<int>(m_mapElements.size())));
}

int CDiccionarioAtrib::AddWithCategory(const std::string& strElement,
                                       const std::string& strAttribute,
                                       const std::string& strCategory, const std::string& strTime,
                                       const std::string& strValue) {
    TraceSize("Entrada");
    InsertRows("AtributoCatCompleto", {"NombreElemento", "NombreAtributo", "Categoria", "IDInfo"},
               {strElement, strAttribute, strCategory}, strTime, strValue);
    CListaAtributos* pList = nullptr;
    const int nResult = GetList(strElement, strAttribute, pList);
    pList->AddWithCategory(strCategory, strTime, strValue);
    TraceSize("Salida");
    return nResult;
}

int CDiccionarioAtrib::Add(const std::string& strElement, const std::string& strAttribute,
                           const std::string& strTime, const std::string& strValue) {
    TraceSize("Entrada");
    InsertRows("AtributoCompleto", {"NombreElemento", "NombreAtributo", "IDInfo"},
               {strElement, strAttribute}, strTime, strValue);
    CListaAtributos* pList = nullptr;
    const int nResult = GetList(strElement, strAttribute, pList);
    pList->Add(strTime, strValue);
    TraceSize("Salida");
    return nResult;
}

void CDiccionarioAtrib::InsertRows(const std::string& strTable,
                                   const std::vector<std::string>& vecColumns,
                                   std::vector<CDbValue> vecNames, const std::string& strTime,
                                   const std::string& strValue) {
    m_database.Execute("BEGIN");
    try {
        const std::vector<CDbValue> vecInfo{strTime, strValue};
        const long long nInfoId = m_database.InsertRow("Informacion", {"Tiempo", "Valor"}, vecInfo);
        vecNames.emplace_back(std::in_place_type<long long>, nInfoId);
        m_database.InsertRow(strTable, vecColumns, vecNames);
        m_database.Execute("COMMIT");
    } catch (...) {
        // The failure that is reported is the insert's, not the rollback's.
        try {
            m_database.Execute("ROLLBACK");
        } catch (...) {
        }
        throw;
    }
}

void CDiccionarioAtrib::AddEmptyList(const std::string& strElement,
                                     const std::string& strAttribute) {
    auto pList = std::make_unique<CListaAtributos>();
    pList->MarkCreatedEmpty();
    m_mapElements[strElement][strAttribute] = std::move(pList);
}

const CListaAtributos* CDiccionarioAtrib::FindList(const std::string& strAttribute,
                                                   const std::string& strElement) const {
    auto itElement = m_mapElements.find(strElement);
    return itElement == m_mapElements.end() ? nullptr : FindIn(itElement->second, strAttribute);
}

std::vector<std::string> CDiccionarioAtrib::DumpList(const std::string& strAttribute,
                                                     const std::string& strElement) const {
    const CListaAtributos* pList = FindList(strAttribute, strElement);
    return pList ? pList->Dump() : std::vector<std::string>();
}

int CDiccionarioAtrib::Count(const std::string& strAttribute, const std::string& strElement) const {
    const CListaAtributos* pList = FindList(strAttribute, strElement);
    return pList ? pList->Count() : 0;
}

void CDiccionarioAtrib::KeepLast(int n) {
    if (n <= 0) {
        m_mapElements.clear();
        return;
    }
    for (auto& [strElement, attributes] : m_mapElements) {
        for (auto& [strAttribute, pList] : attributes) {
            pList->KeepLast(n);
        }
    }
}

void CDiccionarioAtrib::CopyFrom(const CDiccionarioAtrib& other) {
    if (&other == this) {
        return;
    }
    for (const auto& [strElement, attributes] : other.m_mapElements) {
        CAttributeMap copy;
        for (const auto& [strAttribute, pList] : attributes) {
            copy[strAttribute] = std::make_unique<CListaAtributos>(*pList);
        }
        m_mapElements[strElement] = std::move(copy);
    }
}

void CDiccionarioAtrib::OpenDatabase() {
    m_database.Open(m_strDatabaseFile);
    m_database.Execute(
        "CREATE TABLE IF NOT EXISTS Informacion "
        "(IDInfo INTEGER PRIMARY KEY, Tiempo NUMERIC, Valor NUMERIC)");
    m_database.Execute(
        "CREATE TABLE IF NOT EXISTS AtributoCatCompleto (NombreElemento TEXT, "
        "NombreAtributo TEXT, Categoria TEXT, IDInfo INTEGER REFERENCES Informacion(IDInfo))");
    m_database.Execute(
        "CREATE TABLE IF NOT EXISTS AtributoCompleto (NombreElemento TEXT, "
        "NombreAtributo TEXT, IDInfo INTEGER REFERENCES Informacion(IDInfo))");
}

void CDiccionarioAtrib::CloseDatabase() {
    m_database.Close();
}
