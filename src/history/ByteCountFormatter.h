#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>

namespace murmurly {

// File sizes for the history list, in decimal units as file managers write them, and only in KB,
// MB or GB: "340 KB", "1.2 MB", "2.35 GB". Any size under a kilobyte reads "1 KB" (a session
// file is never shown as empty while it holds something; an empty one is not shown at all).
class ByteCountFormatter {
public:
    ByteCountFormatter() = delete;

    // The unit is chosen after rounding, so 999,999 bytes read "1 MB", not "1,000 KB"; beyond the
    // gigabytes the number simply grows. Digits after the point: none for KB, up to one for MB,
    // up to two for GB, trailing zeros dropped; separators follow `locale`.
    static QString string(std::int64_t bytes, const QLocale& locale = QLocale());
};

} // namespace murmurly
