#pragma once

// The time-stamped values of one attribute of one element: either kept by
// category (one list per category) or in one plain list.

#include <deque>
#include <string>
#include <vector>

#include "sh_aux/namemap.h"

class CListaAtributos {
public:
    // One value and the time it was taken at, both as text.
    struct Atributo {
        std::string Tiempo;
        std::string Valor;
    };
    using CRecords = std::deque<Atributo>;

    // A new list counts as categorised until a value without category is
    // added to it while it is empty. Copies copy every record and both flags.
    CListaAtributos() = default;

    // Appends to the category's list (made when absent), then writes the
    // categories and their sizes to the debug output.
    void AddWithCategory(const std::string& strCategory, const std::string& strTime,
                         const std::string& strValue);
    // Appends to the plain list; the first record of an empty list makes the
    // list uncategorised.
    void Add(const std::string& strTime, const std::string& strValue);

    // "TIEMPO: %s   VALOR:%s" of the plain list's first record; "" when the
    // plain list is empty.
    std::string GetFirstText() const;
    // "TIEMPO: %s   VALOR:%s" of every record of the plain list, in order.
    std::vector<std::string> GetTexts() const;
    // "CATEGORIA: %s   TIEMPO: %s   VALOR:%s" of the first record of each
    // category, categories in name order.
    std::vector<std::string> GetFirstPerCategory() const;
    // Categorised: the first record of each category; otherwise the plain
    // list's first record (nothing when it is empty).
    std::vector<std::string> Dump() const;
    // The records over every category, or of the plain list.
    int Count() const;
    // Drops the oldest records until at most n remain: of every category, or
    // of the plain list. Keeping none of a categorised list also drops its
    // categories. A negative n keeps none.
    void KeepLast(int n);

    bool IsCategorized() const { return m_bCategorized; }
    // Made by the dictionary as an empty list.
    bool IsCreatedEmpty() const { return m_bCreatedEmpty; }
    void MarkCreatedEmpty() { m_bCreatedEmpty = true; }

private:
    CNameMap<CRecords> m_mapCategories;
    CRecords m_records;
    bool m_bCategorized = true;
    bool m_bCreatedEmpty = false;
};
