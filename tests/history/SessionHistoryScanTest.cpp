#include "HistoryTestSupport.h"

#include "history/SessionDateFormatter.h"
#include "history/SessionHistoryStore.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace murmurly::test {
namespace {

using Entry = SessionHistoryEntry;

const QString kA = QStringLiteral("2025-03-01T14:05:09Z");
const QString kB = QStringLiteral("2025-02-11T08:00:00Z");
const QString kC = QStringLiteral("2024-12-31T23:59:59Z");
const QString kD = QStringLiteral("2024-06-15T10:30:00Z");

QDateTime parsed(const QString& id) {
    return SessionDateFormatter::parseInternetDateTime(id);
}

QDateTime utcDate(int y, int m, int d) {
    return QDateTime(QDate(y, m, d), QTime(12, 0), Qt::UTC);
}

Entry blank(const QString& id, const QDateTime& startedAt) {
    Entry e;
    e.id = id;
    e.startedAt = startedAt;
    e.displayName = SessionDateFormatter().format(startedAt);
    return e;
}

TEST(SessionHistoryScan, EmptyFoldersGiveNoSessions) {
    EXPECT_TRUE(SessionHistoryStore::scanEntries().isEmpty());
}

TEST(SessionHistoryScan, MergesRecordingsCopiesAndTranscriptsIntoOneEntryPerSession) {
    // A: a finished session: its WAV was removed, only the mixed Opus copy and transcript remain.
    writeFile(inTranscripts("mixed-" + kA + ".opus"), QByteArray(1234, 'o'));
    writeFile(inTranscripts(kA + ".txt"), "hello");
    // B: mixed WAV and its Opus copy, plus the per-source tracks with one Opus copy.
    writeFile(inApp("mixed-" + kB + ".wav"), QByteArray(5000, 'w'));
    writeFile(inTranscripts("mixed-" + kB + ".opus"), QByteArray(700, 'o'));
    writeFile(inApp("mic-" + kB + ".wav"), QByteArray(3000, 'm'));
    writeFile(inApp("system-" + kB + ".wav"), QByteArray(2000, 's'));
    writeFile(inTranscripts("system-" + kB + ".opus"), QByteArray(300, 'o'));
    // C: only a microphone track.
    writeFile(inApp("mic-" + kC + ".wav"), QByteArray(44, 'm'));
    // D: only a system Opus copy, and an empty mixed WAV.
    writeFile(inTranscripts("system-" + kD + ".opus"), QByteArray(99, 'o'));
    writeFile(inApp("mixed-" + kD + ".wav"), QByteArray());

    Entry a = blank(kA, parsed(kA));
    a.audioURL = inTranscripts("mixed-" + kA + ".opus");
    a.audioOpusBytes = 1234;
    a.transcriptURL = inTranscripts(kA + ".txt");

    Entry b = blank(kB, parsed(kB));
    b.audioURL = inApp("mixed-" + kB + ".wav"); // the WAV wins over its copy
    b.micURL = inApp("mic-" + kB + ".wav");
    b.systemURL = inApp("system-" + kB + ".wav");
    b.audioBytes = 5000;
    b.micBytes = 3000;
    b.systemBytes = 2000;
    b.audioOpusBytes = 700;
    b.systemOpusBytes = 300;

    Entry c = blank(kC, parsed(kC));
    c.micURL = inApp("mic-" + kC + ".wav");
    c.micBytes = 44;

    Entry d = blank(kD, parsed(kD));
    d.audioURL = inApp("mixed-" + kD + ".wav");
    d.systemURL = inTranscripts("system-" + kD + ".opus");
    d.systemOpusBytes = 99;

    const QList<Entry> entries = SessionHistoryStore::scanEntries();
    ASSERT_EQ(entries.size(), 4);
    EXPECT_EQ(entries[0], a);
    EXPECT_EQ(entries[1], b);
    EXPECT_EQ(entries[2], c);
    EXPECT_EQ(entries[3], d);
    EXPECT_TRUE(entries[0].hasTranscript());
    EXPECT_FALSE(entries[1].hasTranscript());
    EXPECT_EQ(entries[1].wavBytes(), 10000);
    EXPECT_EQ(entries[1].opusBytes(), 1000);
}

TEST(SessionHistoryScan, NamesThatAreNotSessionFilesAreIgnored) {
    writeFile(inApp("mixed-" + kA + ".WAV"), "upper-case extension: no id");
    writeFile(inApp("Mixed-" + kA + ".wav"), "prefixes are case-sensitive");
    writeFile(inApp("other-" + kA + ".wav"), "unknown prefix");
    writeFile(inApp("mixed-" + kA + ".ogg"), "ogg never counts");
    writeFile(inTranscripts("mixed-" + kA + ".ogg"), "ogg never counts");
    writeFile(inApp(".mixed-" + kA + ".wav"), "hidden");
    writeFile(inApp("mixed-" + kA + ".opus"), "Opus copies only count in the transcripts folder");
    writeFile(inTranscripts("mixed-" + kA + ".wav"), "WAVs only count in the application folder");
    writeFile(inTranscripts(kB + ".txt"), "a transcript alone makes no session");
    writeFile(inApp("pending_session.json"), "{}");
    writeFile(inApp("session_metadata.json"), "{}");
    writeFile(inApp("subfolder/mixed-" + kC + ".wav"), "not recursive");
    QDir().mkpath(inApp("mixed-" + kD + ".wav")); // a folder with a session's name

    EXPECT_EQ(SessionHistoryStore::scanEntries(), QList<Entry>());
}

TEST(SessionHistoryScan, IdsThatAreNotDatesTakeTheWavTimeOrElseTheCurrentTime) {
    const QDateTime modified = utcDate(2023, 7, 4);
    writeFile(inApp("mixed-weekly sync.wav"), "w");
    setModified(inApp("mixed-weekly sync.wav"), modified);
    // A WAV with a non-date id gives the date to its Opus copy too.
    writeFile(inTranscripts("mixed-weekly sync.opus"), "oo");
    setModified(inTranscripts("mixed-weekly sync.opus"), utcDate(2020, 1, 1));
    // Opus only: the copy's own time is not consulted.
    writeFile(inTranscripts("mic-interview.opus"), "ooo");
    setModified(inTranscripts("mic-interview.opus"), utcDate(2020, 1, 1));
    // A fractional-second id is not an internet date-time either.
    writeFile(inApp("system-2025-03-01T14:05:09.500Z.wav"), "s");
    setModified(inApp("system-2025-03-01T14:05:09.500Z.wav"), utcDate(2022, 2, 2));

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const QList<Entry> entries = SessionHistoryStore::scanEntries();
    const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);

    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].id, QStringLiteral("interview"));
    EXPECT_GE(entries[0].startedAt, before);
    EXPECT_LE(entries[0].startedAt, after);
    EXPECT_EQ(entries[0].micURL, inTranscripts("mic-interview.opus"));
    EXPECT_EQ(entries[0].micOpusBytes, 3);

    EXPECT_EQ(entries[1].id, QStringLiteral("weekly sync"));
    EXPECT_EQ(entries[1].startedAt, modified);
    EXPECT_EQ(entries[1].audioBytes, 1);
    EXPECT_EQ(entries[1].audioOpusBytes, 2);

    EXPECT_EQ(entries[2].id, QStringLiteral("2025-03-01T14:05:09.500Z"));
    EXPECT_EQ(entries[2].startedAt, utcDate(2022, 2, 2));
}

