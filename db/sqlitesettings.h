#pragma once

// Settings of the SQLite library that hold for the whole process. SQLite
// takes them only before its first connection opens, so every place that
// opens one calls this first; whichever comes first applies them.

namespace quv::db {

/// Applies the process-wide settings once; later calls, and calls after
/// SQLite has started, change nothing.
void applySqliteSettings();

} // namespace quv::db
