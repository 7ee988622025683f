#include "db/sqlitesettings.h"

#include <sqlite3.h>

#include <mutex>

namespace quv::db {

void applySqliteSettings()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // With memory statistics on (SQLite's default) every allocation of
        // the library passes one process-wide mutex. A background load, the
        // row counter beside it and the server's readers each convert every
        // text cell they read, so they queue on that mutex: a million-value
        // dimension loaded in 2.5 s instead of ~0.8 s. Nothing here reads
        // the statistics. SQLITE_MISUSE, when SQLite already started, leaves
        // them on and is otherwise harmless.
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    });
}

} // namespace quv::db
