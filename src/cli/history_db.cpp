#include "cli/history_db.h"

#include "cli/board_run.h"
#include "cli/sqlite_calls.h"
#include "serial/port_list.h"
#include "serial/port_names.h"

#include <cctype>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace velmora::cli {

namespace {

// The history's one table; a file of a later version may add columns.
constexpr const char* schema = R"(
CREATE TABLE IF NOT EXISTS runs (
    id INTEGER PRIMARY KEY,
    start TEXT NOT NULL,
    end TEXT NOT NULL,
    station TEXT NOT NULL,
    port TEXT NOT NULL,
    usb_vendor TEXT,
    usb_product TEXT,
    usb_serial TEXT,
    command TEXT NOT NULL,
    program TEXT NOT NULL,
    image_sha256 TEXT,
    result TEXT NOT NULL,
    stage TEXT,
    cause TEXT,
    seconds REAL NOT NULL,
    messages TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS runs_start ON runs (start);
)";

std::string textOf(const SqliteCalls* calls, sqlite3_stmt* statement, int column) {
    const unsigned char* text = calls->column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

void bindText(const SqliteCalls* calls, sqlite3_stmt* statement, int index, const std::string& text,
              bool nullWhenEmpty) {
    if (nullWhenEmpty && text.empty()) {
        calls->bind_null(statement, index);
    } else {
        calls->bind_text(statement, index, text.c_str(), static_cast<int>(text.size()),
                         SQLITE_TRANSIENT);
    }
}

} // namespace

HistoryContext historyContextOf(const Board& board, const std::string& command,
                                const std::string& program, const std::string& imageSha256) {
    HistoryContext context;
    context.station = stationName();
    context.command = command;
    context.program = program;
    context.imageSha256 = imageSha256;
    context.stage = board.stage;
    context.cause = board.firstFailure;
    return context;
}

HistoryRow historyRowOf(const BoardRecord& record, const HistoryContext& context) {
    HistoryRow row;
    row.start = record.startTime;
    row.end = record.endTime;
    row.station = context.station;
    row.port = record.port;
    row.usbVendor = context.usbVendor;
    row.usbProduct = context.usbProduct;
    row.usbSerial = context.usbSerial;
    row.command = context.command;
    row.program = context.program;
    row.imageSha256 = context.imageSha256;
    row.result = record.result();
    // The run's own record names where it ended and why; a run that ended
    // before it could send one (it could not start, it crashed) has what it
    // showed.
    row.stage = !record.stage.empty() ? record.stage : record.programmed ? "" : context.stage;
    row.cause = !record.cause.empty() ? record.cause : record.programmed ? "" : context.cause;
    row.seconds = record.seconds;
    row.messages = record.messages;
    return row;
}

std::string stationName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

void adapterIdentity(const std::string& port, HistoryContext& context) {
    adapterIdentity(port, availablePorts(), context);
}

void adapterIdentity(const std::string& port, const std::vector<PortInfo>& ports,
                     HistoryContext& context) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path device = fs::weakly_canonical(resolvePort(port), error);
    if (error || device.empty()) {
        return;
    }
    for (const PortInfo& info : ports) {
        std::error_code ignored;
        if (fs::weakly_canonical(info.device, ignored) == device) {
            context.usbVendor = usbIdText(info.vendorId);
            context.usbProduct = usbIdText(info.productId);
            context.usbSerial = info.serialNumber;
            return;
        }
    }
}

HistoryDb::~HistoryDb() {
    if (db != nullptr) {
        calls->close(db);
    }
}

bool HistoryDb::fail(const std::string& what) {
    lastError = "history " + path + ": " + what + ": " +
                (db != nullptr ? calls->errmsg(db) : "out of memory");
    return false;
}

bool HistoryDb::execute(const char* sql) {
    return calls->exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool HistoryDb::loadCalls() {
    std::string reason;
    calls = sqliteCalls(reason);
    if (calls == nullptr) {
        lastError = "history " + path + ": " + reason;
    }
    return calls != nullptr;
}

bool HistoryDb::open(const std::string& file) {
    path = file;
    if (!loadCalls()) {
        return false;
    }
    if (calls->open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        fail("cannot open");
        calls->close(db);
        db = nullptr;
        return false;
    }
    // Several writers (a station and a single run) wait for each other.
    calls->busy_timeout(db, 10000);
    // Write-ahead logging; every commit reaches the disk before the next board.
    if (!execute("PRAGMA journal_mode=WAL") || !execute("PRAGMA synchronous=FULL") ||
        !execute(schema)) {
        fail("cannot prepare");
        calls->close(db);
        db = nullptr;
        return false;
    }
    return true;
}

bool HistoryDb::openToRead(const std::string& file) {
    path = file;
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
        lastError = "history " + file + ": no such file";
        return false;
    }
    if (!loadCalls()) {
        return false;
    }
    if (calls->open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        fail("cannot open");
        calls->close(db);
        db = nullptr;
        return false;
    }
    calls->busy_timeout(db, 10000);
    return true;
}

