#include "pipeline/TranscriptFormatter.h"

#include <gtest/gtest.h>

#include <limits>

using namespace murmurly;

namespace {

LemonfoxSegment segment(const char* text, std::optional<double> start, std::optional<QString> speaker = {}) {
    LemonfoxSegment s;
    s.text = QString::fromUtf8(text);
    s.start = start;
    s.speaker = std::move(speaker);
    return s;
}

LemonfoxTranscriptionResponse withSegments(QList<LemonfoxSegment> segments,
                                           std::optional<QString> text = {}) {
    LemonfoxTranscriptionResponse response;
    response.segments = std::move(segments);
    response.text = std::move(text);
    return response;
}

QString formatted(const LemonfoxTranscriptionResponse& response) {
    return TranscriptFormatter::format(response);
}

} // namespace

TEST(TranscriptFormatter, OneLinePerSegmentWithTimeAndSpeaker) {
    const auto response =
        withSegments({segment("Hello", 0.0, QStringLiteral("SPEAKER_00")), segment("  Bye\n", 65.2)},
                     QStringLiteral("Hello Bye"));
    EXPECT_EQ(formatted(response), QStringLiteral("[00:00] SPEAKER_00: Hello\n[01:05] Speaker: Bye\n"));
}

TEST(TranscriptFormatter, SortsByStartKeepingTheOrderOfEqualTimes) {
    const auto response = withSegments({
        segment("third", 12.0, QStringLiteral("B")),
        segment("first", 3.0, QStringLiteral("A")),
        segment("second", 3.0, QStringLiteral("B")),
        segment("untimed", std::nullopt, QStringLiteral("C")),
    });
    EXPECT_EQ(formatted(response),
              QStringLiteral("[00:00] C: untimed\n[00:03] A: first\n[00:03] B: second\n[00:12] B: third\n"));
}

TEST(TranscriptFormatter, LabelsHoursOnlyFromTheFirstHourOn) {
    const auto response = withSegments({
        segment("a", 3599.5),
        segment("b", 3600.0),
        segment("c", 10 * 3600 + 2 * 60 + 5.9),
        segment("d", -4.2),
        segment("e", 59.999),
        segment("f", 100 * 3600.0),
    });
    EXPECT_EQ(
        formatted(response),
        QStringLiteral("[00:00] Speaker: d\n[00:59] Speaker: e\n[59:59] Speaker: a\n[1:00:00] Speaker: b\n"
                       "[10:02:05] Speaker: c\n[100:00:00] Speaker: f\n"));
}

TEST(TranscriptFormatter, BlankSegmentsGiveNoLineAndNeverFallBackToTheText) {
    EXPECT_EQ(formatted(withSegments({segment("  ", 1.0), segment("\n", 2.0)}, QStringLiteral("full text"))),
              QString());
    EXPECT_EQ(formatted(withSegments({segment("", 1.0), segment("kept", 2.0)})),
              QStringLiteral("[00:02] Speaker: kept\n"));

    // No segments (an empty list or none at all): the full text, once, at 00:00 and without speaker.
    EXPECT_EQ(formatted(withSegments({}, QStringLiteral("  Whole text.\n"))),
              QStringLiteral("[00:00] Whole text.\n"));
    LemonfoxTranscriptionResponse textOnly;
    textOnly.text = QStringLiteral("Whole text.");
    EXPECT_EQ(formatted(textOnly), QStringLiteral("[00:00] Whole text.\n"));
    // A text of blanks is not empty, so it still gives its line, ending right after the label.
    textOnly.text = QStringLiteral("   ");
    EXPECT_EQ(formatted(textOnly), QStringLiteral("[00:00] \n"));
    textOnly.text = QString();
    EXPECT_EQ(formatted(textOnly), QString());
    EXPECT_EQ(formatted(LemonfoxTranscriptionResponse{}), QString());
}

TEST(TranscriptFormatter, NonFiniteTimesDoNotBreakTheOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const auto response =
        withSegments({segment("late", inf), segment("b", 5.0), segment("odd", nan), segment("a", 1.0)});
    EXPECT_EQ(formatted(response).count(QLatin1Char('\n')), 4);
    EXPECT_TRUE(formatted(response).startsWith(QStringLiteral("[00:00] Speaker: odd\n[00:01] Speaker: a\n")));
}
