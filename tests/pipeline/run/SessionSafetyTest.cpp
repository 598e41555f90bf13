// What must never happen to a recording, however the session goes: a retry racing the first
// encoding, two sessions in one second, a full disk, other users reading along.

#include "PipelineFixture.h"

#include "audio/AudioFileReader.h"

#include <QDateTime>
#include <QSignalSpy>

#include <csignal>

#include <sys/resource.h>

namespace murmurly::test {
namespace {

class SessionSafetyTest : public ServiceFixture {
protected:
    static QStringList partFiles() {
        return QDir(transcriptsFolder()).entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden);
    }
};

TEST_F(SessionSafetyTest, RetryDuringCompressionStopsTheFirstEncodingAndUploadsOneWholeCopy) {
    const QString id = QStringLiteral("2024-11-02T08:00:00Z");
    const QString wav = appFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".wav");
    const QString opus = transcriptsFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".opus");
    writeSessionWav(wav, 20);
    breakWavHeader(wav); // a crash cut it short: it is repaired first
    writePending(wav);

    auto pipeline = makePipeline(); // resumes the session and starts compressing it
    EXPECT_EQ(pipeline->currentSessionAudioPath(), wav);
    ASSERT_TRUE(waitFor([] { return !partFiles().isEmpty(); }));
    pipeline->start(); // Start during a run of the current session: its retry
    // The first encoding stops at once: no finished copy of it shows up while the retry encodes.
    bool copyWhileEncoding = false;
    qsizetype mostEncodings = 0;
    ASSERT_TRUE(waitFor([&] {
        const qsizetype encodings = partFiles().size();
        mostEncodings = std::max(mostEncodings, encodings);
        copyWhileEncoding = copyWhileEncoding || (encodings > 0 && QFileInfo::exists(opus));
        return !pipeline->isTranscribing();
    }));
    EXPECT_FALSE(copyWhileEncoding);
    EXPECT_EQ(mostEncodings, 1);
    EXPECT_TRUE(pipeline->lastErrorDescription().isEmpty());
    ASSERT_EQ(lemonfox.requests().size(), 1);
    EXPECT_TRUE(
        lemonfox.requests()[0].body.contains(QByteArray("filename=\"mixed-" + id.toUtf8() + ".opus\"")));
    const auto copy = AudioFileReader::open(opus);
    EXPECT_NEAR(static_cast<double>(copy->length()) / copy->processingFormat().sampleRate, 20.0, 0.05);
    EXPECT_EQ(pipeline->transcriptText(), lemonfoxTranscript());
    EXPECT_FALSE(QFileInfo::exists(wav)); // the whole copy stands in for it
}

// A session started in the second of a finished one, or of one still on disk, takes the next free
// second; a full disk is reported once while the recording goes on, and what was written before
// stays readable.
TEST_F(SessionSafetyTest, ANewSessionTakesNoOtherOnesFilesAndOutlivesAFullDisk) {
    // A finished session of this second (its WAV gone) and a recording of the next one.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString finished = SessionStore::sessionIDFor(now);
    const QString recorded = SessionStore::sessionIDFor(now.addSecs(1));
    writeFile(transcriptsFolder() + '/' + finished + QStringLiteral(".txt"), "Earlier.");
    const QString recording = appFolder() + QStringLiteral("/mixed-") + recorded + QStringLiteral(".wav");
    writeSessionWav(recording);
    const QByteArray before = readFile(recording);

    auto pipeline = makePipeline();
    pipeline->start();
    ASSERT_TRUE(pipeline->isRunning());
    const QString wav = pipeline->currentSessionAudioPath().value_or(QString());
    const QString id = SessionStore::sessionID(wav, QStringLiteral("mixed-")).value_or(QString());
    EXPECT_NE(id, finished);
    EXPECT_NE(id, recorded);
    // Still an id of the usual form, a second later than the sessions it would have met.
    const QDateTime named = QDateTime::fromString(id, Qt::ISODate);
    ASSERT_TRUE(named.isValid()) << qPrintable(id);
    EXPECT_GE(named, now.addSecs(2).addMSecs(-now.time().msec()));
    EXPECT_EQ(named.toString(Qt::ISODate), id);

    audio.state->speech = true;
    audio.push(4);
    ASSERT_TRUE(waitFor([&] { return QFileInfo(wav).size() >= 44 + 4 * 4096 * 4; }));
    QSignalSpy banners(pipeline.get(), &TranscriptionPipeline::lastErrorChanged);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit saved = limit;
    limit.rlim_cur = static_cast<rlim_t>(QFileInfo(wav).size());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    audio.push(12); // three seconds that find no room
    const bool reported = waitFor([&] { return !pipeline->lastErrorDescription().isEmpty(); });
    QTest::qWait(200); // room for any further reports
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);

    ASSERT_TRUE(reported);
    EXPECT_EQ(banners.size(), 1);
    EXPECT_TRUE(pipeline->lastErrorDescription().startsWith(QStringLiteral("Failed to write to ") +
                                                            QFileInfo(wav).fileName() + QStringLiteral(": ")))
        << qPrintable(pipeline->lastErrorDescription());
    EXPECT_TRUE(pipeline->isRunning());
    lemonfox.setAnswer(silentAnswer());
    pipeline->stop();
    ASSERT_TRUE(waitFor([&] { return lemonfox.requests().size() == 1; }));
    EXPECT_GE(AudioFileReader::open(wav)->length(), 4 * 4096);
    SessionStore::clearPending(); // the session is not for the next test to resume

    // And a writer never opens an existing recording, whoever asks.
    EXPECT_THROW(AudioFileWriter::create(recording, AudioFormat::working()), SystemError);
    EXPECT_EQ(readFile(recording), before);
}

} // namespace
} // namespace murmurly::test
