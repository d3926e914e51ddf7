#include "image/hex_text.h"

#include <limits>
#include <ostream>
#include <stdexcept>

namespace velmora {

HexText& HexText::assign(std::string_view text) {
    if (text.size() <= capacity) {
        if (!text.empty()) {
            std::memmove(data(), text.data(), text.size()); // `text` may lie inside this text
        }
        length = static_cast<std::uint32_t>(text.size());
        return *this;
    }
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("HexText: text too long");
    }
    char* grown = new char[text.size()]; // copied before the old characters go
    std::memcpy(grown, text.data(), text.size());
    release();
    heap = grown;
    capacity = static_cast<std::uint32_t>(text.size());
    length = capacity;
    return *this;
}

std::ostream& operator<<(std::ostream& out, const HexText& text) {
    return out << text.view();
}

} // namespace velmora
