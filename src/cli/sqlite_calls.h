#pragma once

#include <sqlite3.h>
#include <string>

namespace velmora::cli {

// The SQLite calls the history makes, from the library loaded when the first
// history is opened: the commands that keep none (a conversion, a run
// without --db) start without loading and binding it.
struct SqliteCalls {
    decltype(&::sqlite3_open_v2) open_v2;
    decltype(&::sqlite3_close) close;
    decltype(&::sqlite3_errmsg) errmsg;
    decltype(&::sqlite3_exec) exec;
    decltype(&::sqlite3_busy_timeout) busy_timeout;
    decltype(&::sqlite3_prepare_v2) prepare_v2;
    decltype(&::sqlite3_step) step;
    decltype(&::sqlite3_finalize) finalize;
    decltype(&::sqlite3_bind_text) bind_text;
    decltype(&::sqlite3_bind_null) bind_null;
    decltype(&::sqlite3_bind_double) bind_double;
    decltype(&::sqlite3_column_text) column_text;
    decltype(&::sqlite3_column_double) column_double;
    decltype(&::sqlite3_db_release_memory) db_release_memory;
};

// The calls, loaded once; nullptr and `reason` ("cannot load libsqlite3.so.0:
// ...") when the library or one of them is missing.
const SqliteCalls* sqliteCalls(std::string& reason);

} // namespace velmora::cli
