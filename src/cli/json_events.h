#pragma once

#include "cli/run_report.h"
#include "serial/port_list.h"

#include <cstdio>
#include <string_view>

namespace velmora::cli {

// --json: every event of a run as one JSON object on a line of its own on
// stdout, written as it happens, the run's record last. Every object has an
// "event" field: "message", "progress", "record" or "port" (see the man page
// for the fields of each). A stdout nobody reads any more is left alone.
class JsonEvents {
public:
    explicit JsonEvents(std::FILE* stream = stdout) : out(stream) {}

    // kind: "news", "warning" or "failure".
    void message(std::string_view port, std::string_view kind, std::string_view text);
    void progress(std::string_view port, std::string_view stage, long long value, long long maximum,
                  long long rate, std::string_view status);
    void record(const BoardRecord& record);
    void port(const PortInfo& port);

private:
    void emit(const nlohmann::ordered_json& object);
    std::FILE* out;
    bool closed = false;
};

} // namespace velmora::cli
