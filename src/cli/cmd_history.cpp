// velmora-cli history: the runs one or several stations kept, filtered, as a
// table with totals, CSV or JSON lines.

#include "cli/commands.h"
#include "cli/history_db.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

namespace velmora::cli {

namespace {

struct HistoryOptions {
    std::vector<std::string> dbs;
    std::string since, until, result, port, image;
    bool csv = false;
    bool json = false;
};

std::string joined(const std::vector<std::string>& messages) {
    std::string text;
    for (const std::string& message : messages) {
        text += (text.empty() ? "" : " | ") + message;
    }
    return text;
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

void printCsv(const std::vector<HistoryRow>& rows) {
    std::printf("start,end,station,port,usb_vendor,usb_product,usb_serial,command,program,"
                "image_sha256,result,stage,cause,seconds,messages\r\n");
    for (const HistoryRow& row : rows) {
        const std::string fields[] = {row.start,           row.end,
                                      row.station,         row.port,
                                      row.usbVendor,       row.usbProduct,
                                      row.usbSerial,       row.command,
                                      row.program,         row.imageSha256,
                                      row.result,          row.stage,
                                      row.cause,           secondsText(row.seconds),
                                      joined(row.messages)};
        std::string line;
        for (const std::string& field : fields) {
            line += (line.empty() ? "" : ",") + csvField(field);
        }
        std::printf("%s\r\n", line.c_str());
    }
}

void printJson(const std::vector<HistoryRow>& rows) {
    auto orNull = [](const std::string& text) {
        return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
    };
    for (const HistoryRow& row : rows) {
        nlohmann::ordered_json object;
        object["start"] = row.start;
        object["end"] = row.end;
        object["station"] = row.station;
        object["port"] = row.port;
        object["usbVendor"] = orNull(row.usbVendor);
        object["usbProduct"] = orNull(row.usbProduct);
        object["usbSerial"] = orNull(row.usbSerial);
        object["command"] = row.command;
        object["program"] = row.program;
        object["imageSha256"] = orNull(row.imageSha256);
        object["result"] = row.result;
        object["stage"] = orNull(row.stage);
        object["cause"] = orNull(row.cause);
        object["seconds"] = std::round(row.seconds * 1000) / 1000;
        object["messages"] = row.messages;
        std::printf("%s\n", jsonText(object).c_str());
    }
}

void printTable(const std::vector<HistoryRow>& rows) {
    std::size_t portWidth = 4;
    for (const HistoryRow& row : rows) {
        portWidth = std::max(portWidth, row.port.size());
    }
    const int w = static_cast<int>(std::min<std::size_t>(portWidth, 48));
    std::printf("%-24s  %-*s  %-12s  %-8s  %-11s  %8s  %s\n", "start", w, "port", "serial",
                "command", "result", "time", "stage: cause");
    int programmed = 0, failed = 0, interrupted = 0;
    for (const HistoryRow& row : rows) {
        std::string why = row.stage;
        if (!row.cause.empty()) {
            why += (why.empty() ? "" : ": ") + row.cause;
        }
        std::printf("%-24s  %-*s  %-12s  %-8s  %-11s  %6.1f s  %s\n", row.start.c_str(), w,
                    row.port.c_str(), row.usbSerial.empty() ? "-" : row.usbSerial.c_str(),
                    row.command.c_str(), row.result.c_str(), row.seconds, why.c_str());
        programmed += row.result == "programmed" ? 1 : 0;
        interrupted += row.result == "interrupted" ? 1 : 0;
        failed += row.result == "failed" ? 1 : 0;
    }
    std::printf("%zu runs: %d programmed, %d failed, %d interrupted\n", rows.size(), programmed,
                failed, interrupted);
}

int runHistory(const HistoryOptions& options) {
    HistoryDb::Filter filter;
    filter.result = options.result;
    filter.port = options.port;
    filter.image = options.image;
    for (auto [given, into, name] : {std::tuple{&options.since, &filter.since, "--since"},
                                     std::tuple{&options.until, &filter.until, "--until"}}) {
        if (!given->empty() && (*into = historyTime(*given)).empty()) {
            std::fprintf(stderr,
                         "velmora-cli: %s %s: not a time (2026-12-10, 2026-12-10T08:00, or "
                         "a span back from now: 90m, 12h, 7d)\n",
                         name, given->c_str());
            return 2;
        }
    }
    std::vector<HistoryRow> rows;
    int code = 0;
    for (const std::string& file : options.dbs) {
        HistoryDb db;
        if (!db.openToRead(file) || !db.read(filter, rows)) {
            std::fprintf(stderr, "velmora-cli: %s\n", db.error().c_str());
            code = 1;
        }
    }
    // Several stations' files read as one: in the order the runs started.
    std::stable_sort(rows.begin(), rows.end(),
                     [](const HistoryRow& a, const HistoryRow& b) { return a.start < b.start; });
    if (options.csv) {
        printCsv(rows);
    } else if (options.json) {
        printJson(rows);
    } else {
        printTable(rows);
    }
    return std::fflush(stdout) == 0 ? code : 1;
}

} // namespace

void addHistoryCommand(CLI::App& app, CommandRun& chosen) {
    if (!chosen.builds("history")) {
        return;
    }
    auto options = std::make_shared<HistoryOptions>();
    auto* command = app.add_subcommand(
        "history", "the board runs kept in history files: which board got which image, when, "
                   "and why one failed");
    command
        ->add_option("--db", options->dbs,
                     "history file (default: velmora-history.sqlite); several are read as one")
        ->allow_extra_args(false)
        ->type_name("FILE");
    command
        ->add_option("--since", options->since,
                     "runs started at or after TIME (UTC: 2026-12-10, 2026-12-10T08:00; or "
                     "back from now: 90m, 12h, 7d)")
        ->type_name("TIME");
    command->add_option("--until", options->until, "runs started before TIME")->type_name("TIME");
    command->add_option("--result", options->result, "programmed, failed or interrupted runs")
        ->check(CLI::IsMember({"programmed", "failed", "interrupted"}))
        ->type_name("RESULT");
    command
        ->add_option("-p,--port", options->port,
                     "runs on this port (as named) or on the adapter of this USB serial number")
        ->type_name("PORT");
    command
        ->add_option("--image", options->image,
                     "runs that wrote the image of this SHA-256 (or its beginning)")
        ->type_name("SHA");
    auto* csv =
        command->add_flag("--csv", options->csv, "comma-separated values, for a spreadsheet");
    command->add_flag("--json", options->json, "one JSON object per run, a line each")
        ->excludes(csv);
    command->callback([options, &chosen] {
        chosen.run = [options] {
            HistoryOptions given = *options;
            if (given.dbs.empty()) {
                given.dbs.push_back("velmora-history.sqlite");
            }
            return runHistory(given);
        };
    });
}

} // namespace velmora::cli
