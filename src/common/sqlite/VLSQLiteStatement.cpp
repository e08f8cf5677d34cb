#include "VLSQLiteStatement.h"

#include <sqlite3.h>

#include "VLLogger.h"

VLSQLiteStatement::VLSQLiteStatement(sqlite3* db) : m_db(db), m_statement(nullptr)
{
}

VLSQLiteStatement::~VLSQLiteStatement()
{
    finalize();
}

bool VLSQLiteStatement::check(int result, bool rowAllowed)
{
    if (result == SQLITE_OK || result == SQLITE_DONE || (rowAllowed && result == SQLITE_ROW))
        return true;
    VL_LOG_ERROR("SQLite failed : (" << result << ") " << sqlite3_errmsg(m_db));
    return false;
}

bool VLSQLiteStatement::prepare(const std::string& sql)
{
    finalize();
    return check(sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &m_statement, nullptr), false);
}

bool VLSQLiteStatement::bindText(int index, const std::string& value)
{
    return check(sqlite3_bind_text(m_statement, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT),
                 false);
}

bool VLSQLiteStatement::bindInt64(int index, int64_t value)
{
    return check(sqlite3_bind_int64(m_statement, index, value), false);
}

bool VLSQLiteStatement::step(bool* row)
{
    int result = sqlite3_step(m_statement);
    if (row)
        *row = result == SQLITE_ROW;
    return check(result, true);
}

bool VLSQLiteStatement::execute()
{
    return check(sqlite3_step(m_statement), false);
}

bool VLSQLiteStatement::reset()
{
    return check(sqlite3_reset(m_statement), false);
}

void VLSQLiteStatement::rewind()
{
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

void VLSQLiteStatement::finalize()
{
    if (m_statement) {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
}

int VLSQLiteStatement::columnInt(int column)
{
    return sqlite3_column_int(m_statement, column);
}

int64_t VLSQLiteStatement::columnInt64(int column)
{
    return sqlite3_column_int64(m_statement, column);
}

std::string VLSQLiteStatement::columnText(int column)
{
    const unsigned char* text = sqlite3_column_text(m_statement, column);
    if (!text)
        return std::string();
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(m_statement, column)));
}

bool VLSQLiteStatement::execute(sqlite3* db, const std::string& sql)
{
    VLSQLiteStatement statement(db);
    return statement.prepare(sql) && statement.execute();
}
