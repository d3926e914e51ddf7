#include "cli/sqlite_calls.h"

#include <dlfcn.h>

namespace velmora::cli {

namespace {

constexpr const char* libraryName = "libsqlite3.so.0";

struct Loaded {
    SqliteCalls calls{};
    std::string failure; // empty when every call was found
};

template <typename Call> bool bind(void* library, const char* name, Call& call, Loaded& loaded) {
    call = reinterpret_cast<Call>(::dlsym(library, name));
    if (call == nullptr && loaded.failure.empty()) {
        loaded.failure = std::string("cannot load ") + libraryName + ": " + name + " is missing";
    }
    return call != nullptr;
}

Loaded load() {
    Loaded loaded;
    void* library = ::dlopen(libraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        loaded.failure =
            std::string("cannot load ") + libraryName + ": " + (why != nullptr ? why : "not found");
        return loaded;
    }
    SqliteCalls& calls = loaded.calls;
    bind(library, "sqlite3_open_v2", calls.open_v2, loaded);
    bind(library, "sqlite3_close", calls.close, loaded);
    bind(library, "sqlite3_errmsg", calls.errmsg, loaded);
    bind(library, "sqlite3_exec", calls.exec, loaded);
    bind(library, "sqlite3_busy_timeout", calls.busy_timeout, loaded);
    bind(library, "sqlite3_prepare_v2", calls.prepare_v2, loaded);
    bind(library, "sqlite3_step", calls.step, loaded);
    bind(library, "sqlite3_finalize", calls.finalize, loaded);
    bind(library, "sqlite3_bind_text", calls.bind_text, loaded);
    bind(library, "sqlite3_bind_null", calls.bind_null, loaded);
    bind(library, "sqlite3_bind_double", calls.bind_double, loaded);
    bind(library, "sqlite3_column_text", calls.column_text, loaded);
    bind(library, "sqlite3_column_double", calls.column_double, loaded);
    bind(library, "sqlite3_db_release_memory", calls.db_release_memory, loaded);
    return loaded; // the library stays loaded for the process
}

} // namespace

const SqliteCalls* sqliteCalls(std::string& reason) {
    static const Loaded loaded = load();
    if (!loaded.failure.empty()) {
        reason = loaded.failure;
        return nullptr;
    }
    return &loaded.calls;
}

} // namespace velmora::cli
