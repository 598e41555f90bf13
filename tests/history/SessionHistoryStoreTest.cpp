#include "HistoryTestSupport.h"

#include "history/SessionDateFormatter.h"
#include "history/SessionMetadataStore.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <ctime>

// The expected entries name only the fields each session has.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace murmurly::test {
namespace {

using Entry = SessionHistoryEntry;
using Names = SessionMetadataStore::NameMap;

QDateTime utc(int y, int mo, int d, int h = 12, int mi = 0, int s = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

// What a scan should find for `id` without a stored name.
Entry expected(const QString& id, Entry e = {}) {
    e.id = id;
    e.startedAt = SessionDateFormatter::parseInternetDateTime(id);
    e.displayName = SessionDateFormatter().format(e.startedAt);
    return e;
}

void addSessions(const QStringList& ids) {
    for (const QString& id : ids)
        writeFile(inApp("mixed-" + id + ".wav"), "w");
}

TEST(SessionHistoryScan, MergesRecordingsCopiesAndTranscriptsIntoOneEntryPerSessionNewestFirst) {
    // A: finished, its WAV already removed: only the mixed Opus copy and the transcript remain.
    writeFile(inTranscripts("mixed-" + kA + ".opus"), QByteArray(1234, 'o'));
    writeFile(inTranscripts(kA + ".txt"), "hello");
    // B: mixed WAV with its copy (the WAV stays the location), per-source tracks, one of them copied.
    writeFile(inApp("mixed-" + kB + ".wav"), QByteArray(5000, 'w'));
    writeFile(inTranscripts("mixed-" + kB + ".opus"), QByteArray(700, 'o'));
    writeFile(inApp("mic-" + kB + ".wav"), QByteArray(3000, 'm'));
    writeFile(inApp("system-" + kB + ".wav"), QByteArray(2000, 's'));
    writeFile(inTranscripts("system-" + kB + ".opus"), QByteArray(300, 'o'));
    writeFile(inTranscripts(kB + ".TXT"), "wrong case: no transcript");
    writeFile(inApp("mic-" + kC + ".wav"), QByteArray(44, 'm'));
    // Not session files: D makes no entry.
    for (const QString& name :
         QStringList{"mixed-" + kD + ".WAV", "Mixed-" + kD + ".wav", "other-" + kD + ".wav",
                     "mixed-" + kD + ".ogg", ".mixed-" + kD + ".wav", "mixed-" + kD + ".opus"})
        writeFile(inApp(name), "x");
    for (const QString& name :
         QStringList{"mixed-" + kD + ".ogg", "mixed-" + kD + ".wav", ".mixed-" + kD + ".opus", kD + ".txt"})
        writeFile(inTranscripts(name), "x"); // WAVs count in the application folder only
    QDir().mkpath(inApp("sub"));
    writeFile(inApp("sub/mixed-" + kD + ".wav"), "not recursive");
    QDir().mkpath(inApp("mixed-" + kD + ".wav")); // a folder is no recording

    const Entry a = expected(kA, {.audioURL = inTranscripts("mixed-" + kA + ".opus"),
                                  .transcriptURL = inTranscripts(kA + ".txt"),
                                  .audioOpusBytes = 1234});
    const Entry b = expected(kB, {.audioURL = inApp("mixed-" + kB + ".wav"),
                                  .micURL = inApp("mic-" + kB + ".wav"),
                                  .systemURL = inApp("system-" + kB + ".wav"),
                                  .audioBytes = 5000,
                                  .micBytes = 3000,
                                  .systemBytes = 2000,
                                  .audioOpusBytes = 700,
                                  .systemOpusBytes = 300});
    const Entry c = expected(kC, {.micURL = inApp("mic-" + kC + ".wav"), .micBytes = 44});
    EXPECT_EQ(SessionHistoryStore::scanEntries(), (QList<Entry>{a, b, c}));
    QFile::remove(inTranscripts(kA + ".txt"));
    EXPECT_FALSE(a.hasTranscript()); // asks the disk, not the scan
}

TEST(SessionHistoryScan, DatesComeFromTheIdElseTheWavTimeElseNowAndTiesGoToTheGreaterId) {
    writeFile(inApp("mixed-weekly sync.wav"), "w");
    setModified(inApp("mixed-weekly sync.wav"), utc(2023, 7, 4));
    writeFile(inTranscripts("mixed-weekly sync.opus"), "oo"); // joins the WAV's entry
    writeFile(inTranscripts("mic-interview.opus"), "o");      // Opus only: its own time is not used
    setModified(inTranscripts("mic-interview.opus"), utc(2020, 1, 1));
    // One instant written in three zones: equal start times, ordered by id text.
    const QStringList sameInstant = {"2022-03-01T16:05:09+02:00", "2022-03-01T14:05:09Z",
                                     "2022-03-01T13:05:09-01:00"};
    for (const QString& id : sameInstant)
        writeFile(inApp("system-" + id + ".wav"), "s");

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const QList<Entry> entries = SessionHistoryStore::scanEntries();
    ASSERT_EQ(idsOf(entries), QStringList({"interview", "weekly sync"}) + sameInstant);
    EXPECT_TRUE(entries[0].startedAt >= before && entries[0].startedAt <= QDateTime::currentDateTimeUtc());
    EXPECT_EQ(entries[1].startedAt, utc(2023, 7, 4));
    EXPECT_EQ(entries[1].audioOpusBytes, 2);
    EXPECT_EQ(entries[2].startedAt, utc(2022, 3, 1, 14, 5, 9));
    qputenv("TZ", "America/New_York"); // unnamed sessions show a medium date and a short local time
    tzset();
    const SessionDateFormatter us(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(us.format(entries[2].startedAt), QStringLiteral("Mar 1, 2022 9:05 AM"));
}

TEST(SessionHistoryStore, ARescanSelectsTheNewestAndKeepsASelectionThatSurvives) {
    addSessions({kB, kC});
    SessionHistoryStore store;
    EXPECT_TRUE(store.sessions().isEmpty()); // it never scans by itself
    rescanAndWait(store);
    EXPECT_EQ(store.selectedID(), kB);
    store.setSelectedID(kC);
    addSessions({kA});
    rescanAndWait(store);
    EXPECT_EQ(idsOf(store.sessions()), (QStringList{kA, kB, kC}));
    EXPECT_EQ(store.selectedID(), kC);
    QFile::remove(inApp("mixed-" + kC + ".wav")); // the selected session vanished
    rescanAndWait(store);
    EXPECT_EQ(store.selectedID(), kA);
}

TEST(SessionHistoryStore, RenamedSessionsShowTheTrimmedNameUntilTheNameFileIsUnreadable) {
    addSessions({kA, kB});
    SessionHistoryStore store;
    rescanAndWait(store);
    for (const QString& blank : {QString(), QStringLiteral(" \n\t\r "), QStringLiteral("\u00a0")})
        store.rename(kB, blank);
    EXPECT_FALSE(QFile::exists(inApp("session_metadata.json"))); // blank names write nothing

    store.rename(kB, QStringLiteral("  Planning \"Q3\"\n"));
    store.rename(kC, QStringLiteral("Later")); // unlisted: stored, shown once its files appear
    EXPECT_EQ(SessionMetadataStore::readNames(), (Names{{kB, "Planning \"Q3\""}, {kC, "Later"}}));
    writeFile(inApp("mic-" + kC + ".wav"), "m");
    rescanAndWait(store);
    EXPECT_EQ(store.session(kA)->displayName, expected(kA).displayName);
    EXPECT_EQ(store.session(kB)->displayName, QStringLiteral("Planning \"Q3\""));
    EXPECT_EQ(store.session(kC)->displayName, QStringLiteral("Later"));

    writeFile(inApp("session_metadata.json"), QStringLiteral(R"({"%1":"Planning","x":1})").arg(kB).toUtf8());
    rescanAndWait(store);
    EXPECT_EQ(store.session(kB)->displayName, expected(kB).displayName);
}

TEST(SessionHistoryStore, DeleteRemovesTheSessionsFilesNameAndRowAndMovesTheSelection) {
    const QStringList filesOfA = {writeFile(inApp("mixed-" + kA + ".wav"), "w"),
                                  writeFile(inApp("mic-" + kA + ".wav"), "m"),
                                  writeFile(inTranscripts("mixed-" + kA + ".opus"), "o"),
                                  writeFile(inTranscripts("mic-" + kA + ".opus"), "o"),
                                  writeFile(inTranscripts("system-" + kA + ".opus"), "o"),
                                  writeFile(inTranscripts(kA + ".txt"), "t"),
                                  writeFile(inTranscripts(kA + ".segments.json"), "[]")};
    QStringList kept = {writeFile(inTranscripts("mixed-" + kA + ".ogg"), "not ours"),
                        writeFile(inApp("pending_session.json"), "{}")};
    addSessions({kB, kC, kD});
    SessionMetadataStore::setName(QStringLiteral("Doomed"), kA);
    SessionMetadataStore::setName(QStringLiteral("Keeper"), kB);
    SessionHistoryStore store;
    rescanAndWait(store);
    kept << writeFile(inApp("mixed-late.wav"), "w"); // a session the store has not listed stays
    store.deleteSession(QStringLiteral("late"));
    ASSERT_EQ(store.selectedID(), kA);

    store.deleteSession(kA);
    for (const QString& path : filesOfA + kept)
        EXPECT_EQ(QFile::exists(path), kept.contains(path)) << path.toStdString();
    EXPECT_EQ(SessionMetadataStore::readNames(), (Names{{kB, "Keeper"}}));
    EXPECT_EQ(idsOf(store.sessions()), (QStringList{kB, kC, kD}));
    EXPECT_EQ(store.selectedID(), kB);
    store.setSelectedID(kD);
    store.deleteSession(kB); // not selected: the selection stays
    EXPECT_EQ(store.selectedID(), kD);
    store.deleteSession(kC);
    store.deleteSession(kD);
    EXPECT_EQ(store.selectedID(), std::nullopt);
}

} // namespace
} // namespace murmurly::test
