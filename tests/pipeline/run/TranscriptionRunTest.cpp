// The transcription run after a recording, its failure and cancellation paths, the retry from
// start(), forced runs from the history, and the resume at launch: the real clients against the
// local fake services. Then what must never happen to a recording, however the session goes: a
// retry racing the first encoding, two sessions in one second, a full disk.

#include "PipelineFixture.h"

#include "audio/AudioFileReader.h"

#include <QDateTime>
#include <QSignalSpy>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

namespace murmurly::test {
namespace {

class TranscriptionRunTest : public ServiceFixture {
protected:
    static QString idOf(const QString& recording) {
        return *SessionStore::sessionID(recording, QStringLiteral("mixed-"));
    }
    static QString transcriptOf(const QString& id) {
        return QString::fromUtf8(readFile(transcriptsFolder() + '/' + id + QStringLiteral(".txt")));
    }
    static unsigned modeOf(const QString& path) {
        struct stat info {};
        return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
    }
};

// The history's runs while recording: a forced run replaces the one in progress, an unforced one
// is refused, the session's own run at stop() waits for the next start, and no run lets the
// recording be flagged silent. start() during a run, and cancelTranscription(), keep the session:
// a run that is cancelled neither reports nor clears, and the next start() transcribes the same
// recording again. The run that succeeds shows and stores the transcript and tidies up. Everything
// a session leaves is the owner's only: other users may share the machine.
TEST_F(TranscriptionRunTest, ASessionsRunWaitsItsTurnAndIsRetriedUntilItSucceeds) {
    ASSERT_TRUE(PlainTextStore::writeLanguage(QStringLiteral("german")));
    lemonfox.setAnswer(silentAnswer());
    auto pipeline = makePipeline();
    pipeline->start();
    ASSERT_TRUE(pipeline->isRunning());
    const QString wav = pipeline->currentSessionAudioPath().value_or(QString());
    for (const QString& path : {appFolder(), transcriptsFolder()})
        EXPECT_EQ(modeOf(path), 0700u);
    EXPECT_EQ(modeOf(wav), 0600u);
    EXPECT_EQ(modeOf(pendingPath()), 0600u);
    audio.push(8);

    // A finished recording of another session, as the history hands it over.
    const QString past = writeSessionWav(appFolder() + QStringLiteral("/mixed-2025-03-01T14:05:09Z.wav"));
    int replacedOrRefused = 0;
    const auto count = [&](const TranscriptionResult&) { ++replacedOrRefused; };
    pipeline->transcribeFiles(past, idOf(past), std::nullopt, true, count);
    ASSERT_TRUE(waitFor([&] { return lemonfox.requests().size() == 1; }));
    pipeline->transcribeFiles(past, idOf(past), std::nullopt, false, count);
    FakeAnswer slow = slowAnswer(R"({"text":"Guten Tag."})");
    slow.pauseMs = 300; // about 4 s
    lemonfox.setAnswer(slow);
    std::vector<TranscriptionResult> results;
    pipeline->transcribeFiles(past, idOf(past), QStringLiteral("french"), true,
                              [&](const TranscriptionResult& r) { results.push_back(r); });
    EXPECT_EQ(pipeline->status(), QStringLiteral("Transcribing..."));
    for (const double seconds : {0.0, 0.0, 3.0}) {
        advance(seconds);
        pushWindowAndSettle(*pipeline, false);
    }
    EXPECT_FALSE(pipeline->isSilent());
    ASSERT_TRUE(pipeline->isTranscribing());

    pipeline->stop(); // the session's own run is refused: one run at a time
    EXPECT_FALSE(pipeline->isRunning());
    ASSERT_TRUE(waitFor([&] { return !results.empty(); }));
    ASSERT_TRUE(results[0].succeeded());
    EXPECT_EQ(*results[0].text, QStringLiteral("[00:00] Guten Tag.\n"));
    EXPECT_EQ(pipeline->transcriptText(), QStringLiteral("[00:00] Guten Tag.\n"));
    EXPECT_EQ(transcriptOf(idOf(past)), QStringLiteral("[00:00] Guten Tag.\n"));
    EXPECT_FALSE(pipeline->status().has_value());
    EXPECT_EQ(replacedOrRefused, 0);
    ASSERT_EQ(lemonfox.requests().size(), 2);
    EXPECT_TRUE(lemonfox.requests()[1].body.contains("name=\"language\"\r\n\r\nfrench\r\n"));
    EXPECT_EQ(pipeline->currentSessionAudioPath(), wav);
    const QByteArray record = readFile(pendingPath());

    // Its turn comes with the next start; a start during its run starts it again.
    lemonfox.setAnswer(silentAnswer());
    pipeline->start();
    ASSERT_TRUE(waitFor([&] { return lemonfox.requests().size() == 3; }));
    pipeline->start();
    EXPECT_FALSE(pipeline->isRunning());
    EXPECT_TRUE(pipeline->isTranscribing());
    ASSERT_TRUE(waitFor([&] { return lemonfox.requests().size() == 4; }));

    QSignalSpy errors(pipeline.get(), &TranscriptionPipeline::lastErrorChanged);
    pipeline->cancelTranscription();
    EXPECT_FALSE(pipeline->isTranscribing());
    EXPECT_FALSE(pipeline->status().has_value());
    QTest::qWait(300); // let the aborted calls wind down: their endings must stay silent
    EXPECT_EQ(errors.count(), 0);
    EXPECT_FALSE(pipeline->isTranscribing());
    EXPECT_EQ(readFile(pendingPath()), record);
    EXPECT_EQ(pipeline->currentSessionAudioPath(), wav);

    lemonfox.setAnswer(FakeAnswer{});
    pipeline->start();
    EXPECT_FALSE(pipeline->isRunning());
    ASSERT_TRUE(waitFor([&] { return !pipeline->isTranscribing(); }));
    EXPECT_EQ(pipeline->transcriptText(), lemonfoxTranscript());
    EXPECT_FALSE(pipeline->status().has_value());
    const QString id = idOf(wav);
    EXPECT_EQ(transcriptOf(id), lemonfoxTranscript());
    const QString opus = transcriptsFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".opus");
    EXPECT_GT(QFileInfo(opus).size(), 0);
    for (const QString& path : QStringList{opus, transcriptsFolder() + '/' + id + QStringLiteral(".txt")})
        EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_FALSE(QFileInfo::exists(wav)); // its Opus copy stands in for it now
    EXPECT_FALSE(pendingExists());
    EXPECT_FALSE(pipeline->currentSessionAudioPath().has_value());
    ASSERT_EQ(lemonfox.requests().size(), 5);
    EXPECT_EQ(lemonfox.requests()[4].header("Authorization"), QByteArray("Bearer lf-key"));
    EXPECT_TRUE(lemonfox.requests()[4].body.contains("name=\"language\"\r\n\r\ngerman\r\n"));

