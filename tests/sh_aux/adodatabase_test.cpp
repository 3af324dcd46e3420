#include "sh_aux/adodatabase.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "sh_aux/customexception.h"
#include "support/filebytes.h"
#include "support/tempfolder.h"

namespace {

// The message of the CCustomException that fn throws; "" when it throws none.
std::string ThrownText(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const CCustomException& e) {
        return e.GetMessageText();
    }
    return {};
}

// A results database on a fresh file with an empty table Informacion.
class ResultsDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        velkotest::WriteFileBytes(m_strFile, "");  // an empty file is an empty database
        m_db.Open(m_strFile);
        m_db.Execute("CREATE TABLE Informacion (IDInfo INTEGER PRIMARY KEY, Tiempo, Valor)");
    }

    velkotest::CTempFolder m_folder{"velko_db_"};
    std::string m_strFile = m_folder.GetPath() + "results.db";
    CAdoDatabase m_db;
};

TEST_F(ResultsDatabaseTest, InsertTextsAndTheHighestId) {
    // The texts, seen in the failure that names them: no columns leaves two
    // blanks before VALUES; values are joined by ", ".
    EXPECT_EQ(ThrownText([&] {
                  m_db.Insert("Nada", {}, {"1", "'a'", "2"});
              }),
              "Error: INSERT INTO Nada  VALUES (1, 'a', 2) no es una consulta correcta");
    EXPECT_EQ(ThrownText([&] { m_db.Insert("Nada", {"Valor"}, {"42"}); }),
              "Error: INSERT INTO Nada (Valor) VALUES (42) no es una consulta correcta");

    m_db.Insert("Informacion", {"Tiempo", "Valor"}, {"1.5", "'uno'"});
    m_db.Insert("Informacion", {}, {"7", "2.5", "'it''s'"});
    EXPECT_EQ(m_db.GetMaxInfoId(), 7);

    // Bound values need no quoting, and the new row's id comes back.
    EXPECT_EQ(m_db.InsertRow("Informacion", {"Tiempo", "Valor"},
                             {3.0, std::string("1); DROP TABLE Informacion; --")}),
              8);
    EXPECT_EQ(m_db.InsertRow("Informacion", {"IDInfo", "Valor"}, {20LL, nullptr}), 20);
    EXPECT_EQ(m_db.GetMaxInfoId("unused"), 20);
}

TEST_F(ResultsDatabaseTest, FailuresKeepTheirTextsAndTheTable) {
    const std::string strNoMax = "Error: Error seleccionando el maximo en la bbdd.";
    EXPECT_EQ(ThrownText([&] { m_db.GetMaxInfoId(); }), strNoMax);  // no rows yet

    m_db.Insert("Informacion", {"Tiempo"}, {"1"});
    EXPECT_EQ(ThrownText([&] { m_db.Insert("Informacion", {"Nope"}, {"1"}); }),
              "Error: INSERT INTO Informacion (Nope) VALUES (1) no es una consulta correcta");
    // A value that would run a second statement runs nothing at all.
    EXPECT_EQ(ThrownText([&] {
                  m_db.Insert("Informacion", {"Tiempo"}, {"1); DROP TABLE Informacion; --"});
              }),
              "Error: INSERT INTO Informacion (Tiempo) VALUES (1); DROP TABLE Informacion; --) no "
              "es una consulta correcta");
    EXPECT_EQ(m_db.GetMaxInfoId(), 1);

    m_db.Close();
    EXPECT_EQ(ThrownText([&] { m_db.GetMaxInfoId(); }), "Error: La base de datos no está abierta");
    EXPECT_EQ(ThrownText([&] {
                  m_db.Insert("Informacion", {}, {"2", "0", "0"});
              }),
              "Error: La base de datos no está abierta");

    // A missing file is not created; a file that is no database does not open.
    const std::string strMissing = m_folder.GetPath() + "missing.db";
    EXPECT_EQ(ThrownText([&] { m_db.Open(strMissing); }),
              "Error: No se puede abrir la base de datos: Data Source=" + strMissing + ";");
    EXPECT_FALSE(std::filesystem::exists(strMissing));
    const std::string strText = m_folder.GetPath() + "notes.txt";
    velkotest::WriteFileBytes(strText, "these are no tables, just some text of some length\n");
    EXPECT_EQ(ThrownText([&] { m_db.Open(strText); }),
              "Error: No se puede abrir la base de datos: Data Source=" + strText + ";");
    EXPECT_FALSE(m_db.IsOpen());

    CAdoDatabase reopened;
    reopened.Open(m_strFile);
    EXPECT_EQ(reopened.GetMaxInfoId(), 1);
}

}  // namespace
