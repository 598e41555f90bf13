#include "storage/SessionStore.h"
#include "support/MediaSamples.h"
#include "support/TestFiles.h"
#include "transcription/ServiceFixture.h"

#include <QRegularExpression>
#include <functional>

namespace murmurly::test {
namespace {

using Fields = QList<QPair<QByteArray, QByteArray>>;
const Fields kLemonfox{
    {"response_format", "verbose_json"}, {"speaker_labels", "true"}, {"translate", "false"}};
const Fields kMistral{{"model", "voxtral-mini-latest"}};
const Fields kStream = kMistral + Fields{{"stream", "true"}};
Fields operator+(Fields fields, const char* language) {
    return fields << QPair<QByteArray, QByteArray>("language", language);
}

QString sessionWav(const char* name) {
    return writeSessionWav(SessionStore::appSupportDirectory() + QLatin1Char('/') + QLatin1String(name));
}

// The name and the bytes of the file part; the comparison of the whole body checks the rest.
std::pair<QByteArray, QByteArray> filePartOf(const QByteArray& body, const QByteArray& boundary) {
    const qsizetype name = body.indexOf("filename=\"") + 10;
    const qsizetype start = body.indexOf("\r\n\r\n", name) + 4;
    const qsizetype end = body.lastIndexOf(QByteArray("\r\n--" + boundary + "--\r\n"));
    return {body.mid(name, body.indexOf('"', name) - name), body.mid(start, end - start)};
}

struct RequestCase {
    Call call;
    std::optional<QString> language;
    Fields fields;                                      // expected, in order, before the file part
    std::function<QString(ServiceFixture&)> input = {}; // else a small Opus file
    const char* fileName = "clip\\.opus";               // a pattern
    QByteArray contentType = "audio/opus";
    bool sentAsItIs = true; // else compressed to Ogg/Opus
};

using RequestLayoutTest = ServiceFixture;

// The whole request, byte for byte: route, headers, the boundary's form, every field in order, the
// file part (what goes up for each kind of input, under which name and type) and the closing
// delimiter, and a Content-Length equal to what arrived. The caller's file stays; no temporary
// file does.
TEST_F(RequestLayoutTest, SendsExactlyTheExpectedRequest) {
    const RequestCase cases[] = {
        {Call::lemonfox, std::nullopt, kLemonfox},
        {Call::lemonfox, " \t\n", kLemonfox}, // a blank language is none
        {Call::lemonfox, "english ", kLemonfox + "english "},
        {Call::mistralBatch, std::nullopt, kMistral},
        {Call::mistralBatch, "en-GB", kMistral + "en"}, // the region is dropped
        {Call::mistralBatch, "english", kMistral},      // a name is left out
        {Call::mistralStream, "DE_at", kStream + "de"},
        {Call::mistralStream, std::nullopt, kStream},
        // A session recording goes up as its Opus copy, which stays beside the transcripts.
        {Call::lemonfox, std::nullopt, kLemonfox,
         [](ServiceFixture&) { return sessionWav("mixed-2025-03-01T14:05:09Z.WAV"); },
         "mixed-2025-03-01T14:05:09Z\\.opus", "audio/opus", false},
        {Call::lemonfox, std::nullopt, kLemonfox,
         [](ServiceFixture& f) { return f.opusInput(QStringLiteral("memo.OGG")); }, "memo\\.OGG",
         "audio/ogg"},
        {Call::mistralBatch, std::nullopt, kMistral,
         [](ServiceFixture& f) { return writeSessionWav(f.input(QStringLiteral("talk.wav"))); },
         "[0-9A-F-]{36}\\.opus", "audio/opus", false},
        // An unlisted format is converted, then compressed.
        {Call::lemonfox, std::nullopt, kLemonfox,
         [](ServiceFixture& f) {
             makeMedia(stereoTone(0.5), f.input(QStringLiteral("memo.aiff")));
             return f.input(QStringLiteral("memo.aiff"));
         },
         ".*\\.opus", "audio/opus", false},
        // A folder where the Opus copy belongs: the encoder cannot create it, the WAV goes up.
        {Call::lemonfox, std::nullopt, kLemonfox,
         [](ServiceFixture&) {
             const QString wav = sessionWav("mic-2025-03-01T14:05:09Z.wav");
             EXPECT_TRUE(QDir().mkpath(*SessionStore::opusURL(wav)));
             return wav;
         },
         "mic-2025-03-01T14:05:09Z\\.wav", "audio/wav"},
        // Cut off by a crash: the header still says "no samples" while the data is there.
        {Call::lemonfox, std::nullopt, kLemonfox,
         [](ServiceFixture& f) { return breakWavHeader(writeSessionWav(f.input("crashed.wav"), 0.5)); },
         "[0-9A-F-]{36}\\.opus", "audio/opus", false},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(&c - cases);
        const QString file = c.input ? c.input(*this) : opusInput();
        const qsizetype before = serviceFor(c.call).requests().size();
        EXPECT_EQ(call(c.call, file, c.language).errorText(), QStringLiteral("<no error>"));
        ASSERT_EQ(serviceFor(c.call).requests().size(), before + 1);
        const RecordedRequest& request = serviceFor(c.call).requests().last();

        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, "/v1/audio/transcriptions");
        EXPECT_EQ(request.header("Authorization"),
                  c.call == Call::lemonfox ? "Bearer lf-key" : "Bearer ms-key");
        const QByteArray contentType = request.header("Content-Type").value_or("");
        const auto match =
            QRegularExpression(
                QStringLiteral("^multipart/form-data; boundary=(Boundary-[0-9A-F]{8}-[0-9A-F]{4}-"
                               "[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"))
                .match(QString::fromUtf8(contentType));
        ASSERT_TRUE(match.hasMatch()) << contentType.toStdString();
        const QByteArray boundary = match.captured(1).toUtf8();
        EXPECT_EQ(request.header("Content-Length"), QByteArray::number(request.body.size()));

        const auto [fileName, content] = filePartOf(request.body, boundary);
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^%1$").arg(QLatin1String(c.fileName)))
                        .match(QString::fromLatin1(fileName))
                        .hasMatch())
            << fileName.toStdString();
        EXPECT_TRUE(c.sentAsItIs ? content == readFile(file) : content.startsWith("OggS"));
        QByteArray expected;
        for (const auto& [name, value] : c.fields) {
            expected += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
                        "\"\r\n\r\n" + value + "\r\n";
        }
        expected += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
                    fileName + "\"\r\nContent-Type: " + c.contentType + "\r\n\r\n" + content + "\r\n--" +
                    boundary + "--\r\n";
        EXPECT_EQ(request.body, expected);

        EXPECT_TRUE(QFile::exists(file));
        EXPECT_EQ(temporaryFiles(), QStringList());
        const auto copy = SessionStore::opusURL(file);
        if (copy && file.startsWith(SessionStore::appSupportDirectory()) && !c.sentAsItIs) {
            EXPECT_EQ(readFile(*copy), content);
        }
    }
}

} // namespace
} // namespace murmurly::test