TEST(SessionHistoryScan, EqualStartTimesPutTheGreaterIdFirst) {
    // Three spellings of one instant, as ids written in different zones would be.
    const QString zulu = QStringLiteral("2025-03-01T14:05:09Z");
    const QString plusTwo = QStringLiteral("2025-03-01T16:05:09+02:00");
    const QString minusOne = QStringLiteral("2025-03-01T13:05:09-01:00");
    for (const QString& id : {zulu, plusTwo, minusOne})
        writeFile(inApp("mixed-" + id + ".wav"), "w");
    writeFile(inApp("mixed-" + kB + ".wav"), "older");

    const QList<Entry> entries = SessionHistoryStore::scanEntries();
    QStringList ids;
    for (const Entry& e : entries)
        ids << e.id;
    // By text, "…T16…" > "…T14…" > "…T13…".
    EXPECT_EQ(ids, (QStringList{plusTwo, zulu, minusOne, kB}));
    EXPECT_EQ(entries[0].startedAt, entries[2].startedAt);
}

TEST(SessionHistoryScan, StoredNamesReplaceTheFormattedDate) {
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    writeFile(inTranscripts("mixed-" + kB + ".opus"), "o");
    writeFile(inApp("mixed-" + kC + ".wav"), "w");
    writeFile(inApp("session_metadata.json"),
              QStringLiteral(R"({"%1":"Planning \"Q3\"","%2":"Café","unlisted":"x"})").arg(kA, kB).toUtf8());

    const QList<Entry> entries = SessionHistoryStore::scanEntries();
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].displayName, QStringLiteral("Planning \"Q3\""));
    EXPECT_EQ(entries[1].displayName, QStringLiteral("Café"));
    EXPECT_EQ(entries[2].displayName, SessionDateFormatter().format(parsed(kC)));
}

TEST(SessionHistoryScan, ACorruptOrEmptyNameFileGivesFormattedDates) {
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    const QByteArray unreadable[] = {"{\"" + kA.toUtf8() + "\":\"Name\",", "{\"" + kA.toUtf8() + "\":1}", ""};
    for (const QByteArray& contents : unreadable) {
        writeFile(inApp("session_metadata.json"), contents);
        const QList<Entry> entries = SessionHistoryStore::scanEntries();
        ASSERT_EQ(entries.size(), 1);
        EXPECT_EQ(entries[0].displayName, SessionDateFormatter().format(parsed(kA)));
    }
}

TEST(SessionHistoryScan, ATranscriptBelongsToTheSessionOfTheSameId) {
    writeFile(inApp("mic-" + kA + ".wav"), "m");
    writeFile(inTranscripts(kA + ".txt"), "text");
    writeFile(inTranscripts("system-" + kB + ".opus"), "o");
    writeFile(inTranscripts(kB + ".txt"), "text");
    writeFile(inApp("mixed-" + kC + ".wav"), "w");
    writeFile(inTranscripts(kC + ".TXT"), "wrong case");

    const QList<Entry> entries = SessionHistoryStore::scanEntries();
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].transcriptURL, inTranscripts(kA + ".txt"));
    EXPECT_EQ(entries[1].transcriptURL, inTranscripts(kB + ".txt"));
    EXPECT_EQ(entries[2].transcriptURL, std::nullopt);

    // hasTranscript asks the disk, not the scan.
    QFile::remove(inTranscripts(kA + ".txt"));
    EXPECT_FALSE(entries[0].hasTranscript());
    EXPECT_TRUE(entries[1].hasTranscript());
}

} // namespace
} // namespace murmurly::test
