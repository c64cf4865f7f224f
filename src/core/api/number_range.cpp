#include "nightdehaze/nightdehaze.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace nightdehaze {

namespace {

constexpr double kPlainIntegers = 1e15;  // whole numbers written out digit by digit below this

// The fewest significant digits (of at most 17, which always suffice) that
// read back as value: 1.2 rather than 1.19999999999999996, and 100 rather
// than 1e+02.
std::string shortestText(double value) {
    char text[32];
    if (value == std::floor(value) && std::abs(value) < kPlainIntegers) {
        std::snprintf(text, sizeof text, "%.0f", value);
        return text;
    }
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

}  // namespace

bool NumberRange::holds(double value) const {
    if (!std::isfinite(value) || (whole && value != std::floor(value))) return false;
    const bool aboveLow = lowIncluded ? value >= low : value > low;
    const bool belowHigh = highIncluded ? value <= high : value < high;
    return aboveLow && belowHigh;
}

std::string NumberRange::expected() const {
    std::string text = whole ? "a whole number" : "a finite number";
    const bool bounded = std::isfinite(low), capped = std::isfinite(high);
    if (bounded && capped && lowIncluded && highIncluded)
        return text + " from " + shortestText(low) + " to " + shortestText(high);
    if (bounded) text += (lowIncluded ? " of at least " : " greater than ") + shortestText(low);
    if (bounded && capped) text += " and";
    if (capped) text += (highIncluded ? " of at most " : " less than ") + shortestText(high);
    return text;
}

std::string outOfRangeMessage(const std::string& name, const NumberRange& range, const std::string& given) {
    return name + " must be " + range.expected() + ", not " + given;
}

std::string outOfRangeMessage(const std::string& name, const NumberRange& range, double given) {
    return outOfRangeMessage(name, range, shortestText(given));
}

}  // namespace nightdehaze
