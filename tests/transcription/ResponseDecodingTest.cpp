#include "transcription/ResponseDecoding.h"
#include "transcription/MistralTypes.h"
#include "transcription/TranscriptionErrors.h"

#include <gtest/gtest.h>

namespace murmurly {
namespace {

struct LanguageCase {
    std::optional<QString> preference;
    std::optional<QString> sent;
};

class MistralLanguageTest : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(MistralLanguageTest, NormalisesToATwoCharacterCodeOrNothing) {
    EXPECT_EQ(normalizedMistralLanguage(GetParam().preference), GetParam().sent);
}

INSTANTIATE_TEST_SUITE_P(Preferences, MistralLanguageTest,
                         ::testing::Values(LanguageCase{std::nullopt, std::nullopt}, LanguageCase{"en", "en"},
                                           LanguageCase{"EN", "en"}, LanguageCase{"en-US", "en"},
                                           LanguageCase{"en_GB", "en"}, LanguageCase{"  de \n", "de"},
                                           LanguageCase{"english", std::nullopt}, LanguageCase{"e1", "e1"},
                                           LanguageCase{"   ", std::nullopt},
                                           LanguageCase{"--", std::nullopt}, LanguageCase{"-pt-BR", "pt"},
                                           LanguageCase{"e!", std::nullopt},
                                           LanguageCase{"eng-US", std::nullopt}));

TEST(LemonfoxDecoding, OnlyTextLeavesEverythingElseAbsent) {
    const auto response = ResponseDecoding::decodeLemonfoxResponse(R"({"text":"hi","unknown":[1,2]})");
    EXPECT_EQ(response.text, QStringLiteral("hi"));
    EXPECT_FALSE(response.task || response.language || response.duration || response.segments);
}

TEST(LemonfoxDecoding, SegmentsWithoutTopLevelText) {
    const auto response = ResponseDecoding::decodeLemonfoxResponse(
        R"({"duration":3.5,"segments":[{"id":4,"text":"a","start":0,"end":1.5,"speaker":"SPEAKER_01"},{"text":"b","speaker":null}]})");
    EXPECT_FALSE(response.text.has_value());
    EXPECT_EQ(response.duration, 3.5);
    ASSERT_EQ(response.segments->size(), 2);
    EXPECT_EQ(response.segments->at(0), (LemonfoxSegment{4, "a", 0.0, 1.5, QStringLiteral("SPEAKER_01")}));
    EXPECT_EQ(response.segments->at(1),
              (LemonfoxSegment{std::nullopt, "b", std::nullopt, std::nullopt, std::nullopt}));
}

struct BrokenCase {
    const char* name;
    QByteArray json;
    bool mistral;
};

class UndecodableTest : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(UndecodableTest, FailsWithADecodingError) {
    const BrokenCase& c = GetParam();
    if (c.mistral) {
        EXPECT_THROW(ResponseDecoding::decodeMistralResponse(c.json), DecodingError);
    } else {
        EXPECT_THROW(ResponseDecoding::decodeLemonfoxResponse(c.json), DecodingError);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UndecodableTest,
    ::testing::Values(BrokenCase{"Truncated", R"({"text":"hal)", false},
                      BrokenCase{"NotAnObject", "[1]", false}, BrokenCase{"Empty", "", false},
                      BrokenCase{"SegmentWithoutText", R"({"segments":[{"id":1}]})", false},
                      BrokenCase{"TextOfWrongType", R"({"text":5})", false},
                      BrokenCase{"FractionalId", R"({"segments":[{"id":1.5,"text":"x"}]})", false},
                      BrokenCase{"MistralWithoutModel", R"({"text":"x"})", true},
                      BrokenCase{"MistralWithoutText", R"({"model":"m"})", true},
                      BrokenCase{"MistralSegmentWithoutText",
                                 R"({"model":"m","text":"t","segments":[{"start":1}]})", true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(MistralDecoding, ModelAndTextBecomeTaskAndTextAndAnEmptySegmentListStays) {
    const auto decoded = [](const QByteArray& json) {
        return ResponseDecoding::decodeMistralResponse(json).asLemonfoxShape();
    };
    EXPECT_EQ(decoded(R"({"model":"voxtral","text":"t","language":null})"),
              (LemonfoxTranscriptionResponse{"voxtral", std::nullopt, std::nullopt, "t", std::nullopt}));
    EXPECT_EQ(decoded(R"({"model":"m","text":"t","segments":[]})").segments, QList<LemonfoxSegment>{});
}

} // namespace
} // namespace murmurly
