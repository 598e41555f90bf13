#include "HistoryTestSupport.h"

#include <QFile>
#include <QTest>

#include <gtest/gtest.h>

namespace murmurly::test {
namespace {

bool isOggOpus(const QString& path) {
    const QByteArray bytes = readFile(path);
    return bytes.startsWith("OggS") && bytes.contains("OpusHead");
}

class FailedRun : public ErrorBase<FailedRun> {
public:
    QString description() const override { return QStringLiteral("no luck"); }
};

TEST(UploadPreparation, ReusesOrEncodesTheCopyOfTheChosenTrackAndFallsBackToTheWav) {
    SessionHistoryEntry entry;
    entry.id = kA;
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), std::nullopt);

    entry.systemURL = writeFile(inApp("system-" + kA + ".wav"), wavFile(16000));
    const QString systemCopy = inTranscripts("system-" + kA + ".opus");
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), systemCopy);
    const QByteArray made = readFile(systemCopy);
    EXPECT_TRUE(isOggOpus(systemCopy));
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), systemCopy); // a complete copy as it is
    EXPECT_EQ(readFile(systemCopy), made);
    writeFile(systemCopy, "cut short"); // one that is not a whole copy is made again
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), systemCopy);
    EXPECT_TRUE(isOggOpus(systemCopy));

    // The mixed track wins; its copy is named after the field, not after the file.
    entry.audioURL = writeFile(inApp("recording.wav"), wavFile(800));
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), inTranscripts("mixed-" + kA + ".opus"));
    EXPECT_TRUE(isOggOpus(inTranscripts("mixed-" + kA + ".opus")));
    entry.audioURL = writeFile(inApp("mixed-x.OGG"), "ogg"); // already compressed: as it is
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), entry.audioURL);
    entry.audioURL = writeFile(inApp("mixed-" + kA + ".wav"), wavFile(0)); // unencodable: the WAV itself
    QFile::remove(inTranscripts("mixed-" + kA + ".opus"));
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), entry.audioURL);
}

// The panel's view of the hand-off is tested over the real pipeline (HistoryViewTest); what the
// pipeline does not show is how it is called, and that a panel gone meanwhile is not called back.
TEST(ReTranscription, HandsThePreparedCopyOverOnTheMainThreadWithForceAndOnlyALivePanelHearsBack) {
    writeFile(inApp("mixed-" + kA + ".wav"), wavFile(16000));
    SessionHistoryStore store;
    RecordingRunner runner;
    EXPECT_FALSE(store.reTranscribe(runner, std::nullopt, {})); // nothing selected
    rescanAndWait(store);

    auto panel = std::make_unique<QObject>();
    int heard = 0;
    ASSERT_TRUE(store.reTranscribe(runner, QStringLiteral("de"),
                                   {panel.get(), [&] { ++heard; }, [&](const QString&) { ++heard; }}));
    EXPECT_TRUE(runner.calls.empty()); // nothing is encoded on the caller's thread
    panel.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !runner.calls.empty(); }, 60000));
    const RecordingRunner::Call& call = runner.calls.front();
    EXPECT_EQ(call.audioPath, inTranscripts("mixed-" + kA + ".opus"));
    EXPECT_EQ(call.sessionID, kA);
    EXPECT_EQ(call.language, QStringLiteral("de"));
    EXPECT_TRUE(call.force && call.onMainThread);
    call.completion(TranscriptionResult::failure(FailedRun()));
    EXPECT_FALSE(QFile::exists(inTranscripts(kA + ".txt")));
    call.completion(TranscriptionResult::success(QStringLiteral("text")));
    EXPECT_EQ(store.loadTranscript(kA), QStringLiteral("text")); // saved even with the panel gone
    EXPECT_EQ(heard, 0);
}

} // namespace
} // namespace murmurly::test
