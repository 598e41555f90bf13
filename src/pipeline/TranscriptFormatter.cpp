#include "pipeline/TranscriptFormatter.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace murmurly {

namespace {

// Times come from JSON numbers and are finite in practice; a NaN would break the ordering of the
// sort, so it counts as the start.
double sortableTime(double seconds) {
    return std::isnan(seconds) ? 0.0 : seconds;
}

} // namespace

QString TranscriptFormatter::formatTime(double seconds) {
    double whole = std::floor(seconds);
    if (!(whole >= 0.0))
        whole = 0.0;
    // Beyond any real recording; keeps the conversion below defined for infinite times.
    whole = std::min(whole, 1e15);
    const auto s = static_cast<long long>(whole);
    if (s >= 3600)
        return QString::asprintf("%lld:%02lld:%02lld", s / 3600, (s % 3600) / 60, s % 60);
    return QString::asprintf("%02lld:%02lld", (s % 3600) / 60, s % 60);
}

QString TranscriptFormatter::format(const LemonfoxTranscriptionResponse& response) {
    std::vector<std::pair<double, QString>> lines;
    if (response.segments && !response.segments->isEmpty()) {
        for (const LemonfoxSegment& segment : *response.segments) {
            const double time = sortableTime(segment.start.value_or(0.0));
            const QString speaker = segment.speaker.value_or(QStringLiteral("Speaker"));
            const QString words = segment.text.trimmed();
            if (words.isEmpty())
                continue;
            lines.emplace_back(time, QLatin1Char('[') + formatTime(time) + QStringLiteral("] ") + speaker +
                                         QStringLiteral(": ") + words);
        }
    } else if (response.text && !response.text->isEmpty()) {
        // The emptiness test comes before trimming: a text of blanks still gives its (empty) line.
        lines.emplace_back(0.0, QLatin1Char('[') + formatTime(0.0) + QStringLiteral("] ") +
                                    response.text->trimmed());
    }

    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (lines.empty())
        return QString();
    QString text;
    for (const auto& line : lines) {
        text += line.second;
        text += QLatin1Char('\n');
    }
    return text;
}

} // namespace murmurly
