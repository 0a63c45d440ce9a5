#pragma once

#include <cmath>
#include <cstdint>
#include <stdexcept>

// Percentages are computed in double precision and rounded to a 16-bit value with halves
// going to the even number (std::nearbyint under the default rounding mode).
// Throws std::domain_error for a result that is not finite or does not fit 16 bits, so a
// caller that counts a division by zero as a fault sees one.
inline std::int16_t RoundPercent(double value) {
    const double r = std::nearbyint(value);
    if (!std::isfinite(r) || r < -32768.0 || r > 32767.0) {
        throw std::domain_error("percentage out of range");
    }
    return static_cast<std::int16_t>(r);
}
