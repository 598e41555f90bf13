#include "HistoryTestSupport.h"

#include "history/SessionHistoryStore.h"
#include "pipeline/TranscriptionRunner.h"

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <vector>

namespace murmurly::test {
namespace {

using Entry = SessionHistoryEntry;

const QString kA = QStringLiteral("2025-03-01T14:05:09Z");

bool isOggOpus(const QString& path) {
    const QByteArray bytes = readFile(path);
    return bytes.startsWith("OggS") && bytes.contains("OpusHead");
}

// Stands in for the pipeline, which is not part of this library: records each hand-off so the test
// can check what was asked and answer through the completion.
class RecordingRunner : public TranscriptionRunner {
public:
    struct Call {
        std::optional<QString> audioPath;
        std::optional<QString> sessionID;
        std::optional<QString> language;
        bool force = false;
        TranscriptionCompletion completion;
        bool onMainThread = false;
    };
    void transcribeFiles(std::optional<QString> audioPath, std::optional<QString> sessionID,
                         std::optional<QString> language, bool force,
                         TranscriptionCompletion completion) override {
        calls.push_back({std::move(audioPath), std::move(sessionID), std::move(language), force,
                         std::move(completion),
                         QThread::currentThread() == QCoreApplication::instance()->thread()});
    }
    std::vector<Call> calls;
};

class FailedRun : public ErrorBase<FailedRun> {
public:
    QString description() const override { return QStringLiteral("no luck"); }
};

TEST(UploadPreparation, EncodesAMissingCopyNamedAfterTheChosenFieldAndReusesAnExistingOne) {
    Entry systemOnly;
    systemOnly.id = kA;
    systemOnly.systemURL = writeFile(inApp("system-" + kA + ".wav"), wavFile(16000));
    const QString copy = inTranscripts("system-" + kA + ".opus");

    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(systemOnly), copy);
    EXPECT_TRUE(isOggOpus(copy));

    // An existing copy is used as it is, whatever it holds.
    writeFile(copy, "stale copy");
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(systemOnly), copy);
    EXPECT_EQ(readFile(copy), QByteArray("stale copy"));

    // The mixed track is preferred; its copy is named "mixed-" even if the file is called otherwise.
    Entry mixed = systemOnly;
    mixed.micURL = writeFile(inApp("mic-" + kA + ".wav"), wavFile(800));
    mixed.audioURL = writeFile(inApp("recording.wav"), wavFile(800));
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(mixed), inTranscripts("mixed-" + kA + ".opus"));
    EXPECT_TRUE(isOggOpus(inTranscripts("mixed-" + kA + ".opus")));
    EXPECT_FALSE(QFile::exists(inTranscripts("mic-" + kA + ".opus")));
}

TEST(UploadPreparation, CompressedSourcesGoAsTheyAreAndAFailedEncodingFallsBackToTheWav) {
    Entry entry;
    entry.id = kA;
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), std::nullopt);

    entry.micURL = writeFile(inApp("mic-" + kA + ".OGG"), "ogg bytes");
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), entry.micURL);
    entry.micURL = inTranscripts("mic-" + kA + ".opus");
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), entry.micURL);

    // Not audio at all: the encoder fails and the WAV itself is offered.
    entry.micURL.reset();
    entry.audioURL = writeFile(inApp("mixed-" + kA + ".wav"), "RIFF but not really a wave file");
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), entry.audioURL);
    // A header without samples fails the same way.
    writeFile(*entry.audioURL, wavFile(0));
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), entry.audioURL);
}

