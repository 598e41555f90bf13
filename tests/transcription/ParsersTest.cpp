// The parsers of the services' answers: the event stream of a streamed call and the JSON of a
// batch call.
#include "transcription/MistralTypes.h"
#include "transcription/ResponseDecoding.h"
#include "transcription/StreamAccumulator.h"
#include "transcription/TranscriptionErrors.h"

#include <gtest/gtest.h>

namespace murmurly {
namespace {

// Feeds raw answer bytes the way the client does: line by line without the line breaks (a blank
// line ends an event), then one final dispatch.
struct Fed {
    QStringList deltas;
    StreamAccumulator accumulator{[this](const QString& piece) { deltas.append(piece); }};

    explicit Fed(const QByteArray& answer) {
        for (const QByteArray& line : answer.split('\n')) {
            accumulator.consume(QString::fromUtf8(line));
        }
        accumulator.processCurrentEvent();
    }
};

QByteArray delta(const QByteArray& text) {
    return "event: transcription.text.delta\ndata: {\"type\":\"transcription.text.delta\",\"text\":\"" +
           text + "\"}\n\n";
}

// How single events are read: each row is an answer and the text it yields, which is also the one
// piece the callback is told (none for an empty text).
TEST(StreamAccumulator, ReadsEachKindOfEventLine) {
    const std::pair<QByteArray, QString> cases[] = {
        {"data: {\"text\":\"plain\"}\n\n", "plain"},                          // no event line, no type
        {"data: {\"type\":\"transcription.other\",\"text\":\"x\"}\n\n", "x"}, // an unknown type
        // Data lines are joined.
        {"data: {\"type\":\"transcription.text.delta\",\ndata: \"text\":\"j\"}\n\n", "j"},
        {"data: {not json\n\n" + delta("ok"), "ok"}, // a malformed event is dropped, the stream goes on
        {"data: {\"text\":\"\"}\n\n", ""},
        {"data: {\"text\":\"tail\"}", "tail"}, // the last event without its blank line
        {": keep-alive\nid: 7\nretry: 10\ndata: {\"text\":\"a\"}\n\n", "a"},
        // The payload's type wins over the event line; an envelope without one uses the line.
        {"event: transcription.segment\ndata: {\"type\":\"transcription.text.delta\",\"text\":\"d\"}\n\n",
         "d"},
        {"event: transcription.text.delta\ndata: {\"data\":{\"text\":\"e\"}}\n\n", "e"},
        {"DATA: {\"text\":\"no\"}\n\n", ""}, // prefixes are case-sensitive
    };
    for (const auto& [answer, text] : cases) {
        SCOPED_TRACE(answer.toStdString());
        Fed fed(answer);
        EXPECT_EQ(fed.accumulator.text(), text);
        EXPECT_EQ(fed.deltas, text.isEmpty() ? QStringList() : QStringList{text});
    }
}

// The final event's text replaces the deltas (without one they stay), its model and language
// win, and its segments win over the streamed ones, which stand in when it has none. The type of a
// segment comes from the payload, else from an envelope's event name, else from the event line:
// none of them is taken for a text delta.
TEST(StreamAccumulator, FinalEventCompletesWhatWasStreamed) {
    const QByteArray segments =
        "data: {\"type\":\"transcription.segment\",\"text\":\"one\",\"speaker_id\":\"s\"}\n\n"
        "event: transcription.segment\ndata: {\"text\":\"two\"}\n\n"
        "event: transcription.text.delta\n"
        "data: {\"event\":\"transcription.segment\",\"data\":{\"text\":\"three\"}}\n\n";
    Fed streamed(delta("kept") + segments + "data: {\"type\":\"transcription.done\",\"model\":\"m2\"}\n\n");
    EXPECT_EQ(streamed.deltas, QStringList{"kept"});
    auto result = streamed.accumulator.result();
    EXPECT_EQ(result.text, QStringLiteral("kept"));
    EXPECT_EQ(result.task, QStringLiteral("m2"));
    ASSERT_EQ(result.segments.value_or(QList<LemonfoxSegment>{}).size(), 3);
    EXPECT_EQ(result.segments->at(0).speaker, QStringLiteral("s"));
    EXPECT_EQ(result.segments->at(2).text, QStringLiteral("three"));

    result = Fed(delta("draft") + segments +
                 "data: {\"type\":\"transcription.done\",\"text\":\"Final.\",\"language\":\"fr\","
                 "\"segments\":[{\"text\":\"Final.\",\"start\":0.5,\"end\":1,\"speaker_id\":\"A\"}]}\n\n")
                 .accumulator.result();
    EXPECT_EQ(result.text, QStringLiteral("Final."));
    EXPECT_EQ(result.language, QStringLiteral("fr"));
    EXPECT_EQ(result.task, QStringLiteral("voxtral-mini-latest"));
    ASSERT_EQ(result.segments.value_or(QList<LemonfoxSegment>{}).size(), 1);
    EXPECT_EQ(result.segments->at(0).speaker, QStringLiteral("A"));
    EXPECT_EQ(result.segments->at(0).start, 0.5);
}

// Without a final event the deltas or the segments alone are a result (the language only from
// "audio_language"); with neither the answer is invalid.
TEST(StreamAccumulator, AnswersWithoutAFinalEvent) {
    const auto result =
        Fed("data: {\"type\":\"transcription.language\",\"language\":\"it\"}\n\n" + delta("x"))
            .accumulator.result();
    EXPECT_EQ(result.text, QStringLiteral("x"));
    EXPECT_FALSE(result.language.has_value());
    const auto segmentOnly =
        Fed("data: {\"type\":\"transcription.segment\",\"text\":\"only\"}\n\n").accumulator.result();
    EXPECT_EQ(segmentOnly.text, QString());
    EXPECT_EQ(segmentOnly.segments.value_or(QList<LemonfoxSegment>{}).size(), 1);
    try {
        Fed("data: [DONE]\n\n: comment\n\n").accumulator.result();
        FAIL() << "expected an error";
    } catch (const TranscriptionError& error) {
        EXPECT_EQ(error.description(), QStringLiteral("Received an invalid response from Mistral."));
    }
}

TEST(MistralLanguage, NormalisesToATwoCharacterCodeOrNothing) {
    const std::pair<std::optional<QString>, std::optional<QString>> cases[] = {
        {std::nullopt, std::nullopt},
        {"en", "en"},
        {"EN", "en"},
        {"en-US", "en"},
        {"en_GB", "en"},
        {"  de \n", "de"},
        {"e1", "e1"},
        {"-pt-BR", "pt"},
        {"english", std::nullopt},
        {"   ", std::nullopt},
        {"--", std::nullopt},
        {"e!", std::nullopt},
        {"eng-US", std::nullopt},
    };
    for (const auto& [preference, sent] : cases) {
        EXPECT_EQ(normalizedMistralLanguage(preference), sent) << qPrintable(preference.value_or("<none>"));
    }
}

TEST(ResponseDecoding, TakesWhatIsThereAndOnlyThat) {
    auto response = ResponseDecoding::decodeLemonfoxResponse(R"({"text":"hi","unknown":[1,2]})");
    EXPECT_EQ(response.text, QStringLiteral("hi"));
    EXPECT_FALSE(response.task || response.language || response.duration || response.segments);

    response = ResponseDecoding::decodeLemonfoxResponse(
        R"({"duration":3.5,"segments":[{"id":4,"text":"a","start":0,"end":1.5,"speaker":"SPEAKER_01"},{"text":"b","speaker":null}]})");
    EXPECT_FALSE(response.text.has_value());
    EXPECT_EQ(response.duration, 3.5);
    ASSERT_EQ(response.segments->size(), 2);
    EXPECT_EQ(response.segments->at(0), (LemonfoxSegment{4, "a", 0.0, 1.5, QStringLiteral("SPEAKER_01")}));
    EXPECT_EQ(response.segments->at(1),
              (LemonfoxSegment{std::nullopt, "b", std::nullopt, std::nullopt, std::nullopt}));

    // Mistral's model and text become task and text; an empty segment list stays one.
    const auto mistral = [](const QByteArray& json) {
        return ResponseDecoding::decodeMistralResponse(json).asLemonfoxShape();
    };
    EXPECT_EQ(mistral(R"({"model":"voxtral","text":"t","language":null})"),
              (LemonfoxTranscriptionResponse{"voxtral", std::nullopt, std::nullopt, "t", std::nullopt}));
    EXPECT_EQ(mistral(R"({"model":"m","text":"t","segments":[]})").segments, QList<LemonfoxSegment>{});
}

TEST(ResponseDecoding, BrokenAnswersAreDecodingErrors) {
    for (const char* json : {R"({"text":"hal)", "[1]", "", R"({"segments":[{"id":1}]})", R"({"text":5})",
                             R"({"segments":[{"id":1.5,"text":"x"}]})"}) {
        EXPECT_THROW(ResponseDecoding::decodeLemonfoxResponse(json), DecodingError) << json;
    }
    for (const char* json :
         {R"({"text":"x"})", R"({"model":"m"})", R"({"model":"m","text":"t","segments":[{"start":1}]})"}) {
        EXPECT_THROW(ResponseDecoding::decodeMistralResponse(json), DecodingError) << json;
    }
}

} // namespace
} // namespace murmurly
