#include "cli/json_events.h"

#include <nlohmann/json.hpp>
#include <string>

namespace velmora::cli {

namespace {

nlohmann::ordered_json textOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

} // namespace

void JsonEvents::emit(const nlohmann::ordered_json& object) {
    if (closed) {
        return;
    }
    const std::string line = jsonText(object) + "\n";
    std::fputs(line.c_str(), out);
    if (std::fflush(out) != 0 || std::ferror(out)) {
        closed = true; // nobody reads any more; the board's run goes on
    }
}

void JsonEvents::message(std::string_view port, std::string_view kind, std::string_view text) {
    nlohmann::ordered_json object;
    object["event"] = "message";
    object["port"] = port;
    object["kind"] = kind;
    object["text"] = text;
    emit(object);
}

void JsonEvents::progress(std::string_view port, std::string_view stage, long long value,
                          long long maximum, long long rate, std::string_view status) {
    nlohmann::ordered_json object;
    object["event"] = "progress";
    object["port"] = port;
    object["stage"] = stage;
    object["value"] = value;
    object["maximum"] = maximum;
    object["rate"] = rate;
    object["status"] = status;
    emit(object);
}

void JsonEvents::record(const BoardRecord& record) {
    nlohmann::ordered_json object;
    object["event"] = "record";
    object.update(boardRecordJson(record));
    emit(object);
}

void JsonEvents::port(const PortInfo& port) {
    nlohmann::ordered_json object;
    object["event"] = "port";
    object["device"] = port.device;
    object["name"] = textOrNull(port.name);
    object["description"] = textOrNull(port.description);
    object["manufacturer"] = textOrNull(port.manufacturer);
    object["vendorId"] = textOrNull(usbIdText(port.vendorId));
    object["productId"] = textOrNull(usbIdText(port.productId));
    object["serialNumber"] = textOrNull(port.serialNumber);
    object["driver"] = textOrNull(port.driver);
    emit(object);
}

} // namespace velmora::cli
