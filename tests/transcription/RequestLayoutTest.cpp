#include "storage/SessionStore.h"
#include "support/TestFiles.h"
#include "transcription/ServiceFixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <functional>

namespace murmurly::test {
namespace {

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

    EXPECT_EQ(call(c.call, file, c.language).errorText(), QStringLiteral("<no error>"));
    const FakeTranscriptionService& service = serviceFor(c.call);
    const QByteArray key = c.call == Call::lemonfox ? "lf-key" : "ms-key";
    ASSERT_EQ(service.requests().size(), 1);
    const RecordedRequest& request = service.requests().first();

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

struct UploadCase {
    const char* name;
    Call call;
    std::function<QString(ServiceFixture&)> input;
    const char* fileName; // a pattern
    QByteArray contentType;
    bool sentAsItIs; // else compressed to Ogg/Opus
};

class UploadPreparationTest : public ServiceFixture, public ::testing::WithParamInterface<UploadCase> {};

// What goes up for each kind of input, under which name and type; no temporary file stays.
TEST_P(UploadPreparationTest, SendsTheRightFileUnderTheRightName) {
    const UploadCase& c = GetParam();
    const QString file = c.input(*this);
    ASSERT_EQ(call(c.call, file).errorText(), QStringLiteral("<no error>"));
    const FilePart part = filePartOf(serviceFor(c.call).requests().first());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^%1$").arg(QLatin1String(c.fileName)))
                    .match(QString::fromLatin1(part.fileName))
                    .hasMatch())
        << part.fileName.toStdString();
    EXPECT_EQ(part.contentType, c.contentType);
    EXPECT_TRUE(c.sentAsItIs ? part.content == readFile(file) : part.content.startsWith("OggS"));
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_EQ(temporaryFiles(), QStringList());
    // A session recording is sent as its Opus copy, which stays beside the transcripts.
    const auto copy = SessionStore::opusURL(file);
    if (copy && file.startsWith(SessionStore::appSupportDirectory()) && !c.sentAsItIs) {
        EXPECT_EQ(readFile(*copy), part.content);
    }
}

QString sessionWav(const char* name) {
    return writeSessionWav(SessionStore::appSupportDirectory() + QLatin1Char('/') + QLatin1String(name));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, UploadPreparationTest,
    ::testing::Values(
        UploadCase{"SessionRecordingAsItsOpusCopy", Call::lemonfox,
                   [](ServiceFixture&) { return sessionWav("mixed-2025-03-01T14:05:09Z.WAV"); },
                   "mixed-2025-03-01T14:05:09Z\\.opus", "audio/opus", false},
        UploadCase{"OggAsItIsWhateverTheCase", Call::lemonfox,
                   [](ServiceFixture& f) { return f.opusInput(QStringLiteral("memo.OGG")); }, "memo\\.OGG",
                   "audio/ogg", true},
        UploadCase{"OtherWavAsATemporaryOpusFile", Call::mistralBatch,
                   [](ServiceFixture& f) { return writeSessionWav(f.input(QStringLiteral("talk.wav"))); },
                   "[0-9A-F-]{36}\\.opus", "audio/opus", false},
        UploadCase{"UnlistedFormatConvertedThenCompressed", Call::lemonfox,
                   [](ServiceFixture& f) {
                       const QString aiff = f.input(QStringLiteral("memo.aiff"));
                       EXPECT_EQ(QProcess::execute(QStringLiteral("sox"),
                                                   QStringLiteral("-n -r 22050 -c 2 %1 synth 0.5 sine 440")
                                                       .arg(aiff)
                                                       .split(QLatin1Char(' '))),
                                 0);
                       return aiff;
                   },
                   ".*\\.opus", "audio/opus", false},
        // A folder where the Opus copy belongs: the encoder cannot create it, the WAV goes up.
        UploadCase{"WavItselfWhenCompressionFails", Call::lemonfox,
                   [](ServiceFixture&) {
                       const QString wav = sessionWav("mic-2025-03-01T14:05:09Z.wav");
                       EXPECT_TRUE(QDir().mkpath(*SessionStore::opusURL(wav)));
                       return wav;
                   },
                   "mic-2025-03-01T14:05:09Z\\.wav", "audio/wav", true},
        // Cut off by a crash: the header still says "no samples" while the data is there.
        UploadCase{"TruncatedHeaderRepairedFirst", Call::lemonfox,
                   [](ServiceFixture& f) {
                       const QString wav = writeSessionWav(f.input(QStringLiteral("crashed.wav")), 0.5);
                       QByteArray bytes = readFile(wav);
                       bytes.replace(bytes.indexOf("data") + 4, 4, QByteArray(4, '\0'));
                       writeFile(wav, bytes);
                       return wav;
                   },
                   "[0-9A-F-]{36}\\.opus", "audio/opus", false}),
    [](const auto& param) { return std::string(param.param.name); });

} // namespace
} // namespace murmurly::test
