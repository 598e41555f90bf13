#include "transcription/ResponseDecoding.h"
#include "transcription/MistralTypes.h"
#include "transcription/TranscriptionErrors.h"

#include <gtest/gtest.h>

namespace murmurly {
namespace {

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
