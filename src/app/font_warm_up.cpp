#include "app/font_warm_up.h"

#include <fontconfig/fontconfig.h>

namespace velmora::app {

FontWarmUp::FontWarmUp() : reader([] { FcInit(); }) {}

FontWarmUp::~FontWarmUp() {
    wait();
}

void FontWarmUp::wait() {
    if (reader.joinable()) {
        reader.join();
    }
}

} // namespace velmora::app
