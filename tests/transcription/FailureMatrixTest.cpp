#include "storage/PlainTextStore.h"
#include "transcription/ServiceFixture.h"

#include <chrono>
#include <functional>

using namespace std::chrono_literals;

namespace murmurly::test {
namespace {

using Mode = FakeAnswer::Mode;

struct FailureCase {
    const char* name;
    Call call;
    FakeAnswer answer;
    // A text ending in ": " is followed by the reader's or the network layer's own wording, which
    // is not checked.
    QString expected;
    // An input that fails before any traffic; else a small file sent as it is.
    std::function<QString(ServiceFixture&)> input = {};
    // The client's request and inactivity timeouts, when the case waits for one of them.
    std::chrono::milliseconds requestTimeout = 60s, resourceTimeout = 60s;
};

class FailureMatrixTest : public ServiceFixture, public ::testing::WithParamInterface<FailureCase> {};

// Every failure gives its exact text, reaches the service exactly once or not at all (also when
// the connection closes before any answer: Qt would resend), and leaves no temporary file behind
// (body, converted WAV, temporary Opus copy).
TEST_P(FailureMatrixTest, FailsWithItsTextAndLeavesNothingBehind) {
    const FailureCase& c = GetParam();
    lemonfox.setAnswer(c.answer);
    mistral.setAnswer(c.answer);
    lemonfoxClient->setTimeouts(c.requestTimeout, c.resourceTimeout);
    mistralClient->setTimeouts(c.requestTimeout, c.resourceTimeout);
    const auto outcome = call(c.call, c.input ? c.input(*this) : opusInput());
    if (c.expected.endsWith(QStringLiteral(": "))) {
        EXPECT_TRUE(outcome.errorText().startsWith(c.expected)) << qPrintable(outcome.errorText());
        EXPECT_GT(outcome.errorText().size(), c.expected.size()) << "the cause is missing";
    } else {
        EXPECT_EQ(outcome.errorText(), c.expected);
    }
    EXPECT_EQ(serviceFor(c.call).requests().size(), c.input ? 0 : 1);
    EXPECT_EQ(temporaryFiles(), QStringList());
}

FakeAnswer status(int code, QByteArray body) {
    return {.status = code, .body = std::move(body)};
}

FakeAnswer mode(Mode m) {
    return {.mode = m};
}

// A failure before any network traffic, from the input `input` prepares.
FailureCase early(const char* name, Call call, QString expected,
                  std::function<QString(ServiceFixture&)> input) {
    return {name, call, {}, std::move(expected), std::move(input)};
}

// The service never answers; the client gives up after `request` in all or `resource` of silence.
FailureCase timeout(const char* name, Call call, QString expected, std::chrono::milliseconds request,
                    std::chrono::milliseconds resource = 60s) {
    return {name, call, {.mode = Mode::neverAnswer}, std::move(expected), {}, request, resource};
}

const QString kControlInKey = QStringLiteral("Invalid %1 API key: it contains a line break or another "
                                             "control character. Enter the key again in Settings.");
const QString kMistralTimeout = QStringLiteral(
    ": Request to Mistral timed out. Large uploads can take longer; try again or shorten the clip.");
const QByteArray kMistralError =
    R"({"object":"error","message":"Invalid model","type":"invalid_request_error","code":"1"})";

INSTANTIATE_TEST_SUITE_P(
    Failures, FailureMatrixTest,
    ::testing::Values(
        early("LemonfoxMissingKey", Call::lemonfox, "Missing Lemonfox API key. Set it in Settings.",
              [](ServiceFixture& f) {
                  qunsetenv("LEMONFOX_API_KEY");
                  return f.opusInput();
              }),
        early("MistralEmptyKey", Call::mistralStream, "Missing Mistral API key. Set it in Settings.",
              [](ServiceFixture& f) {
                  qputenv("MISTRAL_API_KEY", "");
                  return f.opusInput();
              }),
        // A key with a line break would smuggle a header of its own into the request.
        early("LemonfoxKeyWithLineBreak", Call::lemonfox, kControlInKey.arg("Lemonfox"),
              [](ServiceFixture& f) {
                  writeFile(PlainTextStore::lemonfoxApiKeyURL(), "lf-key\r\nX-Injected: yes\n");
                  return f.opusInput();
              }),
        early("MistralKeyWithTab", Call::mistralStream, kControlInKey.arg("Mistral"),
              [](ServiceFixture& f) {
                  qputenv("MISTRAL_API_KEY", "ms-key\tsecond");
                  return f.opusInput();
              }),
        early("LemonfoxTooLarge", Call::lemonfox,
              "Audio file is too large (100.0 MB). Lemonfox upload limit is 100 MB.",
              [](ServiceFixture& f) { return f.sparseInput(104857601); }),
        early("EmptyOgg", Call::lemonfox, "Failed to prepare audio file: Audio file is empty.",
              [](ServiceFixture& f) { return writeBytes(f.input("silence.OGG"), {}); }),
        early("WavWithoutSamples", Call::mistralBatch,
              "Failed to prepare audio file: Audio file has no readable samples.",
              [](ServiceFixture& f) { return writeSessionWav(f.input("empty.wav"), 0); }),
        early("UnreadableWav", Call::lemonfox, "Failed to prepare audio file: ",
              [](ServiceFixture& f) { return writeBytes(f.input("broken.wav"), "RIFF....WAVEjunk"); }),
        early("MissingFile", Call::mistralStream,
              "Failed to prepare audio file: ", [](ServiceFixture& f) { return f.input("gone.mp3"); }),
        early("UnconvertibleFormat", Call::lemonfox, "Failed to prepare audio file: ",
              [](ServiceFixture& f) { return writeBytes(f.input("memo.aiff"), "FORM not really"); }),
        // The service's answer.
        FailureCase{"Lemonfox401WithBody", Call::lemonfox, status(401, R"({"error":"Invalid API key"})"),
                    R"({"error":"Invalid API key"})"},
        FailureCase{"Mistral422WithBody", Call::mistralBatch, status(422, kMistralError),
                    QString::fromUtf8(kMistralError)},
        FailureCase{"Lemonfox500WithoutBody", Call::lemonfox, status(500, {}), ""},
        FailureCase{"Mistral500NotUtf8", Call::mistralBatch, status(500, "\xff\xfe\xfd"), "Unknown error"},
        FailureCase{"Stream500WithoutBody", Call::mistralStream, status(500, {}),
                    "Streaming request failed with HTTP 500."},
        FailureCase{"Stream400KeepsSixLines", Call::mistralStream,
                    status(400, "l1\n\n  l2  \r\nl3\nl4\n \nl5\nl6\nl7\nl8\nl9\nl10\n"),
                    "l1\nl2\nl3\nl4\nl5\nl6"},
        FailureCase{"LemonfoxNotHttp", Call::lemonfox, mode(Mode::notHttp), "Upload failed: "},
        FailureCase{"StreamNotHttp", Call::mistralStream, mode(Mode::notHttp), "Streaming upload failed: "},
        FailureCase{"LemonfoxUndecodable", Call::lemonfox, status(200, R"({"text":"trunc)"),
                    "The data couldn't be read because it isn't in the correct format."},
        FailureCase{"MistralMissingModel", Call::mistralBatch, status(200, R"({"text":"t"})"),
                    "The data couldn't be read because it is missing."},
        // The connection.
        timeout("MistralRequestTimeout", Call::mistralBatch, "Upload failed" + kMistralTimeout, 300ms),
        timeout("MistralResourceTimeout", Call::mistralBatch, "Upload failed" + kMistralTimeout, 60s, 300ms),
        timeout("StreamTimeout", Call::mistralStream, "Streaming upload failed" + kMistralTimeout, 300ms),
        timeout("LemonfoxTimeout", Call::lemonfox, "Upload failed: The request timed out.", 300ms),
        FailureCase{"LemonfoxClosedMidAnswer", Call::lemonfox, mode(Mode::closeMidAnswer), "Upload failed: "},
        FailureCase{"MistralClosedAtOnce", Call::mistralBatch, mode(Mode::closeAtOnce),
                    "Upload failed: The network connection was lost."},
        FailureCase{"StreamClosedAtOnce", Call::mistralStream, mode(Mode::closeAtOnce),
                    "Streaming upload failed: The network connection was lost."},
        FailureCase{"StreamCutMidChunk", Call::mistralStream, mode(Mode::cutMidChunk),
                    "Streaming response interrupted: "},
        FailureCase{
            "StreamEndedBeforeItsFinalEvent",
            Call::mistralStream,
            {.events = {FakeTranscriptionService::event("transcription.text.delta", R"({"text":"Hi"})")}},
            "Streaming response interrupted: The answer ended before the transcription was complete."},
        FailureCase{"StreamBrokenOff", Call::mistralStream, mode(Mode::closeMidAnswer),
                    "Streaming response interrupted: "}),
    [](const auto& param) { return std::string(param.param.name); });

} // namespace
} // namespace murmurly::test
