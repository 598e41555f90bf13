#include "history/ByteCountFormatter.h"

#include <algorithm>
#include <cmath>

namespace murmurly {

QString ByteCountFormatter::string(std::int64_t bytes, const QLocale& locale) {
    struct Unit {
        const char* name;
        double size;
        int decimals;
    };
    static constexpr Unit units[] = {{"KB", 1e3, 0}, {"MB", 1e6, 1}, {"GB", 1e9, 2}};
    const double value = double(std::max<std::int64_t>(bytes, 0));
    for (const Unit& unit : units) {
        const double scale = std::pow(10.0, unit.decimals);
        double rounded = std::round(value / unit.size * scale) / scale;
        if (unit.decimals == 0)
            rounded = std::max(rounded, 1.0);
        // Rounded up to a thousand: the next unit says it better, except after the last one.
        if (rounded >= 1000.0 && &unit != &units[2])
            continue;
        QString number = locale.toString(rounded, 'f', unit.decimals);
        if (unit.decimals > 0) {
            const QString point = locale.decimalPoint();
            while (number.endsWith(u'0') && number.contains(point))
                number.chop(1);
            if (number.endsWith(point))
                number.chop(point.size());
        }
        return number + u' ' + QLatin1StringView(unit.name);
    }
    return {};
}

} // namespace murmurly
