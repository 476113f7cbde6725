// The standard line rates and their termios speed constants, in one table for the serial layer
// and the pseudo-terminal helpers alike.
#pragma once

#include <termios.h>

namespace platform {

// The termios constant for a rate in bits per second; false for a rate Linux has no constant for.
[[nodiscard]] bool SpeedForRate(unsigned rate, speed_t& speed);
// The rate in bits per second for a termios constant, 0 when unknown.
[[nodiscard]] unsigned RateForSpeed(speed_t speed);

}  // namespace platform
