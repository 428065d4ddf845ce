#pragma once
// The value of a number written as text, exactly as QString::toDouble reads
// it, but quick for the plain decimals the descriptions' scales are ("0.088",
// "-1", "2"): every value shown passes through one, and Qt's general reader
// costs as much as the rest of a read put together.

#include <QStringView>

#include <charconv>

inline double decimalValue(QStringView text, bool *ok = nullptr)
{
    char plain[32];
    const qsizetype size = text.size();
    if (size > 0 && size < qsizetype(sizeof plain)) {
        bool digit = false;
        bool point = false;
        bool simple = true;
        for (qsizetype i = 0; i < size && simple; ++i) {
            const char16_t c = text[i].unicode();
            if (c >= u'0' && c <= u'9')
                digit = true;
            else if (c == u'.' && !point)
                point = true;
            else if (!(c == u'-' && i == 0))
                simple = false;
            plain[i] = static_cast<char>(c);
        }
        double value = 0;
        if (simple && digit) {
            const auto [end, error] = std::from_chars(plain, plain + size, value);
            if (error == std::errc() && end == plain + size) {
                if (ok)
                    *ok = true;
                return value;
            }
        }
    }
    return text.toDouble(ok); // signs, exponents, blanks and the rest
}
