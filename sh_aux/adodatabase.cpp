#include "sh_aux/adodatabase.h"

#include <sqlite3.h>

#include <climits>
#include <cstring>
#include <memory>

#include "sh_aux/customexception.h"

namespace {

const char* const kNotOpen = "La base de datos no está abierta";
const char* const kMaxQuery = "SELECT MAX(IDInfo) As [forana] FROM Informacion";
const char* const kMaxFailed = "Error seleccionando el maximo en la bbdd.";

struct StatementDeleter {
    void operator()(sqlite3_stmt* pStatement) const { sqlite3_finalize(pStatement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// The one statement of strSql, or null when the text does not compile or
// holds anything but blanks and comments after the first statement.
Statement PrepareOne(sqlite3* pConnection, const std::string& strSql) {
    sqlite3_stmt* pRaw = nullptr;
    const char* pszTail = nullptr;
    if (sqlite3_prepare_v2(pConnection, strSql.c_str(), static_cast<int>(strSql.size()) + 1, &pRaw,
                           &pszTail) != SQLITE_OK) {
        sqlite3_finalize(pRaw);
        return nullptr;
    }
    Statement statement(pRaw);
    if (statement && pszTail && *pszTail) {
        sqlite3_stmt* pNext = nullptr;
        const int nResult = sqlite3_prepare_v2(pConnection, pszTail, -1, &pNext, nullptr);
        const bool bSecond = nResult != SQLITE_OK || pNext != nullptr;
        sqlite3_finalize(pNext);
        if (bSecond) {
            return nullptr;
        }
    }
    return statement;
}

// "a, b, c"
std::string Join(const std::vector<std::string>& vecItems) {
    std::string strText;
    for (size_t i = 0; i < vecItems.size(); ++i) {
        strText += (i == 0 ? "" : ", ") + vecItems[i];
    }
    return strText;
}

std::string QuoteIdentifier(const std::string& strName) {
    std::string strQuoted = "\"";
    for (const char ch : strName) {
        strQuoted += ch == '"' ? "\"\"" : std::string(1, ch);
    }
    return strQuoted + "\"";
}

std::string InsertText(const std::string& strTable, const std::vector<std::string>& vecColumns,
                       const std::vector<std::string>& vecValues) {
    std::string strSql = "INSERT INTO " + strTable + " ";
    if (!vecColumns.empty()) {
        strSql += "(" + Join(vecColumns) + ")";
    }
    return strSql + " VALUES (" + Join(vecValues) + ")";
}

}  // namespace

CAdoDatabase::~CAdoDatabase() {
    Close();
}

void CAdoDatabase::Open(const std::string& strFile) {
    Close();
    const std::string strConnection = "Data Source=" + strFile + ";";
    sqlite3* pConnection = nullptr;
    const int nResult =
        sqlite3_open_v2(strFile.c_str(), &pConnection, SQLITE_OPEN_READWRITE, nullptr);
    // A file that is no database opens; the first read of its schema fails.
    if (nResult != SQLITE_OK || sqlite3_exec(pConnection, "SELECT count(*) FROM sqlite_master",
                                             nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(pConnection);
        CCustomException::ThrowError("No se puede abrir la base de datos: " + strConnection);
    }
    m_pConnection = pConnection;
}

void CAdoDatabase::Close() {
    if (m_pConnection) {
        sqlite3_close_v2(m_pConnection);
        m_pConnection = nullptr;
    }
}

sqlite3* CAdoDatabase::Connection() const {
    if (!m_pConnection) {
        CCustomException::ThrowError(kNotOpen);
    }
    return m_pConnection;
}

void CAdoDatabase::Run(const std::string& strSql, const std::vector<CDbValue>& vecValues) {
    sqlite3* pConnection = Connection();
    Statement statement = PrepareOne(pConnection, strSql);
    bool bOk = statement != nullptr &&
               sqlite3_bind_parameter_count(statement.get()) == static_cast<int>(vecValues.size());
    for (size_t i = 0; bOk && i < vecValues.size(); ++i) {
        const int nIndex = static_cast<int>(i) + 1;
        sqlite3_stmt* p = statement.get();
        const int nBound = std::visit(
            [&](const auto& value) {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, std::nullptr_t>) {
                    return sqlite3_bind_null(p, nIndex);
                } else if constexpr (std::is_same_v<T, long long>) {
                    return sqlite3_bind_int64(p, nIndex, value);
                } else if constexpr (std::is_same_v<T, double>) {
                    return sqlite3_bind_double(p, nIndex, value);
                } else {
                    return sqlite3_bind_text(p, nIndex, value.c_str(),
                                             static_cast<int>(value.size()), SQLITE_TRANSIENT);
                }
            },
            vecValues[i]);
        bOk = nBound == SQLITE_OK;
    }
    int nStep = SQLITE_ROW;
    while (bOk && nStep == SQLITE_ROW) {
        nStep = sqlite3_step(statement.get());
    }
    if (!bOk || nStep != SQLITE_DONE) {
        CCustomException::ThrowError(strSql + " no es una consulta correcta");
    }
}

void CAdoDatabase::Execute(const std::string& strSql) {
    Run(strSql, {});
}

void CAdoDatabase::Insert(const std::string& strTable, const std::vector<std::string>& vecColumns,
                          const std::vector<std::string>& vecValues) {
    Run(InsertText(strTable, vecColumns, vecValues), {});
}

long long CAdoDatabase::InsertRow(const std::string& strTable,
                                  const std::vector<std::string>& vecColumns,
                                  const std::vector<CDbValue>& vecValues) {
    std::vector<std::string> vecQuoted;
    for (const std::string& strColumn : vecColumns) {
        vecQuoted.push_back(QuoteIdentifier(strColumn));
    }
    const std::vector<std::string> vecMarks(vecValues.size(), "?");
    Run(InsertText(QuoteIdentifier(strTable), vecQuoted, vecMarks), vecValues);
    return sqlite3_last_insert_rowid(m_pConnection);
}

int CAdoDatabase::GetMaxInfoId(const std::string& /*strUnusedName*/) {
    Statement statement = PrepareOne(Connection(), kMaxQuery);
    if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) {
        CCustomException::ThrowError(kMaxFailed);
    }
    for (int i = 0; i < sqlite3_column_count(statement.get()); ++i) {
        const char* pszName = sqlite3_column_name(statement.get(), i);
        if (pszName && std::strcmp(pszName, "forana") == 0 &&
            sqlite3_column_type(statement.get(), i) == SQLITE_INTEGER) {
            const sqlite3_int64 nValue = sqlite3_column_int64(statement.get(), i);
            if (nValue >= INT_MIN && nValue <= INT_MAX) {
                return static_cast<int>(nValue);
            }
        }
    }
    // A table without rows gives a null maximum, which is no integer.
    CCustomException::ThrowError(kMaxFailed);
}
