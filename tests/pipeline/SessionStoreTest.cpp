#include "storage/SessionStore.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <vector>

using namespace murmurly;

using murmurly::test::readFile;
using murmurly::test::writeFile;

namespace {

QString appFolder() {
    return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Murmurly");
}

QDateTime utc(const char* iso) {
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate).toUTC();
}

} // namespace

TEST(SessionStore, FoldersLiveUnderTheUserDataFolderAndAreCreated) {
    ASSERT_FALSE(qEnvironmentVariable("XDG_DATA_HOME").isEmpty());
    EXPECT_FALSE(QFileInfo::exists(appFolder()));
    EXPECT_EQ(SessionStore::appSupportDirectory(), appFolder());
    EXPECT_TRUE(QFileInfo(appFolder()).isDir());
    EXPECT_EQ(SessionStore::transcriptsDirectory(), appFolder() + QStringLiteral("/transcripts"));
    EXPECT_TRUE(QFileInfo(appFolder() + QStringLiteral("/transcripts")).isDir());
    EXPECT_EQ(SessionStore::pendingSessionPath(), appFolder() + QStringLiteral("/pending_session.json"));
}

TEST(SessionStore, NewSessionsAreNamedByTheirStartSecond) {
    const PendingSession session = SessionStore::createNewSession();
    const QString id = SessionStore::sessionIDFor(session.startedAt);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"))
                    .match(id)
                    .hasMatch())
        << id.toStdString();
    EXPECT_EQ(session.audioPath, appFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".wav"));
    EXPECT_FALSE(QFileInfo::exists(session.audioPath));
    EXPECT_FALSE(QFileInfo::exists(SessionStore::pendingSessionPath()));
    EXPECT_LE(std::abs(session.startedAt.secsTo(QDateTime::currentDateTimeUtc())), 5);

    // Two starts within one second share the id (and so the recording name).
    EXPECT_EQ(SessionStore::sessionIDFor(utc("2025-03-01T14:05:09.100Z")),
              SessionStore::sessionIDFor(utc("2025-03-01T14:05:09.900Z")));
    EXPECT_EQ(SessionStore::sessionIDFor(utc("2025-03-01T15:05:09+01:00")),
              QStringLiteral("2025-03-01T14:05:09Z"));
}

TEST(SessionStore, FindsSessionIdsAndOpusCopiesFromNames) {
    const QString id = QStringLiteral("2025-03-01T14:05:09Z");
    const auto idOf = [](const char* name, const char* prefix) {
        return SessionStore::sessionID(QStringLiteral("/somewhere/") + QLatin1String(name),
                                       QLatin1String(prefix));
    };
    EXPECT_EQ(idOf("mixed-2025-03-01T14:05:09Z.wav", "mixed-"), id);
    EXPECT_EQ(idOf("mixed-2025-03-01T14:05:09Z.wav", "mic-"), std::nullopt);
    EXPECT_EQ(idOf("mixed-X.opus", "mixed-"), QStringLiteral("X"));
    EXPECT_EQ(idOf("mic-X.ogg", "mic-"), QStringLiteral("X"));
    EXPECT_EQ(idOf("system-X.wav", "mixed-"), std::nullopt);
    EXPECT_EQ(idOf("mixed-X.mp3", "mixed-"), std::nullopt);
    EXPECT_EQ(idOf("mixed-X.WAV", "mixed-"), std::nullopt);
    EXPECT_EQ(idOf("Mixed-X.wav", "mixed-"), std::nullopt);
    EXPECT_EQ(idOf("mixed-.wav", "mixed-"), QString());

    const QString transcripts = SessionStore::transcriptsDirectory();
    EXPECT_EQ(SessionStore::opusURL(appFolder() + QStringLiteral("/mixed-") + id + QStringLiteral(".wav")),
              transcripts + QStringLiteral("/mixed-") + id + QStringLiteral(".opus"));
    EXPECT_EQ(SessionStore::opusURL(QStringLiteral("/elsewhere/system-X.wav")),
              transcripts + QStringLiteral("/system-X.opus"));
    EXPECT_EQ(SessionStore::opusURL(transcripts + QStringLiteral("/mixed-X.opus")),
              transcripts + QStringLiteral("/mixed-X.opus"));
    EXPECT_EQ(SessionStore::opusURL(QStringLiteral("/a/mic-X.tar.wav")),
              transcripts + QStringLiteral("/mic-X.tar.opus"));
    EXPECT_EQ(SessionStore::opusURL(QStringLiteral("/a/other-X.wav")), std::nullopt);
}

