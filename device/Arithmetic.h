#pragma once
// 32-bit arithmetic as the devices do it, without the undefined corners of C++:
// negation that wraps, and truncation of a double that clamps.

#include <QtGlobal>

#include <cmath>
#include <limits>

// Negation in 32 bits: the lowest int stays itself instead of overflowing.
inline int negated32(int v)
{
    return static_cast<int>(0u - static_cast<quint32>(v));
}

// Truncation toward zero into T; out-of-range results are clamped and NaN reads as 0.
template <typename T>
T truncatedTo(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    if (v <= static_cast<double>(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    return static_cast<T>(v);
}
