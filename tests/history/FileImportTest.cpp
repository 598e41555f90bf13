#include "HistoryTestSupport.h"

#include "audio/AudioFileReader.h"
#include "history/FileImport.h"
#include "history/SessionMetadataStore.h"
#include "storage/SessionStore.h"
#include "support/MediaSamples.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace murmurly::test {
namespace {

using Activity = FileImport::Activity;

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
    ASSERT_TRUE(m_import.start(source("talk.m4a")));
    ASSERT_TRUE(waitForEnd(m_import));
    ASSERT_EQ(m_imported.count(), 1) << m_failed.value(0).value(0).toString().toStdString();

    // The session id is the import time.
    const QString id = m_imported.at(0).at(0).toString();
    const QDateTime started = QDateTime::fromString(id, Qt::ISODate);
    EXPECT_TRUE(started >= before && started <= QDateTime::currentDateTimeUtc()) << id.toStdString();

    // The whole file in the session format, under the session's name, handed to a normal run.
    const QString wav = inApp(QStringLiteral("mixed-") + id + QStringLiteral(".wav"));
    auto reader = AudioFileReader::open(wav);
    EXPECT_EQ(reader->processingFormat(), AudioFormat::working());
    EXPECT_NEAR(double(reader->length()), 48000.0, 320.0);
    ASSERT_EQ(m_runner.calls.size(), 1u);
    EXPECT_TRUE(m_runner.calls[0].audioPath == wav && m_runner.calls[0].sessionID == id);
    EXPECT_FALSE(m_runner.calls[0].language || m_runner.calls[0].force);
    EXPECT_EQ(SessionMetadataStore::readNames().value(id), QStringLiteral("talk.m4a"));
    EXPECT_EQ(appFolderContents(), (QStringList{QStringLiteral("mixed-") + id + QStringLiteral(".wav"),
                                                QString::fromLatin1(SessionMetadataStore::kFileName)}));

    // The same file again within the second: a session of its own, the first left alone.
    ASSERT_TRUE(m_import.start(source("talk.m4a")));
    ASSERT_TRUE(waitForEnd(m_import));
    ASSERT_EQ(m_imported.count(), 2);
    const QString second = m_imported.at(1).at(0).toString();
    EXPECT_NE(second, id);
    EXPECT_TRUE(QFileInfo::exists(wav));
    EXPECT_TRUE(QFileInfo::exists(inApp(QStringLiteral("mixed-") + second + QStringLiteral(".wav"))));
}

TEST_F(FileImportTest, RefusalsAndFailuresLeaveNothingBehind) {
    writeFile(source("notes.mp3"), "Meeting notes: nothing to hear here.\n");
    makeMedia(stereoTone(1), source("talk.flac"));
    makeMedia(stereoTone(10), source("long.flac"));
    const QByteArray flac = readFile(source("long.flac"));
    writeFile(source("cut.flac"), flac.left(flac.size() / 2));
    const QStringList before = appFolderContents();

    const struct {
        const char* file;
        Activity activity;
        const char* message;
    } cases[] = {
        {"notes.mp3", Activity::idle, "Cannot import \"notes.mp3\": not a readable audio or video file"},
        {"cut.flac", Activity::idle, "Cannot import \"cut.flac\": the file is damaged or incomplete"},
        {"talk.flac", Activity::recording, "Cannot import \"talk.flac\": a recording is in progress"},
        {"talk.flac", Activity::transcribing, "Cannot import \"talk.flac\": a transcription is in progress"},
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