TEST(SessionStore, PendingRecordRoundTripsAndReadsOlderRecords) {
    const PendingSession session{appFolder() + QStringLiteral("/mixed-2025-03-01T14:05:09Z.wav"),
                                 utc("2025-03-01T14:05:09Z")};
    ASSERT_TRUE(SessionStore::writePending(session));
    EXPECT_EQ(SessionStore::readPending(), session);
    const QByteArray stored = readFile(SessionStore::pendingSessionPath());
    EXPECT_FALSE(stored.contains('\n')); // compact
    EXPECT_TRUE(stored.contains("\"startedAt\":\"2025-03-01T14:05:09Z\"")) << stored.toStdString();

    // A later record replaces the earlier one.
    const PendingSession later{QStringLiteral("/x/mixed-2025-03-02T00:00:00Z.wav"),
                               utc("2025-03-02T00:00:00Z")};
    ASSERT_TRUE(SessionStore::writePending(later));
    EXPECT_EQ(SessionStore::readPending(), later);

    const auto decoded = [](const char* json) { return PendingSession::decode(QByteArray(json)); };
    const QDateTime started = utc("2025-03-01T14:05:09Z");
    EXPECT_EQ(decoded(R"({"micPath":"/m.wav","startedAt":"2025-03-01T14:05:09Z"})"),
              (PendingSession{QStringLiteral("/m.wav"), started}));
    EXPECT_EQ(decoded(R"({"audioPath":"/a.wav","micPath":"/m.wav","startedAt":"2025-03-01T14:05:09Z"})"),
              (PendingSession{QStringLiteral("/a.wav"), started}));
    EXPECT_EQ(decoded(R"({"audioPath":null,"micPath":"/m.wav","startedAt":"2025-03-01T14:05:09Z"})"),
              (PendingSession{QStringLiteral("/m.wav"), started}));
    EXPECT_EQ(decoded(R"({"systemPath":"/s.wav","extra":[1,2],"startedAt":"2025-03-01T14:05:09Z"})"),
              (PendingSession{QString(), started}));
    // The path's slash survives an escaped form as older encoders wrote it.
    EXPECT_EQ(decoded(R"({"audioPath":"\/a\/b.wav","startedAt":"2025-03-01T14:05:09Z"})")->audioPath,
              QStringLiteral("/a/b.wav"));

    SessionStore::clearPending();
    EXPECT_FALSE(QFileInfo::exists(SessionStore::pendingSessionPath()));
    EXPECT_EQ(SessionStore::readPending(), std::nullopt);
}

