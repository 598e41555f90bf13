#include "storage/SessionStore.h"
#include "support/TestFiles.h"
#include "transcription/ServiceFixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace murmurly::test {
namespace {

enum class Call { lemonfox, mistralBatch, mistralStream };

struct LayoutCase {
    const char* name;
    Call call;
    std::optional<QString> language;
    QList<QPair<QByteArray, QByteArray>> fields; // expected, in order
};

class RequestLayoutTest : public ServiceFixture, public ::testing::WithParamInterface<LayoutCase> {};

// The whole request, byte for byte: route, headers, the boundary's form, every field in order, the
// file part and the closing delimiter, and a Content-Length equal to what arrived.
TEST_P(RequestLayoutTest, SendsExactlyTheExpectedRequest) {
    const LayoutCase& c = GetParam();
    const QString file = opusInput();
    const QByteArray fileBytes = readFile(file);

    QString error;
    FakeTranscriptionService* service = &lemonfox;
    QByteArray key = "lf-key";
    if (c.call == Call::lemonfox) {
        error = runCall(lemonfoxClient->transcribe(file, c.language)).errorText();
    } else {
        service = &mistral;
        key = "ms-key";
        error = c.call == Call::mistralBatch
                    ? runCall(mistralClient->transcribe(file, c.language)).errorText()
                    : runCall(mistralClient->transcribeStream(file, c.language, {})).errorText();
    }
    EXPECT_EQ(error, QStringLiteral("<no error>"));
    ASSERT_EQ(service->requests().size(), 1);
    const RecordedRequest& request = service->requests().first();

    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1/audio/transcriptions");
    EXPECT_EQ(request.header("Authorization"), "Bearer " + key);
    const QByteArray contentType = request.header("Content-Type").value_or("");
    const QRegularExpression form(
        QStringLiteral("^multipart/form-data; "
                       "boundary=(Boundary-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"));
    const auto match = form.match(QString::fromUtf8(contentType));
    ASSERT_TRUE(match.hasMatch()) << contentType.toStdString();
    const QByteArray boundary = match.captured(1).toUtf8();
    EXPECT_EQ(request.header("Content-Length"), QByteArray::number(request.body.size()));

    QByteArray expected;
    for (const auto& [name, value] : c.fields) {
        expected += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
                    value + "\r\n";
    }
    expected += "--" + boundary +
                "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"clip.opus\"\r\n" +
                "Content-Type: audio/opus\r\n\r\n" + fileBytes + "\r\n--" + boundary + "--\r\n";
    EXPECT_EQ(request.body, expected);

    EXPECT_EQ(temporaryFiles(), QStringList()) << "the body file must be gone";
    EXPECT_TRUE(QFile::exists(file)) << "the caller's file stays";
}

const QPair<QByteArray, QByteArray> kFormat{"response_format", "verbose_json"};
const QPair<QByteArray, QByteArray> kSpeakers{"speaker_labels", "true"};
const QPair<QByteArray, QByteArray> kTranslate{"translate", "false"};
const QPair<QByteArray, QByteArray> kModel{"model", "voxtral-mini-latest"};
const QPair<QByteArray, QByteArray> kStream{"stream", "true"};

INSTANTIATE_TEST_SUITE_P(
    Clients, RequestLayoutTest,
    ::testing::Values(
        LayoutCase{"LemonfoxAuto", Call::lemonfox, std::nullopt, {kFormat, kSpeakers, kTranslate}},
        LayoutCase{"LemonfoxBlankLanguage", Call::lemonfox, " \t\n", {kFormat, kSpeakers, kTranslate}},
        LayoutCase{"LemonfoxLanguageAsGiven",
                   Call::lemonfox,
                   "english ",
                   {kFormat, kSpeakers, kTranslate, {"language", "english "}}},
        LayoutCase{"MistralAuto", Call::mistralBatch, std::nullopt, {kModel}},
        LayoutCase{"MistralRegionDropped", Call::mistralBatch, "en-GB", {kModel, {"language", "en"}}},
        LayoutCase{"MistralNameLeftOut", Call::mistralBatch, "english", {kModel}},
        LayoutCase{"MistralStream", Call::mistralStream, "DE_at", {kModel, kStream, {"language", "de"}}},
        LayoutCase{"MistralStreamAuto", Call::mistralStream, std::nullopt, {kModel, kStream}}),
    [](const auto& param) { return std::string(param.param.name); });

// What a request carries for a given input: the name and type of the file part and its bytes.
struct FilePart {
    QByteArray fileName;
    QByteArray contentType;
    QByteArray content;
};

FilePart filePartOf(const RecordedRequest& request) {
    const QByteArray contentType = request.header("Content-Type").value_or("");
    const QByteArray boundary = contentType.mid(contentType.indexOf("boundary=") + 9);
    const auto parts = splitMultipart(request.body, boundary);
    EXPECT_FALSE(parts.isEmpty());
    if (parts.isEmpty()) {
        return {};
    }
    const MultipartPart& file = parts.last();
    const QRegularExpression name(QStringLiteral("filename=\"([^\"]*)\"\r\nContent-Type: (.*)$"));
    const auto match = name.match(QString::fromUtf8(file.headers));
    return {match.captured(1).toUtf8(), match.captured(2).toUtf8(), file.content};
}

class UploadPreparationTest : public ServiceFixture {};

TEST_F(UploadPreparationTest, SessionRecordingIsSentAsItsOpusCopyWhichStays) {
    const QString recording = writeSessionWav(SessionStore::appSupportDirectory() +
                                              QStringLiteral("/mixed-2025-03-01T14:05:09Z.WAV"));
    const auto outcome = runCall(lemonfoxClient->transcribe(recording, std::nullopt));
    ASSERT_EQ(outcome.errorText(), QStringLiteral("<no error>"));

    const QString copy = *SessionStore::opusURL(recording);
    ASSERT_TRUE(QFile::exists(copy));
    const FilePart part = filePartOf(lemonfox.requests().first());
    EXPECT_EQ(part.fileName, "mixed-2025-03-01T14:05:09Z.opus");
    EXPECT_EQ(part.contentType, "audio/opus");
    EXPECT_EQ(part.content, readFile(copy));
    EXPECT_TRUE(part.content.startsWith("OggS"));
    EXPECT_TRUE(QFile::exists(recording));
    EXPECT_EQ(temporaryFiles(), QStringList());
}

TEST_F(UploadPreparationTest, OggFileGoesUpAsItIsWhateverTheCaseOfItsName) {
    const QString ogg = opusInput(QStringLiteral("memo.OGG"));
    ASSERT_EQ(runCall(lemonfoxClient->transcribe(ogg, std::nullopt)).errorText(),
              QStringLiteral("<no error>"));
    const FilePart part = filePartOf(lemonfox.requests().first());
    EXPECT_EQ(part.fileName, "memo.OGG");
    EXPECT_EQ(part.contentType, "audio/ogg");
    EXPECT_EQ(part.content, readFile(ogg));
}

TEST_F(UploadPreparationTest, OtherWavIsCompressedToATemporaryOpusFile) {
    const QString wav = writeSessionWav(input(QStringLiteral("talk.wav")));
    const auto outcome = runCall(mistralClient->transcribe(wav, std::nullopt));
    ASSERT_EQ(outcome.errorText(), QStringLiteral("<no error>"));
    const FilePart part = filePartOf(mistral.requests().first());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-F-]{36}\\.opus$"))
                    .match(QString::fromUtf8(part.fileName))
                    .hasMatch())
        << part.fileName.toStdString();
    EXPECT_EQ(part.contentType, "audio/opus");
    EXPECT_TRUE(part.content.startsWith("OggS"));
    EXPECT_EQ(temporaryFiles(), QStringList());
}

