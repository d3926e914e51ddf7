#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>

namespace velmora {

// The hex text a record or an image line carries (two characters per byte).
// A load keeps tens of thousands of them, nearly all of one 16-byte line (32
// characters) or less: those are held in place, with no allocation of their
// own; a longer text (a record of more than 16 bytes) goes to the heap.
// Offers the part of std::string the image uses: assignment from any text,
// size, characters, comparison, and conversion to std::string_view and
// std::string.
class HexText {
public:
    static constexpr std::size_t inlineCapacity = 32;

    HexText() noexcept = default;
    HexText(std::string_view text) { assign(text); }
    HexText(const char* text) : HexText(std::string_view(text)) {}
    HexText(const std::string& text) : HexText(std::string_view(text)) {}
    // Copies and moves of a text held in place copy its storage whole: one
    // fixed-size copy, no length-dependent work.
    HexText(const HexText& other) {
        if (other.onHeap()) {
            assign(other.view());
        } else {
            length = other.length;
            std::memcpy(local, other.local, inlineCapacity);
        }
    }
    HexText(HexText&& other) noexcept { takeFrom(other); }
    HexText& operator=(const HexText& other) {
        if (!onHeap() && !other.onHeap()) {
            length = other.length;
            std::memcpy(local, other.local, inlineCapacity);
            return *this;
        }
        return this == &other ? *this : assign(other.view());
    }
    HexText& operator=(HexText&& other) noexcept {
        if (this != &other) {
            release();
            takeFrom(other);
        }
        return *this;
    }
    HexText& operator=(std::string_view text) { return assign(text); }
    HexText& operator=(const char* text) { return assign(text); }
    HexText& operator=(const std::string& text) { return assign(text); }
    ~HexText() { release(); }

    // The characters of `text`, which may be a part of this text itself.
    HexText& assign(std::string_view text);
    void clear() noexcept { length = 0; }

    std::size_t size() const noexcept { return length; }
    bool empty() const noexcept { return length == 0; }
    const char* data() const noexcept { return onHeap() ? heap : local; }
    char* data() noexcept { return onHeap() ? heap : local; }
    const char* begin() const noexcept { return data(); }
    const char* end() const noexcept { return data() + length; }
    const char& operator[](std::size_t i) const noexcept { return data()[i]; }
    char& operator[](std::size_t i) noexcept { return data()[i]; }

    std::string_view view() const noexcept { return {data(), length}; }
    operator std::string_view() const noexcept { return view(); }
    operator std::string() const { return std::string(view()); }

    friend bool operator==(const HexText& a, const HexText& b) noexcept {
        return a.view() == b.view();
    }
    friend bool operator==(const HexText& a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(const HexText& a, const char* b) noexcept {
        return a.view() == std::string_view(b);
    }
    friend bool operator==(const HexText& a, const std::string& b) noexcept {
        return a.view() == std::string_view(b);
    }

private:
    bool onHeap() const noexcept { return capacity > inlineCapacity; }
    void release() noexcept {
        if (onHeap()) {
            delete[] heap;
            forgetHeap();
        }
    }
    // Takes over other's characters (its heap block, if any), leaving it empty.
    // This text holds no heap block of its own.
    void takeFrom(HexText& other) noexcept {
        length = other.length;
        capacity = other.capacity;
        if (other.onHeap()) {
            heap = other.heap;
            other.forgetHeap();
        } else {
            std::memcpy(local, other.local, inlineCapacity);
        }
        other.length = 0;
    }
    // Back to the empty storage in place, without freeing.
    void forgetHeap() noexcept {
        capacity = inlineCapacity;
        std::memset(local, 0, inlineCapacity);
    }

    std::uint32_t length = 0;
    std::uint32_t capacity = inlineCapacity; // above inlineCapacity: `heap` holds the characters
    union {
        char local[inlineCapacity] = {};
        char* heap;
    };
};

std::ostream& operator<<(std::ostream& out, const HexText& text);

} // namespace velmora
