#pragma once

// The termios speed constants of the line rates a POSIX serial line takes,
// both ways: the simulated board reads the rate its host has set, and the
// tools that drive a pseudo-terminal set one.

#include <array>
#include <termios.h>
#include <utility>

namespace velmora {

inline constexpr std::array<std::pair<int, speed_t>, 20> lineSpeeds{
    {{50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
     {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
     {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
     {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}}};

// The speed constant of a rate; B0 for a rate not in the table.
inline speed_t speedOf(int baud) {
    for (const auto& [rate, speed] : lineSpeeds) {
        if (rate == baud) {
            return speed;
        }
    }
    return B0;
}

// The rate of a speed constant; 0 for one not in the table.
inline int baudOf(speed_t speed) {
    for (const auto& [rate, constant] : lineSpeeds) {
        if (constant == speed) {
            return rate;
        }
    }
    return 0;
}

} // namespace velmora
