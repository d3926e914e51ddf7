#pragma once

#include "core/exchange.h"
#include "core/operator.h"

#include <string>
#include <string_view>

namespace velmora::testing {

// An operator for benchmarks: drives exchanges as the CLI does and tells
// nothing, keeping only the last text it was given and how many messages.
class QuietOperator : public Operator {
public:
    void showMessage(std::string_view text, Icon) override {
        last = text;
        ++messages;
    }
    void notify(std::string_view text, Notice) override { last = text; }
    int runExchange(Exchange& exchange) override { return runToEnd(exchange); }
    void pause(int) override {}

    std::string last;
    int messages = 0;
};

} // namespace velmora::testing
