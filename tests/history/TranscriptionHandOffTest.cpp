#include "HistoryTestSupport.h"

#include "audio/AudioFileReader.h"
#include "history/FileImport.h"
#include "history/SessionMetadataStore.h"
#include "storage/SessionStore.h"
#include "support/MediaSamples.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace murmurly::test {
namespace {

using Activity = FileImport::Activity;

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

// Everything in the application folder (an import writes nothing into the transcripts folder).
QStringList appFolderContents() {
    return QDir(SessionStore::appSupportDirectory()).entryList(QDir::Files);
}

class FileImportTest : public ::testing::Test {
protected:
    QString source(const char* name) const { return m_sources.filePath(QString::fromLatin1(name)); }
    bool waitForEnd(FileImport& import) {
        return QTest::qWaitFor([&] { return !import.isActive(); }, 60000);
    }

    QTemporaryDir m_sources;
    RecordingRunner m_runner;
    Activity m_activity = Activity::idle;
    FileImport m_import{m_runner, [this] { return m_activity; }};
    QSignalSpy m_failed{&m_import, &FileImport::failed};
    QSignalSpy m_imported{&m_import, &FileImport::imported};
};

TEST_F(FileImportTest, AFileBecomesANamedSessionHandedToTheTranscriptionRun) {
    makeMedia(stereoTone(3) + QStringList{QStringLiteral("-c:a"), QStringLiteral("aac")}, source("talk.m4a"));
    // Left behind by an import that a crash cut off.
    writeFile(inApp(QStringLiteral("import-1b2c.wav.part")), "partial");

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    ASSERT_TRUE(m_import.start(source("talk.m4a")) && waitForEnd(m_import));
    ASSERT_EQ(m_imported.count(), 1) << m_failed.value(0).value(0).toString().toStdString();
    const QString id = m_imported.at(0).at(0).toString(); // the import time
    EXPECT_TRUE(QDateTime::fromString(id, Qt::ISODate) >= before) << id.toStdString();

    // The whole file in the session format, under the session's name, handed to a normal run.
    const QString wav = inApp("mixed-" + id + ".wav");
    auto reader = AudioFileReader::open(wav);
    EXPECT_EQ(reader->processingFormat(), AudioFormat::working());
    EXPECT_NEAR(double(reader->length()), 48000.0, 320.0);
    ASSERT_EQ(m_runner.calls.size(), 1u);
    EXPECT_TRUE(m_runner.calls[0].audioPath == wav && m_runner.calls[0].sessionID == id);
    EXPECT_FALSE(m_runner.calls[0].language || m_runner.calls[0].force);
    EXPECT_EQ(SessionMetadataStore::readNames().value(id), QStringLiteral("talk.m4a"));
    EXPECT_EQ(appFolderContents(),
              (QStringList{"mixed-" + id + ".wav", QString::fromLatin1(SessionMetadataStore::kFileName)}));
}

TEST_F(FileImportTest, RefusalsAndFailuresLeaveNothingBehind) {
    writeFile(source("notes.mp3"), "Meeting notes: nothing to hear here.\n");
    makeMedia(stereoTone(1), source("talk.flac"));
    makeMedia(stereoTone(10), source("long.flac"));
    const QByteArray flac = readFile(source("long.flac"));
    writeFile(source("cut.flac"), flac.left(flac.size() / 2));
    const QStringList before = appFolderContents();

    const struct {
        const char *file, *message;
        Activity activity;
    } cases[] = {
        {"notes.mp3", "Cannot import \"notes.mp3\": not a readable audio or video file", Activity::idle},
        {"cut.flac", "Cannot import \"cut.flac\": the file is damaged or incomplete", Activity::idle},
        {"talk.flac", "Cannot import \"talk.flac\": a recording is in progress", Activity::recording},
        {"talk.flac", "Cannot import \"talk.flac\": a transcription is in progress", Activity::transcribing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        m_failed.clear();
        m_activity = c.activity;
        EXPECT_EQ(m_import.start(source(c.file)), c.activity == Activity::idle);
        ASSERT_TRUE(waitForEnd(m_import));
        ASSERT_EQ(m_failed.count(), 1);
        EXPECT_EQ(m_failed.at(0).at(0).toString(), QString::fromUtf8(c.message));
        EXPECT_EQ(appFolderContents(), before);
    }

    // A second file while one is decoding is refused without disturbing the first.
    m_activity = Activity::idle;
    m_failed.clear();
    ASSERT_TRUE(m_import.start(source("talk.flac")));
    EXPECT_FALSE(m_import.start(source("notes.mp3")));
    EXPECT_EQ(m_failed.value(0).value(0).toString(),
              QStringLiteral("Cannot import \"notes.mp3\": another file is being imported"));
    // A recording started while it decoded keeps the pipeline: the session stays, untranscribed.
    m_activity = Activity::recording;
    ASSERT_TRUE(waitForEnd(m_import));
    EXPECT_EQ(m_failed.count(), 2);
    EXPECT_TRUE(m_runner.calls.empty());
    EXPECT_EQ(QDir(SessionStore::appSupportDirectory()).entryList({QStringLiteral("mixed-*.wav")}).size(), 1);
}

} // namespace
} // namespace murmurly::test