bool HistoryDb::add(const HistoryRow& row) {
    sqlite3_stmt* statement = nullptr;
    const char* insert =
        "INSERT INTO runs (start, end, station, port, usb_vendor, usb_product, usb_serial, "
        "command, program, image_sha256, result, stage, cause, seconds, messages) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
    if (!execute("BEGIN IMMEDIATE")) {
        return fail("cannot write");
    }
    bool written = calls->prepare_v2(db, insert, -1, &statement, nullptr) == SQLITE_OK;
    if (written) {
        int i = 1;
        for (const std::string* text : {&row.start, &row.end, &row.station, &row.port}) {
            bindText(calls, statement, i++, *text, false);
        }
        for (const std::string* text : {&row.usbVendor, &row.usbProduct, &row.usbSerial}) {
            bindText(calls, statement, i++, *text, true);
        }
        bindText(calls, statement, i++, row.command, false);
        bindText(calls, statement, i++, row.program, false);
        bindText(calls, statement, i++, row.imageSha256, true);
        bindText(calls, statement, i++, row.result, false);
        bindText(calls, statement, i++, row.stage, true);
        bindText(calls, statement, i++, row.cause, true);
        calls->bind_double(statement, i++, row.seconds);
        bindText(calls, statement, i++, jsonText(nlohmann::ordered_json(row.messages)), false);
        written = calls->step(statement) == SQLITE_DONE;
    }
    calls->finalize(statement);
    if (!written || !execute("COMMIT")) {
        fail("cannot write");
        execute("ROLLBACK");
        return false;
    }
    // A station adds a row per board for days and never reads them back: the
    // pages written go from the cache at once, or it would grow with the file
    // up to its limit.
    calls->db_release_memory(db);
    return true;
}

bool HistoryDb::read(const Filter& filter, std::vector<HistoryRow>& rows) {
    std::string sql = "SELECT start, end, station, port, usb_vendor, usb_product, usb_serial, "
                      "command, program, image_sha256, result, stage, cause, seconds, messages "
                      "FROM runs WHERE 1";
    std::vector<std::string> values;
    auto where = [&](const std::string& value, const char* condition) {
        if (!value.empty()) {
            sql += condition;
            values.push_back(value);
        }
    };
    where(filter.since, " AND start >= ?");
    where(filter.until, " AND start < ?");
    where(filter.result, " AND result = ?");
    if (!filter.port.empty()) {
        sql += " AND (port = ? OR usb_serial = ?)";
        values.push_back(filter.port);
        values.push_back(filter.port);
    }
    where(filter.image.empty() ? "" : filter.image + "%", " AND image_sha256 LIKE ?");
    sql += " ORDER BY start, id";
    sqlite3_stmt* statement = nullptr;
    if (calls->prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        return fail("cannot read");
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        bindText(calls, statement, static_cast<int>(i + 1), values[i], false);
    }
    int step;
    while ((step = calls->step(statement)) == SQLITE_ROW) {
        HistoryRow row;
        std::string* texts[] = {&row.start,     &row.end,         &row.station,   &row.port,
                                &row.usbVendor, &row.usbProduct,  &row.usbSerial, &row.command,
                                &row.program,   &row.imageSha256, &row.result,    &row.stage,
                                &row.cause};
        for (int i = 0; i < 13; ++i) {
            *texts[i] = textOf(calls, statement, i);
        }
        row.seconds = calls->column_double(statement, 13);
        const nlohmann::json messages =
            nlohmann::json::parse(textOf(calls, statement, 14), nullptr, false);
        if (messages.is_array()) {
            for (const auto& message : messages) {
                if (message.is_string()) {
                    row.messages.push_back(message.get<std::string>());
                }
            }
        }
        rows.push_back(std::move(row));
    }
    calls->finalize(statement);
    return step == SQLITE_DONE || fail("cannot read");
}

std::string historyTime(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    // A span back from now.
    const char unit = text.back();
    const std::string count = text.substr(0, text.size() - 1);
    if (!count.empty() && count.size() < 9 &&
        count.find_first_not_of("0123456789") == std::string::npos &&
        (unit == 's' || unit == 'm' || unit == 'h' || unit == 'd')) {
        const long long seconds = std::stoll(count) * (unit == 's'   ? 1
                                                       : unit == 'm' ? 60
                                                       : unit == 'h' ? 3600
                                                                     : 86400);
        const std::time_t then = std::time(nullptr) - seconds;
        std::tm parts{};
        gmtime_r(&then, &parts);
        char out[32];
        std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%S", &parts);
        return out;
    }
    // A date, a date and time: the history's own form up to some point.
    const std::string form = "dddd-dd-ddTdd:dd:dd";
    std::string time = text;
    if (time.size() > 10 && time[10] == ' ') {
        time[10] = 'T';
    }
    if (!time.empty() && time.back() == 'Z') {
        time.pop_back();
    }
    if (time.size() != 10 && time.size() != 13 && time.size() != 16 && time.size() != 19) {
        return {};
    }
    for (std::size_t i = 0; i < time.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(time[i])) != 0;
        if (form[i] == 'd' ? !digit : time[i] != form[i]) {
            return {};
        }
    }
    return time;
}

} // namespace velmora::cli
