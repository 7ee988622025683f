#include "framework/data/sqlitereader.h"

#include <QSqlDriver>

#include <charconv>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <link.h>
#include <sqlite3.h>

namespace {

// True when the loaded Qt SQLite driver resolves SQLite to the library this
// program links. A driver with its own copy of SQLite hides it or exports it
// under the same names from itself; either way its handles are not ours.
bool driverSharesLibrary()
{
    static const bool shared = [] {
        std::string plugin;
        dl_iterate_phdr(
            [](dl_phdr_info *info, size_t, void *found) {
                if (info->dlpi_name && std::strstr(info->dlpi_name, "libqsqlite")) {
                    *static_cast<std::string *>(found) = info->dlpi_name;
                    return 1;
                }
                return 0;
            },
            &plugin);
        if (plugin.empty())
            return false;
        void *library = dlopen(plugin.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (!library)
            return false;
        void *theirs = dlsym(library, "sqlite3_prepare16_v2");
        dlclose(library);
        return theirs == reinterpret_cast<void *>(&sqlite3_prepare16_v2);
    }();
    return shared;
}

// A null string or byte array is bound as NULL, as the driver binds it.
bool isNullValue(const QVariant &value)
{
    if (value.isNull())
        return true;
    switch (value.userType()) {
    case QMetaType::QString:
        return static_cast<const QString *>(value.constData())->isNull();
    case QMetaType::QByteArray:
        return static_cast<const QByteArray *>(value.constData())->isNull();
    default:
        return false;
    }
}

} // namespace

sqlite3 *TSqliteReader::Handle(const QSqlDatabase &db)
{
    if (!db.isOpen() || db.driverName() != QLatin1StringView("QSQLITE") || !db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    if (!driverSharesLibrary())
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

bool TSqliteReader::Binds(const QVariantList &values)
{
    for (const QVariant &value : values) {
        if (isNullValue(value))
            continue;
        switch (value.userType()) {
        case QMetaType::QByteArray:
        case QMetaType::Int:
        case QMetaType::Bool:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::Double:
        case QMetaType::QString:
            break;
        default:
            return false; // dates and the like: the driver has its own text for them
        }
    }
    return true;
}

TSqliteReader::~TSqliteReader()
{
    Finish();
}

void TSqliteReader::Finish()
{
    if (m_stmt)
        sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
}

void TSqliteReader::fail(const char *what)
{
    m_error = QStringLiteral("%1 %2").arg(QString::fromUtf8(sqlite3_errmsg(m_db)),
                                          QString::fromLatin1(what));
    Finish();
}

bool TSqliteReader::Exec(const QString &sql, const QVariantList &binds)
{
    Finish();
    m_error.clear();
    const void *tail = nullptr;
    if (sqlite3_prepare16_v2(m_db, sql.utf16(), int(sql.size() * sizeof(char16_t)), &m_stmt,
                             &tail) != SQLITE_OK) {
        fail("Unable to execute statement");
        return false;
    }
    // One statement at a time, as through the driver.
    const auto *rest = static_cast<const char16_t *>(tail);
    const char16_t *end = reinterpret_cast<const char16_t *>(sql.utf16()) + sql.size();
    for (; rest && rest < end; ++rest)
        if (!QChar(*rest).isSpace()) {
            Finish();
            m_error = QStringLiteral("Unable to execute multiple statements at a time");
            return false;
        }
    if (!m_stmt) {
        m_error = QStringLiteral("Unable to execute statement");
        return false;
    }
    if (sqlite3_bind_parameter_count(m_stmt) != binds.size()) {
        Finish();
        m_error = QStringLiteral("Parameter count mismatch");
        return false;
    }
    for (int i = 0; i < binds.size(); ++i) {
        const QVariant &value = binds[i];
        const int at = i + 1;
        int status = SQLITE_OK;
        if (isNullValue(value)) {
            status = sqlite3_bind_null(m_stmt, at);
        } else {
            switch (value.userType()) {
            case QMetaType::QByteArray: {
                const QByteArray bytes = value.toByteArray();
                status = sqlite3_bind_blob(m_stmt, at, bytes.constData(), int(bytes.size()),
                                           SQLITE_TRANSIENT);
                break;
            }
            case QMetaType::Int:
            case QMetaType::Bool:
                status = sqlite3_bind_int(m_stmt, at, value.toInt());
                break;
            case QMetaType::UInt:
            case QMetaType::LongLong:
                status = sqlite3_bind_int64(m_stmt, at, value.toLongLong());
                break;
            case QMetaType::Double:
                status = sqlite3_bind_double(m_stmt, at, value.toDouble());
                break;
            default: {
                const QString text = value.toString();
                status = sqlite3_bind_text16(m_stmt, at, text.utf16(),
                                             int(text.size() * sizeof(char16_t)), SQLITE_TRANSIENT);
                break;
            }
            }
        }
        if (status != SQLITE_OK) {
            fail("Unable to bind parameters");
            return false;
        }
    }
    return true;
}

int TSqliteReader::ColumnCount() const
{
    return m_stmt ? sqlite3_column_count(m_stmt) : 0;
}

QString TSqliteReader::ColumnName(int column) const
{
    return m_stmt ? QString::fromUtf8(sqlite3_column_name(m_stmt, column)) : QString();
}

bool TSqliteReader::Next()
{
    if (!m_stmt)
        return false;
    const int status = sqlite3_step(m_stmt);
    if (status == SQLITE_ROW)
        return true;
    if (status != SQLITE_DONE)
        fail("Unable to fetch row");
    else
        Finish();
    return false;
}

bool TSqliteReader::IsNull(int column) const
{
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

QByteArrayView TSqliteReader::Utf8(int column)
{
    switch (sqlite3_column_type(m_stmt, column)) {
    case SQLITE_NULL:
        return {};
    case SQLITE_INTEGER: {
        m_scratch.resize(24);
        const auto [end, ignored] = std::to_chars(m_scratch.data(), m_scratch.data() + 24,
                                                  sqlite3_column_int64(m_stmt, column));
        return QByteArrayView(m_scratch.constData(), end - m_scratch.constData());
    }
    case SQLITE_FLOAT:
        m_scratch = QVariant(sqlite3_column_double(m_stmt, column)).toString().toUtf8();
        return m_scratch;
    case SQLITE_BLOB: {
        // The driver gives a blob as bytes, and their text is their UTF-8.
        const QByteArrayView cell(static_cast<const char *>(sqlite3_column_blob(m_stmt, column)),
                                  sqlite3_column_bytes(m_stmt, column));
        if (cell.isValidUtf8())
            return cell;
        m_scratch = QString::fromUtf8(cell).toUtf8();
        return m_scratch;
    }
    default: {
        // Text as stored, unless it is not valid UTF-8: then as the driver's
        // reading through UTF-16 makes it.
        const QByteArrayView cell(
            reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column)),
            sqlite3_column_bytes(m_stmt, column));
        if (cell.isValidUtf8())
            return cell;
        const void *wide = sqlite3_column_text16(m_stmt, column);
        m_scratch = QString::fromUtf16(static_cast<const char16_t *>(wide),
                                       sqlite3_column_bytes16(m_stmt, column) / 2)
                        .toUtf8();
        return m_scratch;
    }
    }
}
