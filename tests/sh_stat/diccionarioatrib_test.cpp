#include "sh_stat/diccionarioatrib.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "sh_aux/customexception.h"
#include "sh_stat/listaatributos.h"
#include "support/tempfolder.h"

namespace {

using Texts = std::vector<std::string>;

TEST(ListaAtributos, CategorisedRuleKeepLastDumpsAndCopies) {
    CListaAtributos plain;
    EXPECT_TRUE(plain.IsCategorized());
    EXPECT_EQ(plain.Count(), 0);
    EXPECT_EQ(plain.GetFirstText(), "");
    // The first plain record of an empty list makes it uncategorised.
    for (const char* pszTime : {"1", "2", "3", "4", "5"}) {
        plain.Add(pszTime, std::string("v") + pszTime);
    }
    EXPECT_FALSE(plain.IsCategorized());
    EXPECT_EQ(plain.Count(), 5);
    EXPECT_EQ(plain.Dump(), Texts{"TIEMPO: 1   VALOR:v1"});
    const CListaAtributos copy(plain);
    plain.KeepLast(2);
    EXPECT_EQ(plain.GetTexts(), (Texts{"TIEMPO: 4   VALOR:v4", "TIEMPO: 5   VALOR:v5"}));
    EXPECT_EQ(plain.GetFirstText(), "TIEMPO: 4   VALOR:v4");
    EXPECT_EQ(copy.Count(), 5) << "the copy shares the records";
    EXPECT_FALSE(copy.IsCategorized());

    CListaAtributos categories;
    categories.AddWithCategory("Running", "1", "10");
    categories.AddWithCategory("Parado", "2", "0");
    categories.AddWithCategory("Running", "3", "11");
    // A plain record once the list holds records leaves the flag alone; the
    // count of a categorised list counts its categories' records only.
    categories.Add("4", "99");
    EXPECT_TRUE(categories.IsCategorized());
    EXPECT_EQ(categories.Count(), 3);
    EXPECT_EQ(categories.GetTexts(), Texts{"TIEMPO: 4   VALOR:99"});
    EXPECT_EQ(categories.Dump(), (Texts{"CATEGORIA: Parado   TIEMPO: 2   VALOR:0",
                                        "CATEGORIA: Running   TIEMPO: 1   VALOR:10"}));
    const CListaAtributos copied(categories);
    categories.KeepLast(1);
    EXPECT_EQ(categories.Count(), 2);
    EXPECT_EQ(categories.GetFirstPerCategory(),
              (Texts{"CATEGORIA: Parado   TIEMPO: 2   VALOR:0",
                     "CATEGORIA: Running   TIEMPO: 3   VALOR:11"}));
    categories.KeepLast(0);
    EXPECT_EQ(categories.Count(), 0);
    EXPECT_TRUE(categories.Dump().empty()) << "keeping none drops the categories";
    EXPECT_EQ(copied.Count(), 3);
    EXPECT_TRUE(copied.IsCategorized());
}

// Every row of the query on the database file, its columns joined by "|",
// read over a connection of the test's own (which makes a missing file).
Texts Rows(const std::string& strFile, const std::string& strSql) {
    sqlite3* pConnection = nullptr;
    EXPECT_EQ(sqlite3_open(strFile.c_str(), &pConnection), SQLITE_OK);
    Texts rows;
    char* pszError = nullptr;
    sqlite3_exec(
        pConnection, strSql.c_str(),
        [](void* pRows, int nColumns, char** ppValues, char**) {
            std::string strRow;
            for (int i = 0; i < nColumns; ++i) {
                strRow += (i ? "|" : "") + std::string(ppValues[i] ? ppValues[i] : "NULL");
            }
            static_cast<Texts*>(pRows)->push_back(strRow);
            return 0;
        },
        &rows, &pszError);
    EXPECT_EQ(pszError, nullptr) << pszError;
    sqlite3_free(pszError);
    sqlite3_close(pConnection);
    return rows;
}

TEST(DiccionarioAtrib, ValuesGoToTheirListsAndToRowsWithTheirIds) {
    velkotest::CTempFolder folder("velko_dic_");
    const std::string strFile = folder.GetPath() + "results.db";
    // A table of the database's own is kept; the missing ones are made.
    Rows(strFile,
         "CREATE TABLE AtributoCompleto (NombreElemento TEXT, "
         "NombreAtributo TEXT CHECK (NombreAtributo <> 'roto'), IDInfo INTEGER)");
    CDiccionarioAtrib dictionary;
    dictionary.SetDatabaseFile(strFile);
    dictionary.OpenDatabase();

    EXPECT_EQ(dictionary.Add("servidores", "s1", "1.5", "7"), CDiccionarioAtrib::DIC_CREATED);
    EXPECT_EQ(dictionary.Add("servidores", "s1", "2.5", "8"), CDiccionarioAtrib::DIC_FOUND);
    EXPECT_EQ(dictionary.AddWithCategory("Sala d'O'Brien", "h'2", "Llena", "3", "1"),
              CDiccionarioAtrib::DIC_CREATED);
    EXPECT_EQ(dictionary.AddWithCategory("Sala d'O'Brien", "h'2", "Vacía", "4", "0"),
              CDiccionarioAtrib::DIC_FOUND);
    EXPECT_EQ(Rows(strFile, "SELECT IDInfo, Tiempo, Valor FROM Informacion ORDER BY IDInfo"),
              (Texts{"1|1.5|7", "2|2.5|8", "3|3|1", "4|4|0"}));
    EXPECT_EQ(Rows(strFile, "SELECT * FROM AtributoCompleto ORDER BY IDInfo"),
              (Texts{"servidores|s1|1", "servidores|s1|2"}));
    EXPECT_EQ(Rows(strFile, "SELECT * FROM AtributoCatCompleto ORDER BY IDInfo"),
              (Texts{"Sala d'O'Brien|h'2|Llena|3", "Sala d'O'Brien|h'2|Vacía|4"}));
    EXPECT_EQ(dictionary.DumpList("s1", "servidores"), Texts{"TIEMPO: 1.5   VALOR:7"});
    EXPECT_EQ(dictionary.DumpList("h'2", "Sala d'O'Brien"),
              (Texts{"CATEGORIA: Llena   TIEMPO: 3   VALOR:1",
                     "CATEGORIA: Vacía   TIEMPO: 4   VALOR:0"}));
    EXPECT_EQ(dictionary.Count("s1", "servidores"), 2);
    EXPECT_EQ(dictionary.Count("s1", "Sala d'O'Brien"), 0);

    // A second insert that fails takes its Informacion row back with it and
    // leaves the lists alone; the database goes on working.
    EXPECT_THROW(dictionary.Add("servidores", "roto", "5", "5"), CCustomException);
    EXPECT_EQ(Rows(strFile, "SELECT count(*), max(IDInfo) FROM Informacion"), Texts{"4|4"});
    EXPECT_EQ(dictionary.GetElements().at("servidores").size(), 1u);
    dictionary.Add("servidores", "s2", "6", "6");
    EXPECT_EQ(Rows(strFile, "SELECT * FROM AtributoCompleto WHERE NombreAtributo = 's2'"),
              Texts{"servidores|s2|5"});

    // Copies share nothing; an empty list replaces the attribute's list;
    // keeping none empties the dictionary, not the database.
    CDiccionarioAtrib copy;
    copy.CopyFrom(dictionary);
    dictionary.KeepLast(1);
    EXPECT_EQ(dictionary.DumpList("s1", "servidores"), Texts{"TIEMPO: 2.5   VALOR:8"});
    dictionary.AddEmptyList("servidores", "s1");
    const CListaAtributos& empty = *dictionary.GetElements().at("servidores").at("s1");
    EXPECT_TRUE(empty.IsCreatedEmpty());
    EXPECT_EQ(empty.Count(), 0);
    dictionary.KeepLast(0);
    EXPECT_TRUE(dictionary.GetElements().empty());
    EXPECT_EQ(copy.Count("s1", "servidores"), 2);
    EXPECT_EQ(copy.Count("h'2", "Sala d'O'Brien"), 2);
    EXPECT_EQ(Rows(strFile, "SELECT count(*) FROM Informacion"), Texts{"5"});

    dictionary.CloseDatabase();
    try {
        dictionary.Add("servidores", "s1", "7", "7");
        ADD_FAILURE() << "a closed database took a value";
    } catch (const CCustomException& e) {
        EXPECT_EQ(e.GetMessageText(), "Error: La base de datos no está abierta");
    }
    EXPECT_TRUE(dictionary.GetElements().empty());
}

}  // namespace
