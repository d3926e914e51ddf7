#pragma once

#include "cli/run_report.h"
#include "serial/port_list.h"

#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace velmora::cli {

struct SqliteCalls;

// One board run as the history keeps it.
struct HistoryRow {
    std::string start; // ISO 8601, UTC
    std::string end;
    std::string station;   // the host that ran it
    std::string port;      // as named
    std::string usbVendor; // "0403"; empty where the port is no USB adapter
    std::string usbProduct;
    std::string usbSerial;
    std::string command; // flash, all, write, boot
    std::string program; // the S-record file
    std::string imageSha256;
    std::string result; // programmed, failed, interrupted
    std::string stage;  // where a run that failed ended
    std::string cause;  // why, in the system's words
    double seconds = 0;
    std::vector<std::string> messages;
};

// What a row takes beside the run's own record.
struct HistoryContext {
    std::string station;
    std::string command;
    std::string program;
    std::string imageSha256;
    std::string usbVendor, usbProduct, usbSerial;
    std::string stage; // what the run showed last, for a record that names none
    std::string cause;
};

struct Board;
// What one board among several showed beside its record: its exchange, its
// first failure.
HistoryContext historyContextOf(const Board& board, const std::string& command,
                                const std::string& program, const std::string& imageSha256);

// The one way a run record becomes a history row.
HistoryRow historyRowOf(const BoardRecord& record, const HistoryContext& context);

// This machine's name.
std::string stationName();
// The USB identity of the adapter behind a port (ids as "0403"), where it
// has one: a link (/dev/serial/by-id/...) is followed to its device, which
// is looked up among the ports present.
void adapterIdentity(const std::string& port, HistoryContext& context);
void adapterIdentity(const std::string& port, const std::vector<PortInfo>& ports,
                     HistoryContext& context);

// A history file in SQLite: write-ahead logging, one transaction per row, so
// a station killed at any moment leaves every run whole or absent.
class HistoryDb {
public:
    HistoryDb() = default;
    ~HistoryDb();
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;

    // Opens (making it when absent) for writing; false and error() when not.
    bool open(const std::string& path);
    // Opens an existing file for reading only.
    bool openToRead(const std::string& path);
    bool add(const HistoryRow& row);
    bool isOpen() const { return db != nullptr; }
    // The file and the system's reason.
    std::string error() const { return lastError; }

    struct Filter {
        std::string since; // start >= since
        std::string until; // start < until
        std::string result;
        std::string port;  // the port as named, or the adapter's serial number
        std::string image; // a prefix of the image's SHA-256
    };
    // The rows that pass the filter, oldest first; false and error() when
    // the file cannot be read.
    bool read(const Filter& filter, std::vector<HistoryRow>& rows);

private:
    bool fail(const std::string& what);
    bool execute(const char* sql);
    bool loadCalls();
    const SqliteCalls* calls = nullptr;
    sqlite3* db = nullptr;
    std::string path;
    std::string lastError;
};

// A time the history's filters take: an ISO 8601 date or date and time
// (UTC), or a span back from now ("30m", "12h", "7d"). Empty when the text
// is none of these.
std::string historyTime(const std::string& text);

} // namespace velmora::cli
