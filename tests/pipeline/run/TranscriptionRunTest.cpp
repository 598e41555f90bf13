// The transcription run after a recording, its failure and cancellation paths, the retry from
// start(), forced runs from the history, and the resume at launch: the real clients against the
// local fake services.

#include "PipelineFixture.h"

#include <QSignalSpy>

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
    pushWindowAndSettle(*pipeline, false);
    pushWindowAndSettle(*pipeline, false);
    advance(3.0);
    pushWindowAndSettle(*pipeline, false);
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
    EXPECT_TRUE(pipeline->lastErrorDescription().isEmpty());
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
    {
        auto pipeline = makePipeline();
        EXPECT_FALSE(pipeline->isTranscribing());
        EXPECT_TRUE(pipeline->lastErrorDescription().isEmpty());
        EXPECT_FALSE(pipeline->currentSessionAudioPath().has_value());
        EXPECT_EQ(readFile(pendingPath()), record);
    }
    writePending(writeSessionWav(appFolder() + QStringLiteral("/mixed-2025-03-01T15:00:00Z.wav"), 0));
    auto pipeline = makePipeline();
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

} // namespace
} // namespace murmurly::test
