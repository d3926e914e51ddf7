#pragma once

#include <thread>

namespace velmora::app {

// Reads the system's font configuration on a thread of its own while the
// application object and the window around the form are built: the form's
// first measured text would otherwise wait for it, a third of the start-up.
class FontWarmUp {
public:
    FontWarmUp();
    ~FontWarmUp();
    FontWarmUp(const FontWarmUp&) = delete;
    FontWarmUp& operator=(const FontWarmUp&) = delete;

    // Returns once the configuration is read, so that it is read once.
    void wait();

private:
    std::thread reader;
};

} // namespace velmora::app
