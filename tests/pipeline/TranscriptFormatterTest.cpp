#include "pipeline/TranscriptFormatter.h"

#include <gtest/gtest.h>

#include <limits>

using namespace murmurly;

namespace {

LemonfoxSegment segment(const char* text, std::optional<double> start, std::optional<QString> speaker = {}) {
    return {std::nullopt, QString::fromUtf8(text), start, std::nullopt, std::move(speaker)};
}

LemonfoxTranscriptionResponse withSegments(QList<LemonfoxSegment> segments,
                                           std::optional<QString> text = {}) {
    return {std::nullopt, std::nullopt, std::nullopt, std::move(text), std::move(segments)};
}

} // namespace

TEST(TranscriptFormatter, FormatsSegmentsInTimeOrderOrElseTheText) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const QString speaker = QStringLiteral("SPEAKER_00");
    const struct {
        LemonfoxTranscriptionResponse response;
        QString expected;
    } cases[] = {
        {withSegments({segment("Hello", 0.0, speaker), segment("  Bye\n", 65.2)},
                      QStringLiteral("Hello Bye")),
         "[00:00] SPEAKER_00: Hello\n[01:05] Speaker: Bye\n"},
        // Sorted by start, equal times in their order, no time first.
        {withSegments({segment("third", 12.0, QStringLiteral("B")),
                       segment("first", 3.0, QStringLiteral("A")),
                       segment("second", 3.0, QStringLiteral("B")),
                       segment("untimed", std::nullopt, QStringLiteral("C"))}),
         "[00:00] C: untimed\n[00:03] A: first\n[00:03] B: second\n[00:12] B: third\n"},
        // Hours only from the first hour on; negative times count as zero.
        {withSegments({segment("a", 3599.5), segment("b", 3600.0), segment("c", 10 * 3600 + 2 * 60 + 5.9),
                       segment("d", -4.2), segment("e", 59.999), segment("f", 100 * 3600.0)}),
         "[00:00] Speaker: d\n[00:59] Speaker: e\n[59:59] Speaker: a\n[1:00:00] Speaker: b\n"
         "[10:02:05] Speaker: c\n[100:00:00] Speaker: f\n"},
        // Blank segments give no line and never fall back to the text.
        {withSegments({segment("  ", 1.0), segment("\n", 2.0)}, QStringLiteral("full text")), ""},
        {withSegments({segment("", 1.0), segment("kept", 2.0)}), "[00:02] Speaker: kept\n"},
        // No segments (an empty list or none at all): the full text, once, at 00:00, no speaker.
        {withSegments({}, QStringLiteral("  Whole text.\n")), "[00:00] Whole text.\n"},
        {LemonfoxTranscriptionResponse{{}, {}, {}, QStringLiteral("Whole text."), {}},
         "[00:00] Whole text.\n"},
        {LemonfoxTranscriptionResponse{{}, {}, {}, QStringLiteral("   "), {}}, "[00:00] \n"},
        {LemonfoxTranscriptionResponse{{}, {}, {}, QString(), {}}, ""},
        {LemonfoxTranscriptionResponse{}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected.toStdString());
        EXPECT_EQ(TranscriptFormatter::format(c.response), c.expected);
    }
    // Times that are not numbers do not break the order of the others.
    const QString odd = TranscriptFormatter::format(
        withSegments({segment("late", inf), segment("b", 5.0), segment("odd", nan), segment("a", 1.0)}));
    EXPECT_EQ(odd.count(QLatin1Char('\n')), 4);
    EXPECT_TRUE(odd.startsWith(QStringLiteral("[00:00] Speaker: odd\n[00:01] Speaker: a\n")));
}
