#include "transcription/StreamAccumulator.h"
#include "transcription/TranscriptionErrors.h"

#include <gtest/gtest.h>

namespace murmurly {
namespace {

// Feeds raw answer bytes the way the client does: cut into lines at "\n" (the last line may lack
// one), each line handed over without its break, then one final dispatch.
struct Fed {
    QStringList deltas;
    StreamAccumulator accumulator{[this](const QString& piece) { deltas.append(piece); }};

    explicit Fed(const QByteArray& answer) {
        QList<QByteArray> lines = answer.split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty()) {
            lines.removeLast();
        }
        for (QByteArray line : lines) {
            if (line.endsWith('\r')) {
                line.chop(1);
            }
            accumulator.consume(QString::fromUtf8(line));
        }
        accumulator.processCurrentEvent();
    }
};

QByteArray delta(const QByteArray& text) {
    return "event: transcription.text.delta\ndata: {\"type\":\"transcription.text.delta\",\"text\":\"" +
           text + "\"}\n\n";
}

struct EventCase {
    const char* name;
    QByteArray answer;
    QString expectedText;       // accumulated text
    QStringList expectedDeltas; // pieces told to the callback
};

class StreamEventTest : public ::testing::TestWithParam<EventCase> {};

TEST_P(StreamEventTest, AppliesTheEvent) {
    const EventCase& c = GetParam();
    Fed fed(c.answer);
    EXPECT_EQ(fed.accumulator.text(), c.expectedText);
    EXPECT_EQ(fed.deltas, c.expectedDeltas);
}

INSTANTIATE_TEST_SUITE_P(
    Events, StreamEventTest,
    ::testing::Values(
        EventCase{"DataWithoutEventOrType", "data: {\"text\":\"plain\"}\n\n", "plain", {"plain"}},
        EventCase{"UnknownTypeStillAppends",
                  "data: {\"type\":\"transcription.other\",\"text\":\"x\"}\n\n",
                  "x",
                  {"x"}},
        EventCase{"TwoDataLinesJoinedWithLineFeed",
                  "data: {\"type\":\"transcription.text.delta\",\ndata: \"text\":\"j\"}\n\n",
                  "j",
                  {"j"}},
        EventCase{"MalformedEventDroppedStreamGoesOn", "data: {not json\n\n" + delta("ok"), "ok", {"ok"}},
        EventCase{"EmptyTextIsNoDelta", "data: {\"text\":\"\"}\n\n", "", {}},
        EventCase{"LastEventWithoutBlankLine", "data: {\"text\":\"tail\"}", "tail", {"tail"}},
        EventCase{"CommentsAndIdsIgnored",
                  ": keep-alive\nid: 7\nretry: 10\ndata: {\"text\":\"a\"}\n\n",
                  "a",
                  {"a"}},
        EventCase{
            "PayloadTypeWinsOverLineName",
            "event: transcription.segment\ndata: {\"type\":\"transcription.text.delta\",\"text\":\"d\"}\n\n",
            "d",
            {"d"}},
        EventCase{"EnvelopeWithoutEventUsesLineName",
                  "event: transcription.text.delta\ndata: {\"data\":{\"text\":\"e\"}}\n\n",
                  "e",
                  {"e"}},
        EventCase{"PrefixesAreCaseSensitive", "DATA: {\"text\":\"no\"}\n\n", "", {}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(StreamAccumulator, FinalEventWithoutTextKeepsTheDeltas) {
    const auto result = Fed(delta("kept") + "data: {\"type\":\"transcription.done\",\"model\":\"m2\"}\n\n")
                            .accumulator.result();
    EXPECT_EQ(result.text, QStringLiteral("kept"));
    EXPECT_EQ(result.task, QStringLiteral("m2"));
}

TEST(StreamAccumulator, FinalEventTextReplacesTheDeltasAndItsSegmentsWin) {
    Fed fed(delta("draft") + "data: {\"type\":\"transcription.segment\",\"text\":\"streamed\"}\n\n" +
            "data: {\"type\":\"transcription.done\",\"text\":\"Final.\",\"language\":\"fr\","
            "\"segments\":[{\"text\":\"Final.\",\"start\":0.5,\"end\":1,\"speaker_id\":\"A\"}]}\n\n");
    const auto result = fed.accumulator.result();
    EXPECT_EQ(result.text, QStringLiteral("Final."));
    EXPECT_EQ(result.language, QStringLiteral("fr"));
    ASSERT_TRUE(result.segments.has_value());
    ASSERT_EQ(result.segments->size(), 1);
    EXPECT_EQ(result.segments->at(0).speaker, QStringLiteral("A"));
    EXPECT_EQ(result.segments->at(0).start, 0.5);
    EXPECT_FALSE(result.segments->at(0).id.has_value());
}

// The type comes from the payload, else from an envelope's event name, else from the event line:
// all three ways name a segment here, and none of them is taken for a text delta.
TEST(StreamAccumulator, FinalEventWithoutSegmentsTakesTheStreamedOnes) {
    Fed fed("data: {\"type\":\"transcription.segment\",\"text\":\"one\",\"speaker_id\":\"s\"}\n\n"
            "event: transcription.segment\ndata: {\"text\":\"two\"}\n\n"
            "event: transcription.text.delta\n"
            "data: {\"event\":\"transcription.segment\",\"data\":{\"text\":\"three\"}}\n\n"
            "data: {\"type\":\"transcription.done\"}\n\n");
    EXPECT_TRUE(fed.deltas.isEmpty());
    const auto result = fed.accumulator.result();
    ASSERT_TRUE(result.segments.has_value());
    ASSERT_EQ(result.segments->size(), 3);
    EXPECT_EQ(result.segments->at(0).text, QStringLiteral("one"));
    EXPECT_EQ(result.segments->at(0).speaker, QStringLiteral("s"));
    EXPECT_EQ(result.segments->at(1).text, QStringLiteral("two"));
    EXPECT_EQ(result.segments->at(2).text, QStringLiteral("three"));
    EXPECT_EQ(result.task, QStringLiteral("voxtral-mini-latest"));
}

TEST(StreamAccumulator, LanguageNeedsAudioLanguageAndSegmentsAloneAreAResult) {
    EXPECT_FALSE(Fed("data: {\"type\":\"transcription.language\",\"language\":\"it\"}\n\n" + delta("x"))
                     .accumulator.result()
                     .language.has_value());
    Fed fed("data: {\"type\":\"transcription.segment\",\"text\":\"only\"}\n\n");
    const auto result = fed.accumulator.result();
    EXPECT_EQ(result.text, QString());
    EXPECT_EQ(result.segments.value_or(QList<LemonfoxSegment>{}).size(), 1);
}

TEST(StreamAccumulator, NothingUsableIsAnInvalidResponse) {
    Fed fed("data: [DONE]\n\n: comment\n\n");
    try {
        fed.accumulator.result();
        FAIL() << "expected an error";
    } catch (const TranscriptionError& error) {
        EXPECT_EQ(error.description(), QStringLiteral("Received an invalid response from Mistral."));
    }
}

} // namespace
} // namespace murmurly
