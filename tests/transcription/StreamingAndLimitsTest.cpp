#include "storage/PlainTextStore.h"
#include "transcription/ServiceFixture.h"

#include <QTimer>

namespace murmurly::test {
namespace {

class StreamingTest : public ServiceFixture {};

// The first piece of text reaches the callback while the service still holds the rest of its
// answer back: the answer is read as it arrives, not after it ends.
TEST_F(StreamingTest, FirstDeltaArrivesBeforeTheServiceHasFinished) {
    FakeAnswer answer;
    answer.events = {
        FakeTranscriptionService::event("transcription.text.delta", R"({"text":"first "})"),
        FakeTranscriptionService::event("transcription.text.delta", R"({"text":"second"})"),
        FakeTranscriptionService::event("transcription.done", R"({"type":"transcription.done"})")};
    answer.holdAfterFirstEvent = true;
    mistral.setAnswer(answer);

    QStringList deltas;
    std::optional<bool> finishedAtFirstDelta;
    const auto outcome =
        runCall(mistralClient->transcribeStream(opusInput(), std::nullopt, [&](const QString& piece) {
            if (!finishedAtFirstDelta) {
                finishedAtFirstDelta = mistral.answerFinished();
                mistral.release();
            }
            deltas.append(piece);
        }));
    ASSERT_TRUE(outcome.value.has_value()) << outcome.errorText().toStdString();
    ASSERT_TRUE(finishedAtFirstDelta.has_value());
    EXPECT_FALSE(*finishedAtFirstDelta);
    EXPECT_EQ(deltas, (QStringList{"first ", "second"}));
    EXPECT_EQ(outcome.value->text, QStringLiteral("first second"));
}

class StreamPiecesTest : public ServiceFixture, public ::testing::WithParamInterface<int> {};

// Events cut into pieces of every small size arrive as the same lines.
TEST_P(StreamPiecesTest, LinesSurviveAnyCut) {
    mistral.setAnswer({.pieceSize = GetParam()});
    QStringList deltas;
    const auto outcome = runCall(mistralClient->transcribeStream(
        opusInput(), "en", [&](const QString& piece) { deltas.append(piece); }));
    ASSERT_TRUE(outcome.value.has_value()) << outcome.errorText().toStdString();
    EXPECT_EQ(deltas, (QStringList{"Hello ", "there."}));
    EXPECT_EQ(outcome.value->text, QStringLiteral("Hello there."));
    EXPECT_EQ(outcome.value->language, QStringLiteral("en"));
    EXPECT_EQ(temporaryFiles(), QStringList());
}

INSTANTIATE_TEST_SUITE_P(PieceSizes, StreamPiecesTest, ::testing::Values(1, 2, 3, 7, 16));

TEST_F(StreamingTest, CancellingAbortsThePendingRequestAndCleansUp) {
    lemonfox.setAnswer({.mode = FakeAnswer::Mode::neverAnswer});
    CancellationToken token;
    QObject context;
    QObject::connect(&lemonfox, &FakeTranscriptionService::requestReceived, &context,
                     [token]() { token.cancel(); });
    const auto outcome = runCall(lemonfoxClient->transcribe(opusInput(), std::nullopt, token));
    EXPECT_NE(outcome.template errorAs<OperationCancelled>(), nullptr) << outcome.errorText().toStdString();
    EXPECT_EQ(temporaryFiles(), QStringList());
}

struct LimitCase {
    qint64 size;
    QString expected; // empty: accepted and sent
};

class UploadLimitTest : public ServiceFixture, public ::testing::WithParamInterface<LimitCase> {};

// The limit applies to the prepared file: exactly 100 MiB goes up, one byte more does not.
TEST_P(UploadLimitTest, EnforcesTheLemonfoxLimit) {
    lemonfox.setKeepBodies(false);
    const QString file = writeSparse(input(QStringLiteral("big.opus")), GetParam().size);
    const auto outcome = runCall(lemonfoxClient->transcribe(file, std::nullopt));
    if (GetParam().expected.isEmpty()) {
        EXPECT_TRUE(outcome.value.has_value()) << outcome.errorText().toStdString();
        ASSERT_EQ(lemonfox.requests().size(), 1);
        EXPECT_GT(lemonfox.requests().first().bodyLength, GetParam().size);
    } else {
        EXPECT_EQ(outcome.errorText(), GetParam().expected);
        EXPECT_TRUE(lemonfox.requests().isEmpty());
    }
    EXPECT_EQ(temporaryFiles(), QStringList());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, UploadLimitTest,
    ::testing::Values(
        LimitCase{104857600, {}},
        LimitCase{104857601, "Audio file is too large (100.0 MB). Lemonfox upload limit is 100 MB."},
        LimitCase{157286400, "Audio file is too large (150.0 MB). Lemonfox upload limit is 100 MB."}));

// The key file wins (trimmed) over the environment; blank or broken, it counts as absent. The
// value found, even an empty one, is kept until the cache is reset.
TEST(ApiKeyLookup, FileWinsOverTheEnvironmentAndTheValueIsCachedUntilReset) {
    qputenv("LEMONFOX_API_KEY", "from-env");
    writeBytes(PlainTextStore::lemonfoxApiKeyURL(), "  lf-file-key \n");
    EXPECT_EQ(LemonfoxTranscriber::apiKey(), QStringLiteral("lf-file-key"));
    writeBytes(PlainTextStore::lemonfoxApiKeyURL(), " \n\t");
    EXPECT_EQ(LemonfoxTranscriber::apiKey(), QStringLiteral("lf-file-key"));
    LemonfoxTranscriber::resetCachedApiKey();
    EXPECT_EQ(LemonfoxTranscriber::apiKey(), QStringLiteral("from-env"));

    qputenv("MISTRAL_API_KEY", "");
    EXPECT_EQ(MistralTranscriber::apiKey(), QString(""));
    writeBytes(PlainTextStore::mistralApiKeyURL(), "ms-file");
    EXPECT_EQ(MistralTranscriber::apiKey(), QString(""));
    MistralTranscriber::resetCachedApiKey();
    EXPECT_EQ(MistralTranscriber::apiKey(), QStringLiteral("ms-file"));

    qunsetenv("MISTRAL_API_KEY");
    writeBytes(PlainTextStore::mistralApiKeyURL(), "\xff\xfekey");
    MistralTranscriber::resetCachedApiKey();
    EXPECT_FALSE(MistralTranscriber::apiKey().has_value());
}

} // namespace
} // namespace murmurly::test
