#pragma once

#include "core/operator.h"
#include "core/timing.h"

#include <cstdio>

namespace velmora::cli {

// The CLI's operator: every message on its own line, exactly as the system
// words it (failures on stderr), a progress bar while an exchange runs on a
// terminal, and pauses as timed waits.
class TerminalOperator : public Operator {
public:
    explicit TerminalOperator(Timing timing = {}, bool quiet = false);

    void showMessage(std::string_view text, Icon icon) override;
    int runExchange(Exchange& exchange) override;
    void pause(int passes) override;
    void notify(std::string_view text, Notice kind) override;

    // Whether a text is a failure (printed on stderr) or news (stdout).
    static bool isFailure(std::string_view text, Icon icon);

private:
    void drawProgress(const Exchange& exchange, double seconds, bool final);

    Timing timing;
    bool quiet;
    bool progressOnTerminal;
    bool progressLineOpen = false; // a progress line awaits its end
};

} // namespace velmora::cli
