// What goes over the wire besides the request's layout: a streamed answer read as it arrives, the
// upload limit, where the key comes from, the temporary copies of an upload, and the way to the
// service through the user's proxy.
#include "storage/PlainTextStore.h"
#include "transcription/ServiceFixture.h"

#include <QProcess>
#include <QTcpServer>
#include <QTest>

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

using ConnectionSafetyTest = ServiceFixture;

// The temporary copies of a recording (the compressed copy and the request body) sit in a folder
// every user can list: nobody else may read them while the upload is under way. Cancelling the
// call aborts the request and takes them away.
TEST_F(ConnectionSafetyTest, TemporaryCopiesAreTheOwnersOnlyAndGoWithACancelledCall) {
    lemonfox.setAnswer({.mode = FakeAnswer::Mode::neverAnswer});
    CancellationToken token;
    QStringList whileSending;
    QObject::connect(&lemonfox, &FakeTranscriptionService::requestReceived, &lemonfox, [&] {
        whileSending = temporaryFiles();
        for (const QString& name : whileSending)
            EXPECT_EQ(QFileInfo(QDir::temp().filePath(name)).permissions() & 0x0077, 0) << qPrintable(name);
        token.cancel();
    });
    const auto outcome =
        runCall(lemonfoxClient->transcribe(writeSessionWav(input("clip.wav")), std::nullopt, token));
    EXPECT_NE(dynamic_cast<const OperationCancelled*>(outcome.error.get()), nullptr)
        << qPrintable(outcome.errorText());
    EXPECT_EQ(whileSending.filter(QStringLiteral(".opus")).size(), 1);
    EXPECT_EQ(whileSending.filter(QStringLiteral(".multipart")).size(), 1);
    EXPECT_EQ(temporaryFiles(), QStringList());
}

TEST_F(ConnectionSafetyTest, CallsGoThroughTheSystemProxyUnlessTheHostIsExempt) {
    // tinyproxy on a free port of 127.0.0.1, for this test only.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    const QString config = input(QStringLiteral("tinyproxy.conf"));
    writeFile(config, QStringLiteral("Port %1\nListen 127.0.0.1\nAllow 127.0.0.1\n").arg(port).toUtf8());
    QProcess proxy;
    proxy.start(QStringLiteral("tinyproxy"), {QStringLiteral("-d"), QStringLiteral("-c"), config});
    ASSERT_TRUE(QTest::qWaitFor(
        [port] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            return socket.waitForConnected(200);
        },
        10000))
        << "tinyproxy did not start";
    qputenv("http_proxy", "http://127.0.0.1:" + QByteArray::number(port));

    // Both kinds of call reach the service by way of the proxy, which names itself in "Via".
    EXPECT_EQ(call(Call::lemonfox, opusInput()).errorText(), "<no error>");
    EXPECT_EQ(call(Call::mistralStream, opusInput()).errorText(), "<no error>");
    // A host on the exemption list is reached directly.
    qputenv("no_proxy", "127.0.0.1");
    EXPECT_EQ(call(Call::lemonfox, opusInput()).errorText(), "<no error>");
    proxy.kill();
    proxy.waitForFinished();

    ASSERT_EQ(lemonfox.requests().size(), 2);
    ASSERT_EQ(mistral.requests().size(), 1);
    EXPECT_TRUE(lemonfox.requests()[0].header("Via").value_or("").contains("tinyproxy"));
    EXPECT_TRUE(mistral.requests()[0].header("Via").value_or("").contains("tinyproxy"));
    EXPECT_FALSE(lemonfox.requests()[1].header("Via").has_value());
}

} // namespace
} // namespace murmurly::test
