#include "audio/AudioFileReader.h"
#include "transcription/ServiceFixture.h"

#include <chrono>
#include <functional>

using namespace std::chrono_literals;

namespace murmurly::test {
namespace {

struct FailureCase {
    const char* name;
    Call call;
    // Prepares the input and the service's answer; returns the input's path.
    std::function<QString(ServiceFixture&)> setUp;
    QString expected;
    // Texts that end in the network layer's own wording are checked up to that point.
    bool expectedIsPrefix = false;
    bool reachesService = true;
};

class FailureMatrixTest : public ServiceFixture, public ::testing::WithParamInterface<FailureCase> {};

QString readerError(const QString& path) {
    try {
        AudioFileReader::open(path);
    } catch (const Error& error) {
        return error.description();
    }
    return QStringLiteral("<opened>");
}

// Every failure gives its exact text, never reaches the service when it should not, and leaves no
// temporary file behind (body, converted WAV, temporary Opus copy).
TEST_P(FailureMatrixTest, FailsWithItsTextAndLeavesNothingBehind) {
    const FailureCase& c = GetParam();
    const QString file = c.setUp(*this);
    QString expected = c.expected;
    if (expected == u"<reader>") {
        expected = QStringLiteral("Failed to prepare audio file: ") + readerError(file);
    }

    const auto outcome = call(c.call, file);
    FakeTranscriptionService* service = &serviceFor(c.call);
    ASSERT_FALSE(outcome.value.has_value());
    if (c.expectedIsPrefix) {
        EXPECT_TRUE(outcome.errorText().startsWith(expected)) << outcome.errorText().toStdString();
        EXPECT_GT(outcome.errorText().size(), expected.size()) << "the network layer's text is missing";
    } else {
        EXPECT_EQ(outcome.errorText(), expected);
    }
    if (c.reachesService) {
        // Exactly once, also when the connection closes before any answer (Qt would resend).
        EXPECT_EQ(service->requests().size(), 1);
    } else {
        EXPECT_EQ(service->requests().size(), 0);
    }
    EXPECT_EQ(temporaryFiles(), QStringList());
}

// The service of the call answers as given; the input is a small file sent as it is.
std::function<QString(ServiceFixture&)> answering(FakeAnswer answer) {
    return [answer](ServiceFixture& f) {
        f.lemonfox.setAnswer(answer);
        f.mistral.setAnswer(answer);
        return f.opusInput();
    };
}

FakeAnswer status(int code, QByteArray body) {
    return {.status = code, .body = std::move(body)};
}

FakeAnswer deltaWithoutFinalEvent() {
    FakeAnswer answer;
    answer.events = {FakeTranscriptionService::event("transcription.text.delta", R"({"text":"Hello"})")};
    return answer;
}

FakeAnswer mode(FakeAnswer::Mode m) {
    return {.mode = m};
}

// The service never answers; the client gives up after `request` in all or `resource` of silence.
std::function<QString(ServiceFixture&)> timingOut(Call call, std::chrono::milliseconds request,
                                                  std::chrono::milliseconds resource) {
    return [=](ServiceFixture& f) {
        if (call == Call::lemonfox) {
            f.lemonfoxClient->setTimeouts(request, resource);
        } else {
            f.mistralClient->setTimeouts(request, resource);
        }
        return answering(mode(FakeAnswer::Mode::neverAnswer))(f);
    };
}

const QString kMistralTimeout = QStringLiteral(
    ": Request to Mistral timed out. Large uploads can take longer; try again or shorten the clip.");
const QByteArray kMistralError =
    R"({"object":"error","message":"Invalid model","type":"invalid_request_error","code":"1"})";

INSTANTIATE_TEST_SUITE_P(
    Failures, FailureMatrixTest,
    ::testing::Values(
        // Before any network traffic.
        FailureCase{"LemonfoxMissingKey", Call::lemonfox,
                    [](ServiceFixture& f) {
                        qunsetenv("LEMONFOX_API_KEY");
                        return f.opusInput();
                    },
                    "Missing Lemonfox API key. Set it in Settings.", false, false},
        FailureCase{"MistralEmptyKey", Call::mistralStream,
                    [](ServiceFixture& f) {
                        qputenv("MISTRAL_API_KEY", "");
                        return f.opusInput();
                    },
                    "Missing Mistral API key. Set it in Settings.", false, false},
        FailureCase{"EmptyOgg", Call::lemonfox,
                    [](ServiceFixture& f) { return writeBytes(f.input("silence.OGG"), {}); },
                    "Failed to prepare audio file: Audio file is empty.", false, false},
        FailureCase{"WavWithoutSamples", Call::mistralBatch,
                    [](ServiceFixture& f) { return writeSessionWav(f.input("empty.wav"), 0); },
                    "Failed to prepare audio file: Audio file has no readable samples.", false, false},
        FailureCase{"UnreadableWav", Call::lemonfox,
                    [](ServiceFixture& f) { return writeBytes(f.input("broken.wav"), "RIFF....WAVEjunk"); },
                    "<reader>", false, false},
        FailureCase{"MissingFile", Call::mistralStream, [](ServiceFixture& f) { return f.input("gone.mp3"); },
                    "<reader>", false, false},
        FailureCase{"UnconvertibleFormat", Call::lemonfox,
                    [](ServiceFixture& f) { return writeBytes(f.input("memo.aiff"), "FORM not really"); },
                    "<reader>", false, false},
        // The service's answer.
        FailureCase{"Lemonfox401WithBody", Call::lemonfox,
                    answering(status(401, R"({"error":"Invalid API key"})")),
                    R"({"error":"Invalid API key"})"},
        FailureCase{"Mistral422WithBody", Call::mistralBatch, answering(status(422, kMistralError)),
                    QString::fromUtf8(kMistralError)},
        FailureCase{"Lemonfox500WithoutBody", Call::lemonfox, answering(status(500, {})), ""},
        FailureCase{"Mistral500NotUtf8", Call::mistralBatch, answering(status(500, "\xff\xfe\xfd")),
                    "Unknown error"},
        FailureCase{"Stream500WithoutBody", Call::mistralStream, answering(status(500, {})),
                    "Streaming request failed with HTTP 500."},
        FailureCase{"Stream400KeepsSixLines", Call::mistralStream,
                    answering(status(400, "l1\n\n  l2  \r\nl3\nl4\n \nl5\nl6\nl7\nl8\nl9\nl10\n")),
                    "l1\nl2\nl3\nl4\nl5\nl6"},
        FailureCase{"LemonfoxNotHttp", Call::lemonfox, answering(mode(FakeAnswer::Mode::notHttp)),
                    "Upload failed: ", true},
        FailureCase{"StreamNotHttp", Call::mistralStream, answering(mode(FakeAnswer::Mode::notHttp)),
                    "Streaming upload failed: ", true},
        FailureCase{"LemonfoxUndecodable", Call::lemonfox, answering(status(200, R"({"text":"trunc)")),
                    "The data couldn't be read because it isn't in the correct format."},
        FailureCase{"MistralMissingModel", Call::mistralBatch, answering(status(200, R"({"text":"t"})")),
                    "The data couldn't be read because it is missing."},
        // The connection.
        FailureCase{"MistralRequestTimeout", Call::mistralBatch, timingOut(Call::mistralBatch, 300ms, 60s),
                    "Upload failed" + kMistralTimeout},
        FailureCase{"MistralResourceTimeout", Call::mistralBatch, timingOut(Call::mistralBatch, 60s, 300ms),
                    "Upload failed" + kMistralTimeout},
        FailureCase{"StreamTimeout", Call::mistralStream, timingOut(Call::mistralStream, 300ms, 60s),
                    "Streaming upload failed" + kMistralTimeout},
        FailureCase{"LemonfoxTimeout", Call::lemonfox, timingOut(Call::lemonfox, 300ms, 60s),
                    "Upload failed: The request timed out."},
        FailureCase{"LemonfoxClosedMidAnswer", Call::lemonfox,
                    answering(mode(FakeAnswer::Mode::closeMidAnswer)), "Upload failed: ", true},
        FailureCase{"MistralClosedAtOnce", Call::mistralBatch, answering(mode(FakeAnswer::Mode::closeAtOnce)),
                    "Upload failed: The network connection was lost."},
        FailureCase{"StreamClosedAtOnce", Call::mistralStream, answering(mode(FakeAnswer::Mode::closeAtOnce)),
                    "Streaming upload failed: The network connection was lost."},
        FailureCase{"StreamCutMidChunk", Call::mistralStream, answering(mode(FakeAnswer::Mode::cutMidChunk)),
                    "Streaming response interrupted: ", true},
        FailureCase{
            "StreamEndedBeforeItsFinalEvent", Call::mistralStream, answering(deltaWithoutFinalEvent()),
            "Streaming response interrupted: The answer ended before the transcription was complete."},
        FailureCase{"StreamBrokenOff", Call::mistralStream, answering(mode(FakeAnswer::Mode::closeMidAnswer)),
                    "Streaming response interrupted: ", true}),
    [](const auto& param) { return std::string(param.param.name); });

} // namespace
} // namespace murmurly::test