TEST_F(UploadPreparationTest, UnlistedFormatIsConvertedThenCompressedAndNothingStays) {
    const QString aiff = input(QStringLiteral("memo.aiff"));
    QProcess sox;
    sox.start(QStringLiteral("sox"),
              {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("22050"), QStringLiteral("-c"),
               QStringLiteral("2"), aiff, QStringLiteral("synth"), QStringLiteral("0.5"),
               QStringLiteral("sine"), QStringLiteral("440")});
    ASSERT_TRUE(sox.waitForFinished(30000));
    ASSERT_EQ(sox.exitCode(), 0);

    const auto outcome = runCall(lemonfoxClient->transcribe(aiff, std::nullopt));
    ASSERT_EQ(outcome.errorText(), QStringLiteral("<no error>"));
    const FilePart part = filePartOf(lemonfox.requests().first());
    EXPECT_TRUE(part.fileName.endsWith(".opus"));
    EXPECT_EQ(part.contentType, "audio/opus");
    EXPECT_TRUE(part.content.startsWith("OggS"));
    EXPECT_EQ(temporaryFiles(), QStringList()) << "converted WAV and temporary Opus file must be gone";
}

TEST_F(UploadPreparationTest, WhenCompressionFailsTheWavItselfGoesUp) {
    const QString recording = writeSessionWav(SessionStore::appSupportDirectory() +
                                              QStringLiteral("/mic-2025-03-01T14:05:09Z.wav"));
    // A folder where the Opus copy belongs: the encoder cannot create its file.
    ASSERT_TRUE(QDir().mkpath(*SessionStore::opusURL(recording)));

    const auto outcome = runCall(lemonfoxClient->transcribe(recording, std::nullopt));
    ASSERT_EQ(outcome.errorText(), QStringLiteral("<no error>"));
    const FilePart part = filePartOf(lemonfox.requests().first());
    EXPECT_EQ(part.fileName, "mic-2025-03-01T14:05:09Z.wav");
    EXPECT_EQ(part.contentType, "audio/wav");
    EXPECT_EQ(part.content, readFile(recording));
    EXPECT_EQ(temporaryFiles(), QStringList());
}

TEST_F(UploadPreparationTest, TruncatedHeaderIsRepairedBeforeTheSamplesAreCounted) {
    // A recording cut off by a crash: the header still says "no samples" while the data is there.
    const QString recording = writeSessionWav(input(QStringLiteral("crashed.wav")), 0.5);
    QFile file(recording);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray bytes = file.readAll();
    const qsizetype data = bytes.indexOf("data");
    ASSERT_GT(data, 0);
    file.seek(data + 4);
    file.write(QByteArray(4, '\0'));
    file.close();

    const auto outcome = runCall(lemonfoxClient->transcribe(recording, std::nullopt));
    EXPECT_EQ(outcome.errorText(), QStringLiteral("<no error>"));
    EXPECT_EQ(lemonfox.requests().size(), 1);
}

} // namespace
} // namespace murmurly::test
