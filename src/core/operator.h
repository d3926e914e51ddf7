#pragma once

#include <string_view>

namespace velmora {

class Exchange;

// The icon a message box shows. A box that names none shows the exclamation
// (warning) icon.
enum class Icon { Warning, Information, Stop };

// What a notice is: a failure's own reason, a warning about the input, or news.
enum class Notice { Failure, Warning, Information };

// Everything the library has to tell or ask the operator goes through this
// seam: the GUI shows message boxes and modal dialogs, the CLI prints lines and
// a progress bar, tests record. The library itself never prints.
class Operator {
public:
    virtual ~Operator() = default;

    // A modal message box with an OK button; returns when the operator has seen it.
    virtual void showMessage(std::string_view text, Icon icon = Icon::Warning) = 0;

    // Runs an exchange modally to its end and returns its result (1 success,
    // 2 failure, time-out or Stop). The exchange's start() has not been called yet.
    virtual int runExchange(Exchange& exchange) = 0;

    // A blocking pause of the given number of passes (3001, 701, 51, ...).
    virtual void pause(int passes) = 0;

    // A line that needs no answer and does not stop the run: the system's own
    // reason for a failure, told where it happens and before the message that
    // follows it ("Cannot open /dev/ttyUSB0: Permission denied"), a warning
    // about the input, "Stopped.". The GUI puts it on the status bar and in its
    // log; the CLI prints it, failures and warnings on stderr.
    virtual void notify(std::string_view text, Notice kind) = 0;
};

} // namespace velmora