TEST(ReTranscription, PreparesOffTheMainThreadThenHandsTheSessionToThePipelineWithForce) {
    writeFile(inApp("mixed-" + kA + ".wav"), wavFile(16000));
    SessionHistoryStore store;
    rescanAndWait(store);
    ASSERT_EQ(store.selectedID(), kA);
    ASSERT_EQ(store.session(kA)->audioOpusBytes, 0);

    RecordingRunner runner;
    QObject panel;
    int prepared = 0;
    QStringList shown;
    QSignalSpy applied(&store, &SessionHistoryStore::scanApplied);
    ASSERT_TRUE(
        store.reTranscribe(runner, QStringLiteral("de"),
                           {&panel, [&] { ++prepared; }, [&](const QString& text) { shown << text; }}));
    // Nothing is encoded on the caller's thread.
    EXPECT_TRUE(runner.calls.empty());
    EXPECT_EQ(prepared, 0);

    ASSERT_TRUE(QTest::qWaitFor([&] { return !runner.calls.empty(); }, 60000));
    ASSERT_EQ(runner.calls.size(), 1u);
    const RecordingRunner::Call& call = runner.calls.front();
    EXPECT_EQ(call.audioPath, inTranscripts("mixed-" + kA + ".opus"));
    EXPECT_TRUE(isOggOpus(inTranscripts("mixed-" + kA + ".opus")));
    EXPECT_EQ(call.sessionID, kA);
    EXPECT_EQ(call.language, QStringLiteral("de"));
    EXPECT_TRUE(call.force);
    EXPECT_TRUE(call.onMainThread);
    EXPECT_EQ(prepared, 1);

    // The rescan started with the hand-off shows the new copy's size.
    ASSERT_TRUE(applied.count() > 0 || applied.wait(20000));
    EXPECT_GT(store.session(kA)->audioOpusBytes, 0);

    call.completion(TranscriptionResult::success(QStringLiteral("[00:00] Speaker 1: Hallo")));
    EXPECT_EQ(readFile(inTranscripts(kA + ".txt")), QByteArray("[00:00] Speaker 1: Hallo"));
    EXPECT_EQ(store.session(kA)->transcriptURL, inTranscripts(kA + ".txt"));
    EXPECT_EQ(shown, QStringList{QStringLiteral("[00:00] Speaker 1: Hallo")});
}

TEST(ReTranscription, AFailedRunChangesNothingHereAndNoSelectionStartsNothing) {
    SessionHistoryStore store;
    RecordingRunner runner;
    EXPECT_FALSE(store.reTranscribe(runner, std::nullopt, {}));

    writeFile(inApp("mic-" + kA + ".wav"), "not audio");
    rescanAndWait(store);
    // A selection that is not listed counts as none.
    store.setSelectedID(QStringLiteral("gone"));
    EXPECT_FALSE(store.reTranscribe(runner, std::nullopt, {}));
    QTest::qWait(50);
    EXPECT_TRUE(runner.calls.empty());

    store.setSelectedID(kA);
    QStringList shown;
    ASSERT_TRUE(
        store.reTranscribe(runner, std::nullopt, {nullptr, {}, [&](const QString& t) { shown << t; }}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !runner.calls.empty(); }, 60000));
    // The unencodable WAV goes as it is; no language means automatic detection.
    EXPECT_EQ(runner.calls.front().audioPath, inApp("mic-" + kA + ".wav"));
    EXPECT_EQ(runner.calls.front().language, std::nullopt);
    runner.calls.front().completion(TranscriptionResult::failure(FailedRun()));
    EXPECT_FALSE(QFile::exists(inTranscripts(kA + ".txt")));
    EXPECT_TRUE(shown.isEmpty());
}

TEST(ReTranscription, HandlersOfAPanelThatIsGoneAreNotCalledButTheTranscriptIsStillSaved) {
    writeFile(inApp("mixed-" + kA + ".wav"), wavFile(1600));
    SessionHistoryStore store;
    rescanAndWait(store);
    RecordingRunner runner;
    auto panel = std::make_unique<QObject>();
    bool called = false;
    ASSERT_TRUE(store.reTranscribe(
        runner, std::nullopt, {panel.get(), [&] { called = true; }, [&](const QString&) { called = true; }}));
    panel.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !runner.calls.empty(); }, 60000));
    runner.calls.front().completion(TranscriptionResult::success(QStringLiteral("text")));
    EXPECT_FALSE(called);
    EXPECT_EQ(store.loadTranscript(kA), QStringLiteral("text"));
}

} // namespace
} // namespace murmurly::test
