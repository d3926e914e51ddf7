#include "sim/board_summary.h"

#include <nlohmann/json.hpp>

namespace velmora {

std::string BoardSummary::toJson() const {
    // Fields in the order a reader looks for them: the totals first.
    using Json = nlohmann::ordered_json;
    Json writeList = Json::array();
    for (const WriteRecord& w : writes) {
        writeList.push_back({
            {"stage", w.stage},
            {"size", w.size},
            {"blocksExpected", w.blocksExpected},
            {"blocksReceived", w.blocksReceived},
            {"baud", w.baud},
            {"checksumExpected", w.checksumExpected},
            {"checksumReceived", w.checksumReceived},
            {"checksumOk", w.checksumReceived >= 0 && w.checksumReceived == w.checksumExpected},
            {"outcome", w.outcome},
        });
    }
    Json messageList = Json::array();
    for (const MessageRecord& m : messages) {
        messageList.push_back({
            {"kind", m.kind},
            {"bytes", m.bytes},
            {"bauds", m.bauds},
            {"frameOk", m.frameOk},
            {"rateUncertain", m.rateUncertain},
            {"result", m.result},
            {"reply", m.reply},
        });
    }
    const Json summary = {
        {"mode", mode},
        {"completedWrites", completedWrites},
        {"failedWrites", failedWrites},
        {"bootDownloads", bootDownloads},
        {"bytesReceived", bytesReceived},
        {"bytesSent", bytesSent},
        {"ignoredBytes", ignoredBytes},
        {"linkDropped", linkDropped},
        {"faultsInjected", faultsInjected},
        {"writes", std::move(writeList)},
        {"messages", std::move(messageList)},
    };
    // Texts that are not UTF-8 are written with U+FFFD in place of the bad
    // bytes rather than failing the whole summary.
    return summary.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace velmora
