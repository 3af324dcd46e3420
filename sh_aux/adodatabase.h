#pragma once

// The results database: a small client of an SQLite database file, used as
// the program's store of time-stamped results (table Informacion and the
// attribute tables). Failures are thrown as CCustomException; every call
// comes from the thread that uses the object.

#include <string>
#include <variant>
#include <vector>

struct sqlite3;

// A value bound to an insert: null, an integer, a real or a text.
using CDbValue = std::variant<std::nullptr_t, long long, double, std::string>;

class CAdoDatabase {
public:
    // Holds no connection yet; never fails.
    CAdoDatabase() = default;
    ~CAdoDatabase();
    CAdoDatabase(const CAdoDatabase&) = delete;
    CAdoDatabase& operator=(const CAdoDatabase&) = delete;

    // Opens an existing database file for reading and writing (a missing file
    // is not created); an open database is closed first. Throws "No se puede
    // abrir la base de datos: Data Source=<file>;".
    void Open(const std::string& strFile);
    // Closes the database; nothing when it is not open.
    void Close();
    bool IsOpen() const { return m_pConnection != nullptr; }

    // Runs "INSERT INTO <table> (<columns>) VALUES (<values>)", the parenthesis
    // of columns only when there are some. Values go in as given (the caller
    // quotes texts). Exactly one statement runs: SQL text that does not run,
    // or that holds a second statement, throws "<SQL> no es una consulta
    // correcta" and changes nothing.
    void Insert(const std::string& strTable, const std::vector<std::string>& vecColumns,
                const std::vector<std::string>& vecValues);
    // The highest IDInfo of table Informacion. Throws "Error seleccionando el
    // maximo en la bbdd." when it cannot be read (no table, no rows). The
    // argument is not used.
    int GetMaxInfoId(const std::string& strUnusedName = std::string());

    // Inserts one row with the values bound as parameters (names quoted as
    // identifiers) and returns its row id. Failures throw as Insert does.
    long long InsertRow(const std::string& strTable, const std::vector<std::string>& vecColumns,
                        const std::vector<CDbValue>& vecValues);
    // Runs one SQL statement (a table definition, BEGIN, COMMIT, ...), with
    // the failures of Insert.
    void Execute(const std::string& strSql);

private:
    sqlite3* Connection() const;
    // Prepares exactly one statement of strSql and runs it, binding vecValues
    // to its parameters.
    void Run(const std::string& strSql, const std::vector<CDbValue>& vecValues);

    sqlite3* m_pConnection = nullptr;
};