    // The next recording starts with a clean slate.
    pipeline->start();
    EXPECT_TRUE(pipeline->isRunning());
    EXPECT_TRUE(pipeline->transcriptText().isEmpty());
}

// At launch, a pending record that does not decode is left alone; one whose recording holds no
// samples is dropped and the user is told, which does not stand in the way of a new recording. A
// failed run is shown and not retried: the record goes, the recording stays for the history. A new
// run clears the last failure as it starts.
TEST_F(TranscriptionRunTest, UnusableRecordsAndFailedRunsAreShownAndNotKept) {
    writePending(writeSessionWav(appFolder() + QStringLiteral("/mixed-2025-03-01T14:05:09Z.wav")),
                 QStringLiteral("2025-03-01T14:05:09.500Z"));
    const QByteArray record = readFile(pendingPath());
    auto pipeline = makePipeline();
    EXPECT_FALSE(pipeline->isTranscribing());
    EXPECT_TRUE(pipeline->lastErrorDescription().isEmpty());
    EXPECT_FALSE(pipeline->currentSessionAudioPath().has_value());
    EXPECT_EQ(readFile(pendingPath()), record);

    writePending(writeSessionWav(appFolder() + QStringLiteral("/mixed-2025-03-01T15:00:00Z.wav"), 0));
    pipeline = makePipeline();
    EXPECT_EQ(pipeline->lastErrorDescription(),
              QStringLiteral("Pending audio was unreadable. Please record again."));
    EXPECT_FALSE(pipeline->isTranscribing());
    EXPECT_FALSE(pipeline->currentSessionAudioPath().has_value());
    EXPECT_FALSE(pendingExists());
    EXPECT_TRUE(lemonfox.requests().isEmpty());

    lemonfox.setAnswer({.status = 500, .contentType = "text/plain", .body = "Service overloaded"});
    pipeline->start();
    EXPECT_TRUE(pipeline->isRunning());
    EXPECT_TRUE(pipeline->lastErrorDescription().isEmpty());
    const QString wav = pipeline->currentSessionAudioPath().value_or(QString());
    audio.push(8);
    pipeline->stop();
    ASSERT_TRUE(waitFor([&] { return !pipeline->isTranscribing(); }));
    EXPECT_EQ(pipeline->lastErrorDescription(), QStringLiteral("Transcription failed: Service overloaded"));
    EXPECT_FALSE(pipeline->status().has_value());
    EXPECT_TRUE(pipeline->transcriptText().isEmpty());
    EXPECT_FALSE(pendingExists());
    EXPECT_FALSE(pipeline->currentSessionAudioPath().has_value());
    EXPECT_TRUE(QFileInfo::exists(wav));
    EXPECT_FALSE(QFileInfo::exists(transcriptsFolder() + '/' + idOf(wav) + QStringLiteral(".txt")));

    // No audio fails before any upload.
    std::vector<TranscriptionResult> results;
    const auto collect = [&](const TranscriptionResult& r) { results.push_back(r); };
    const QString empty = writeSessionWav(appFolder() + QStringLiteral("/mixed-2025-01-01T00:00:00Z.wav"), 0);
    pipeline->transcribeFiles(empty, idOf(empty), std::nullopt, false, collect);
    EXPECT_TRUE(pipeline->lastErrorDescription().isEmpty());
    ASSERT_TRUE(waitFor([&] { return results.size() == 1; }));
    EXPECT_EQ(results[0].error->description(), QStringLiteral("No audio data to transcribe."));
    pipeline->transcribeFiles(std::nullopt, std::nullopt, std::nullopt, false, collect);
    ASSERT_TRUE(waitFor([&] { return results.size() == 2; }));
    EXPECT_EQ(pipeline->lastErrorDescription(),
              QStringLiteral("Transcription failed: No audio data to transcribe."));
    EXPECT_EQ(lemonfox.requests().size(), 1);
    EXPECT_FALSE(pipeline->isTranscribing());
}

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
        // The copy is looked for first: an encoding that finishes between the two looks renames its
        // part file into the copy, which is not a copy made while encoding.
        const bool copied = QFileInfo::exists(opus);
        const qsizetype encodings = partFiles().size();
        mostEncodings = std::max(mostEncodings, encodings);
        copyWhileEncoding = copyWhileEncoding || (encodings > 0 && copied);
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
