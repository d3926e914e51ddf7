#pragma once

#include "core/exchange.h"
#include "core/operator.h"

#include <string>
#include <utility>
#include <vector>

namespace velmora::testing {

// An operator for tests: records every message with its icon and every pause,
// and drives exchanges to their end the way the CLI does.
class RecordingOperator : public Operator {
public:
    struct Message {
        std::string text;
        Icon icon;
        bool operator==(const Message&) const = default;
    };

    std::vector<Message> messages;
    // Notices, in order, with their kind.
    std::vector<std::pair<std::string, Notice>> notices;
    std::vector<int> pauses;
    std::vector<std::string> exchangeCaptions;
    std::vector<int> exchangeResults;
    // Every message and notice, in the order the operator was told them.
    std::vector<std::string> told;

    void showMessage(std::string_view text, Icon icon) override {
        messages.push_back({std::string(text), icon});
        told.emplace_back(text);
    }

    int runExchange(Exchange& exchange) override {
        exchangeCaptions.push_back(exchange.caption());
        exchangeResults.push_back(runToEnd(exchange));
        return exchangeResults.back();
    }

    void pause(int passes) override { pauses.push_back(passes); }

    void notify(std::string_view text, Notice kind) override {
        notices.emplace_back(std::string(text), kind);
        told.emplace_back(text);
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const auto& message : messages) {
            result.push_back(message.text);
        }
        return result;
    }
};

// Starts the exchange and runs it pass after pass, as a dialog does, without
// waiting between passes; returns every status text it showed while it went
// on, in order, the one at start-up first (none when it ended at start-up).
inline std::vector<std::string> statusTextsOfRun(Exchange& exchange) {
    std::vector<std::string> shown;
    if (!exchange.start()) {
        return shown;
    }
    shown.push_back(exchange.statusText());
    while (exchange.step()) {
        if (shown.back() != exchange.statusText()) {
            shown.push_back(exchange.statusText());
        }
    }
    return shown;
}

} // namespace velmora::testing
