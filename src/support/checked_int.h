#pragma once

// The program's integers are 16-bit signed and every step is overflow checked, as the
// instrument was first written. An overflow is a programming fault: it throws OverflowError,
// nothing catches it below the event loop, and the application shows the runtime's error box
// and ends.

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace velune {

class OverflowError : public std::overflow_error {
public:
    OverflowError() : std::overflow_error("overflow") {}
};

// Narrows a wider value to 16 bits; a value that does not fit is an overflow.
constexpr std::int16_t toInt16(std::int64_t value) {
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max()) {
        throw OverflowError();
    }
    return static_cast<std::int16_t>(value);
}

constexpr std::int32_t toInt32(std::int64_t value) {
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        throw OverflowError();
    }
    return static_cast<std::int32_t>(value);
}

constexpr std::int16_t add16(std::int16_t a, std::int16_t b) {
    return toInt16(std::int64_t{a} + b);
}

constexpr std::int16_t mul16(std::int16_t a, std::int16_t b) {
    return toInt16(std::int64_t{a} * b);
}

constexpr std::int32_t add32(std::int32_t a, std::int32_t b) {
    return toInt32(std::int64_t{a} + b);
}

}  // namespace velune
