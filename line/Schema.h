// The line database's tables, made and brought up to date on first connect.
#pragma once

#include "Database.h"

namespace line {

// The newest schema version this program writes.
constexpr int kSchemaVersion = 1;

// Applies the migrations the database lacks, in one write transaction (two
// stations connecting at once apply them once). A database newer than this
// program is refused.
DbStatus migrate(Connection& db);

}  // namespace line
