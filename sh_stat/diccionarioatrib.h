#pragma once

// A store of time-stamped attribute values of named elements: element ->
// attribute -> CListaAtributos in memory, every added value also written as
// rows of the results database:
//
//   Informacion          (IDInfo, Tiempo, Valor)           one row per value
//   AtributoCatCompleto  (NombreElemento, NombreAtributo, Categoria, IDInfo)
//   AtributoCompleto     (NombreElemento, NombreAtributo, IDInfo)
//
// a value with category in the first of the two attribute tables, one
// without in the second, each pointing at its Informacion row.

#include <memory>
#include <string>
#include <vector>

#include "sh_aux/adodatabase.h"
#include "sh_aux/namemap.h"
#include "sh_stat/listaatributos.h"

class CDiccionarioAtrib {
public:
    using CAttributeMap = COwningNameMap<CListaAtributos>;

    // GetList's result.
    enum { DIC_FOUND = 0, DIC_CREATED = 1 };

    // Holds no database connection until OpenDatabase.
    CDiccionarioAtrib() = default;
    CDiccionarioAtrib(const CDiccionarioAtrib&) = delete;
    CDiccionarioAtrib& operator=(const CDiccionarioAtrib&) = delete;

    // The list of the element's attribute in rpList, made (with the
    // element's map) when absent: DIC_CREATED then, else DIC_FOUND.
    int GetList(const std::string& strElement, const std::string& strAttribute,
                CListaAtributos*& rpList);
    // Writes the value's rows into the database, both or none, then adds the
    // value to the attribute's list. Returns GetList's result. Database
    // failures (not open, a failing insert) throw CCustomException and leave
    // the dictionary and the database as they were.
    int AddWithCategory(const std::string& strElement, const std::string& strAttribute,
                        const std::string& strCategory, const std::string& strTime,
                        const std::string& strValue);
    int Add(const std::string& strElement, const std::string& strAttribute,
            const std::string& strTime, const std::string& strValue);
    // Puts a new empty list, marked as made empty, under the element's
    // attribute; a list already there is dropped.
    void AddEmptyList(const std::string& strElement, const std::string& strAttribute);

    // The dump of one list (CListaAtributos::Dump); empty when there is no
    // such list.
    std::vector<std::string> DumpList(const std::string& strAttribute,
                                      const std::string& strElement) const;
    // The count of one list; 0 when there is no such list.
    int Count(const std::string& strAttribute, const std::string& strElement) const;
    // Keeps the last n records of every list; keeping none also drops every
    // list and element.
    void KeepLast(int n);
    // Puts a deep copy of every element of other, with copies of its lists,
    // in place of this dictionary's element of the same name.
    void CopyFrom(const CDiccionarioAtrib& other);

    // Elements and their attributes, in name order.
    const CNameMap<CAttributeMap>& GetElements() const { return m_mapElements; }

    void SetDatabaseFile(const std::string& strPath) { m_strDatabaseFile = strPath; }
    const std::string& GetDatabaseFile() const { return m_strDatabaseFile; }
    // Opens the database file (which must exist) and makes the three tables
    // where they are missing. Failures throw CCustomException.
    void OpenDatabase();
    void CloseDatabase();

private:
    // The rows of one value in one transaction: its Informacion row, then its
    // row in strTable with the given names and the new row's id.
    void InsertRows(const std::string& strTable, const std::vector<std::string>& vecColumns,
                    std::vector<CDbValue> vecNames, const std::string& strTime,
                    const std::string& strValue);
    // "<when> Numero de Elements [<elements>]" to the debug output.
    void TraceSize(const char* pszWhen) const;
    const CListaAtributos* FindList(const std::string& strAttribute,
                                    const std::string& strElement) const;

    CNameMap<CAttributeMap> m_mapElements;
    std::string m_strDatabaseFile;
    CAdoDatabase m_database;
};
