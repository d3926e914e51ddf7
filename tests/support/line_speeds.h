#pragma once

// The termios speed constants of the line rates tests use, both ways.

#include <array>
#include <termios.h>
#include <utility>

namespace velmora::testing {

inline constexpr std::array<std::pair<int, speed_t>, 8> lineSpeeds{{{1200, B1200},
                                                                    {2400, B2400},
                                                                    {4800, B4800},
                                                                    {9600, B9600},
                                                                    {19200, B19200},
                                                                    {38400, B38400},
                                                                    {57600, B57600},
                                                                    {115200, B115200}}};

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

} // namespace velmora::testing
