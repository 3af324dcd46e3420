#include "sh_stat/listaatributos.h"

#include "sh_aux/hpslib.h"

namespace {

std::string RecordText(const CListaAtributos::Atributo& record) {
    return Format("TIEMPO: %s   VALOR:%s", record.Tiempo.c_str(), record.Valor.c_str());
}

void KeepLastOf(CListaAtributos::CRecords& records, size_t nKeep) {
    while (records.size() > nKeep) {
        records.pop_front();
    }
}

}  // namespace

void CListaAtributos::AddWithCategory(const std::string& strCategory, const std::string& strTime,
                                      const std::string& strValue) {
    m_mapCategories[strCategory].push_back({strTime, strValue});
    std::string strDump =
        Format("CListaAtributos with %d categories\n", static_cast<int>(m_mapCategories.size()));
    for (const auto& [strName, records] : m_mapCategories) {
        strDump += Format("\t[%s] = %d\n", strName.c_str(), static_cast<int>(records.size()));
    }
    DebugOutput(strDump);
}

void CListaAtributos::Add(const std::string& strTime, const std::string& strValue) {
    if (m_mapCategories.empty() && m_records.empty()) {
        m_bCategorized = false;
    }
    m_records.push_back({strTime, strValue});
}

std::string CListaAtributos::GetFirstText() const {
    return m_records.empty() ? std::string() : RecordText(m_records.front());
}

std::vector<std::string> CListaAtributos::GetTexts() const {
    std::vector<std::string> vecTexts;
    for (const Atributo& record : m_records) {
        vecTexts.push_back(RecordText(record));
    }
    return vecTexts;
}

std::vector<std::string> CListaAtributos::GetFirstPerCategory() const {
    std::vector<std::string> vecTexts;
    // A category's list is made by its first record and never emptied.
    for (const auto& [strCategory, records] : m_mapCategories) {
        vecTexts.push_back(Format("CATEGORIA: %s   TIEMPO: %s   VALOR:%s", strCategory.c_str(),
                                  records.front().Tiempo.c_str(), records.front().Valor.c_str()));
    }
    return vecTexts;
}

std::vector<std::string> CListaAtributos::Dump() const {
    if (m_bCategorized) {
        return GetFirstPerCategory();
    }
    if (m_records.empty()) {
        return {};
    }
    return {GetFirstText()};
}

int CListaAtributos::Count() const {
    if (!m_bCategorized) {
        return static_cast<int>(m_records.size());
    }
    size_t nCount = 0;
    for (const auto& entry : m_mapCategories) {
        nCount += entry.second.size();
    }
    return static_cast<int>(nCount);
}

void CListaAtributos::KeepLast(int n) {
    const size_t nKeep = n > 0 ? static_cast<size_t>(n) : 0;
    if (!m_bCategorized) {
        KeepLastOf(m_records, nKeep);
        return;
    }
    if (nKeep == 0) {
        m_mapCategories.clear();
        return;
    }
    for (auto& entry : m_mapCategories) {
        KeepLastOf(entry.second, nKeep);
    }
}
