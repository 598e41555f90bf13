#include "storage/PlainTextStore.h"
#include "transcription/ServiceFixture.h"

namespace murmurly::test {
namespace {

using StreamingTest = ServiceFixture;

// The first piece of text reaches the callback while the service still holds the rest of its
// answer back (or is still sending it): the answer is read as it arrives, not after it ends.
// Events cut into pieces of any small size arrive as the same lines.
TEST_F(StreamingTest, DeltasArriveAsTheyComeWhereverTheAnswerIsCut) {
    const auto event = &FakeTranscriptionService::event;
    const QList<QByteArray> events{
        event("transcription.text.delta", R"({"text":"first "})"),
        event("transcription.text.delta", R"({"text":"second"})"),
        event("transcription.done", R"({"type":"transcription.done","language":"en"})")};
    for (const int pieceSize : {0, 1, 3, 7}) {
        SCOPED_TRACE(pieceSize);
        mistral.setAnswer({.pieceSize = pieceSize, .events = events, .holdAfterFirstEvent = pieceSize == 0});
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
        ASSERT_TRUE(outcome.value.has_value()) << qPrintable(outcome.errorText());
        EXPECT_EQ(finishedAtFirstDelta, false);
        EXPECT_EQ(deltas, (QStringList{"first ", "second"}));
        EXPECT_EQ(outcome.value->text, QStringLiteral("first second"));
        EXPECT_EQ(outcome.value->language, QStringLiteral("en"));
    }
    EXPECT_EQ(temporaryFiles(), QStringList());
}

// The limit applies to the prepared file: exactly 100 MiB goes up (one byte more fails, see
// FailureMatrixTest).
TEST_F(StreamingTest, LemonfoxUploadLimit) {
    lemonfox.setKeepBodies(false);
    const auto outcome = call(Call::lemonfox, sparseInput(104857600));
    EXPECT_TRUE(outcome.value.has_value()) << qPrintable(outcome.errorText());
    ASSERT_EQ(lemonfox.requests().size(), 1);
    EXPECT_GT(lemonfox.requests().first().bodyLength, 104857600);
    EXPECT_EQ(temporaryFiles(), QStringList());
}

// The key file wins (trimmed) over the environment; blank or broken, it counts as absent. The
// value found, even an empty one, is kept until the cache is reset.
TEST(ApiKeyLookup, FileWinsOverTheEnvironmentAndTheValueIsCachedUntilReset) {
    qputenv("LEMONFOX_API_KEY", "from-env");
    writeFile(PlainTextStore::lemonfoxApiKeyURL(), "  lf-file-key \n");
    EXPECT_EQ(LemonfoxTranscriber::apiKey(), QStringLiteral("lf-file-key"));
    writeFile(PlainTextStore::lemonfoxApiKeyURL(), " \n\t");
    EXPECT_EQ(LemonfoxTranscriber::apiKey(), QStringLiteral("lf-file-key"));
    LemonfoxTranscriber::resetCachedApiKey();
    EXPECT_EQ(LemonfoxTranscriber::apiKey(), QStringLiteral("from-env"));

    qputenv("MISTRAL_API_KEY", "");
    EXPECT_EQ(MistralTranscriber::apiKey(), QString(""));
    writeFile(PlainTextStore::mistralApiKeyURL(), "ms-file");
    EXPECT_EQ(MistralTranscriber::apiKey(), QString(""));
    MistralTranscriber::resetCachedApiKey();
    EXPECT_EQ(MistralTranscriber::apiKey(), QStringLiteral("ms-file"));

    qunsetenv("MISTRAL_API_KEY");
    writeFile(PlainTextStore::mistralApiKeyURL(), "\xff\xfekey");
    MistralTranscriber::resetCachedApiKey();
    EXPECT_FALSE(MistralTranscriber::apiKey().has_value());
}

} // namespace
} // namespace murmurly::test