TEST(SessionStore, UndecodableRecordsAreRefusedAndLeftOnDisk) {
    const char* refused[] = {
        R"({"audioPath":"/a.wav","startedAt":"2025-03-01T14:05:09.500Z"})",
        R"({"audioPath":"/a.wav","startedAt":"2025-03-01T15:05:09+01:00"})",
        R"({"audioPath":"/a.wav","startedAt":"2025-03-01T14:05:09"})",
        R"({"audioPath":"/a.wav","startedAt":"2025-03-01 14:05:09Z"})",
        R"({"audioPath":"/a.wav","startedAt":"2025-03-01T14:05Z"})",
        R"({"audioPath":"/a.wav","startedAt":"2025-13-01T14:05:09Z"})",
        R"({"audioPath":"/a.wav","startedAt":762703509})",
        R"({"audioPath":"/a.wav"})",
        R"({"audioPath":42,"startedAt":"2025-03-01T14:05:09Z"})",
        R"({"micPath":["/m.wav"],"startedAt":"2025-03-01T14:05:09Z"})",
        R"(["/a.wav","2025-03-01T14:05:09Z"])",
        R"({"audioPath":"/a.wav","startedAt":"2025-03-01T14:05:09Z")",
        "",
    };
    for (const char* json : refused) {
        writeFile(SessionStore::pendingSessionPath(), QByteArray(json));
        EXPECT_EQ(SessionStore::readPending(), std::nullopt) << json;
        EXPECT_EQ(readFile(SessionStore::pendingSessionPath()), QByteArray(json));
    }
    // A record cut short anywhere (a crash while writing it) is refused as well.
    const QByteArray valid =
        PendingSession{QStringLiteral("/a/mixed-2025-03-01T14:05:09Z.wav"), utc("2025-03-01T14:05:09Z")}
            .encode();
    ASSERT_TRUE(PendingSession::decode(valid));
    for (qsizetype length = 0; length < valid.size(); ++length)
        EXPECT_FALSE(PendingSession::decode(valid.left(length))) << length;
}

TEST(SessionStore, TranscriptsAreWrittenWholeAndReplaced) {
    const QString path = SessionStore::transcriptsDirectory() + QStringLiteral("/2025-03-01T14:05:09Z.txt");
    const QString first = QStringLiteral("[00:00] SPEAKER_00: Grüße – 你好\n");
    SessionStore::saveTranscript(first, QStringLiteral("2025-03-01T14:05:09Z"));
    EXPECT_EQ(QString::fromUtf8(readFile(path)), first);
    SessionStore::saveTranscript(QStringLiteral("[00:01] Speaker: Bye\n"),
                                 QStringLiteral("2025-03-01T14:05:09Z"));
    EXPECT_EQ(readFile(path), QByteArray("[00:01] Speaker: Bye\n"));
    // Nothing but the transcript is left behind.
    EXPECT_EQ(QDir(SessionStore::transcriptsDirectory()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("2025-03-01T14:05:09Z.txt")});
}

TEST(SessionStore, AudioFramesCountOnlyAfterARepairThatFindsThem) {
    const QString folder = SessionStore::appSupportDirectory();
    EXPECT_FALSE(AudioFileReader::hasAudioFrames(folder + QStringLiteral("/mixed-missing.wav")));
    EXPECT_FALSE(AudioFileReader::hasAudioFrames(folder));

    const std::vector<float> samples(8000, 0.25f);
    const QString complete = folder + QStringLiteral("/mixed-A.wav");
    AudioFileWriter::create(complete, AudioFormat::working())->write(samples.data(), samples.size());
    EXPECT_TRUE(AudioFileReader::hasAudioFrames(complete));

    // What a crash leaves: the samples are there, the header's sizes still say nothing is.
    const QString live = folder + QStringLiteral("/mixed-live.wav");
    const QString crashed = folder + QStringLiteral("/mixed-B.wav");
    auto writer = AudioFileWriter::create(live, AudioFormat::working());
    writer->write(samples.data(), samples.size());
    ASSERT_TRUE(QFile::copy(live, crashed));
    writer.reset();
    EXPECT_TRUE(AudioFileReader::hasAudioFrames(crashed));
    EXPECT_EQ(AudioFileReader::open(crashed)->length(), 8000); // repaired on disk

    // A header and no samples: nothing to repair, nothing to hear.
    const QString empty = folder + QStringLiteral("/mixed-C.wav");
    AudioFileWriter::create(empty, AudioFormat::working())->close();
    EXPECT_FALSE(AudioFileReader::hasAudioFrames(empty));

    const QString text = folder + QStringLiteral("/mixed-D.wav");
    writeFile(text, QByteArray("definitely not audio\n").repeated(10));
    EXPECT_FALSE(AudioFileReader::hasAudioFrames(text));
    EXPECT_EQ(readFile(text), QByteArray("definitely not audio\n").repeated(10));
}
