#include "storage/SessionStore.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

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

TEST(SessionStore, SessionsAreNamedByTheirStartSecondAndTheirTranscriptsWrittenWhole) {
    ASSERT_FALSE(QFileInfo::exists(appFolder()));
    EXPECT_EQ(SessionStore::transcriptsDirectory(), appFolder() + QStringLiteral("/transcripts"));
    EXPECT_TRUE(QFileInfo(appFolder() + QStringLiteral("/transcripts")).isDir());
    EXPECT_EQ(SessionStore::pendingSessionPath(), appFolder() + QStringLiteral("/pending_session.json"));

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
    EXPECT_EQ(SessionStore::sessionIDFor(utc("2025-03-01T14:05:09.900Z")),
              QStringLiteral("2025-03-01T14:05:09Z"));
    EXPECT_EQ(SessionStore::sessionIDFor(utc("2025-03-01T15:05:09+01:00")),
              QStringLiteral("2025-03-01T14:05:09Z"));

    // Transcripts are written whole and replaced.
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

TEST(SessionStore, FindsSessionIdsAndOpusCopiesFromNames) {
    const std::pair<const char*, std::optional<QString>> names[] = {
        {"mixed-2025-03-01T14:05:09Z.wav", QStringLiteral("2025-03-01T14:05:09Z")},
        {"mixed-X.opus", QStringLiteral("X")},
        {"mixed-X.ogg", QStringLiteral("X")},
        {"mixed-.wav", QString()},
        {"mic-X.wav", std::nullopt},
        {"mixed-X.mp3", std::nullopt},
        {"mixed-X.WAV", std::nullopt},
        {"Mixed-X.wav", std::nullopt},
    };
    for (const auto& [name, id] : names) {
        EXPECT_EQ(SessionStore::sessionID(QStringLiteral("/somewhere/") + QLatin1String(name),
                                          QStringLiteral("mixed-")),
                  id)
            << name;
    }
    const QString transcripts = SessionStore::transcriptsDirectory();
    const std::pair<const char*, std::optional<QString>> copies[] = {
        {"/elsewhere/system-X.wav", transcripts + QStringLiteral("/system-X.opus")},
        {"/a/mic-X.tar.wav", transcripts + QStringLiteral("/mic-X.tar.opus")},
        {"/a/mixed-X.opus", transcripts + QStringLiteral("/mixed-X.opus")},
        {"/a/other-X.wav", std::nullopt},
    };
    for (const auto& [path, copy] : copies) {
        EXPECT_EQ(SessionStore::opusURL(QLatin1String(path)), copy) << path;
    }
}

// Reading a record never changes it: one that does not decode stays for a later version.
TEST(SessionStore, PendingRecordRoundTripsReadsOlderRecordsAndRefusesTheRest) {
    const PendingSession session{appFolder() + QStringLiteral("/mixed-2025-03-01T14:05:09Z.wav"),
                                 utc("2025-03-01T14:05:09Z")};
    ASSERT_TRUE(SessionStore::writePending(session));
    EXPECT_EQ(SessionStore::readPending(), session);
    const QByteArray stored = readFile(SessionStore::pendingSessionPath());
    EXPECT_FALSE(stored.contains('\n')); // compact
    EXPECT_TRUE(stored.contains("\"startedAt\":\"2025-03-01T14:05:09Z\"")) << stored.toStdString();
    const PendingSession later{QStringLiteral("/x/mixed-2025-03-02T00:00:00Z.wav"),
                               utc("2025-03-02T00:00:00Z")};
    ASSERT_TRUE(SessionStore::writePending(later));
    EXPECT_EQ(SessionStore::readPending(), later);

    // Older records name the microphone's file; the slash survives an escaped form.
    const std::pair<const char*, std::optional<QString>> records[] = {
        {R"({"micPath":"/m.wav","startedAt":"2025-03-01T14:05:09Z"})", QStringLiteral("/m.wav")},
        {R"({"audioPath":"/a.wav","micPath":"/m.wav","startedAt":"2025-03-01T14:05:09Z"})",
         QStringLiteral("/a.wav")},
        {R"({"audioPath":null,"micPath":"/m.wav","startedAt":"2025-03-01T14:05:09Z"})",
         QStringLiteral("/m.wav")},
        {R"({"systemPath":"/s.wav","extra":[1,2],"startedAt":"2025-03-01T14:05:09Z"})", QString()},
        {R"({"audioPath":"\/a\/b.wav","startedAt":"2025-03-01T14:05:09Z"})", QStringLiteral("/a/b.wav")},
        {R"({"audioPath":"/a.wav","startedAt":"2025-03-01T14:05:09.500Z"})", std::nullopt},
        {R"({"audioPath":"/a.wav","startedAt":"2025-03-01T15:05:09+01:00"})", std::nullopt},
        {R"({"audioPath":"/a.wav","startedAt":"2025-03-01T14:05:09"})", std::nullopt},
        {R"({"audioPath":"/a.wav","startedAt":"2025-13-01T14:05:09Z"})", std::nullopt},
        {R"({"audioPath":"/a.wav","startedAt":762703509})", std::nullopt},
        {R"({"audioPath":"/a.wav"})", std::nullopt},
        {R"({"audioPath":42,"startedAt":"2025-03-01T14:05:09Z"})", std::nullopt},
        {R"(["/a.wav","2025-03-01T14:05:09Z"])", std::nullopt},
    };
    for (const auto& [json, path] : records) {
        writeFile(SessionStore::pendingSessionPath(), QByteArray(json));
        const auto expected =
            path ? std::optional(PendingSession{*path, utc("2025-03-01T14:05:09Z")}) : std::nullopt;
        EXPECT_EQ(SessionStore::readPending(), expected) << json;
        EXPECT_EQ(readFile(SessionStore::pendingSessionPath()), QByteArray(json));
    }
    // A record cut short anywhere (a crash while writing it) is refused as well.
    const QByteArray valid = session.encode();
    ASSERT_TRUE(PendingSession::decode(valid));
    for (qsizetype length = 0; length < valid.size(); ++length)
        EXPECT_FALSE(PendingSession::decode(valid.left(length))) << length;

    SessionStore::clearPending();
    EXPECT_FALSE(QFileInfo::exists(SessionStore::pendingSessionPath()));
    EXPECT_EQ(SessionStore::readPending(), std::nullopt);
}
