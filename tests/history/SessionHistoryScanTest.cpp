#include "HistoryTestSupport.h"

#include "history/SessionDateFormatter.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <ctime>

namespace murmurly::test {
namespace {

using Entry = SessionHistoryEntry;

const QString kA = QStringLiteral("2025-03-01T14:05:09Z");
const QString kB = QStringLiteral("2025-02-11T08:00:00Z");
const QString kC = QStringLiteral("2024-12-31T23:59:59Z");

QDateTime utc(int y, int mo, int d, int h = 12, int mi = 0, int s = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

Entry blank(const QString& id) {
    Entry e;
    e.id = id;
    e.startedAt = SessionDateFormatter::parseInternetDateTime(id);
    e.displayName = SessionDateFormatter().format(e.startedAt);
    return e;
}

TEST(SessionDateFormatter, ReadsInternetDateTimesAndWritesMediumDatesWithShortTimes) {
    using F = SessionDateFormatter;
    EXPECT_EQ(F::parseInternetDateTime(kA), utc(2025, 3, 1, 14, 5, 9));
    EXPECT_EQ(F::parseInternetDateTime(QStringLiteral("2025-03-01T16:05:09+02:00")),
              utc(2025, 3, 1, 14, 5, 9));
    for (const char* refused :
         {"2025-03-01T14:05:09.500Z", "2025-03-01T14:05:09", "2025-03-01", "2025-03-01t14:05:09z",
          "2025-02-30T14:05:09Z", "2025-03-01T24:05:09Z", "2025-03-01T14:05:09Z.wav", "notes"})
        EXPECT_FALSE(F::parseInternetDateTime(QString::fromLatin1(refused)).isValid()) << refused;

    qputenv("TZ", "America/New_York");
    tzset();
    const F us(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(us.format(utc(2025, 3, 1, 14, 5, 9)), QStringLiteral("Mar 1, 2025 9:05 AM"));
    EXPECT_EQ(us.format(utc(2025, 7, 1, 14, 5, 9)), QStringLiteral("Jul 1, 2025 10:05 AM")); // summer time
    EXPECT_EQ(F(QLocale(QLocale::German, QLocale::Germany)).format(utc(2025, 3, 1, 14, 5, 9)),
              QStringLiteral("1. März 2025 09:05"));
    // Every locale keeps year, month and day, never the weekday, and no dangling separator.
    for (const QLocale& locale :
         QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory)) {
        const QString format = F::mediumDateFormat(locale);
        SCOPED_TRACE(locale.name().toStdString() + " " + format.toStdString());
        EXPECT_TRUE(format.contains(u'y') && format.contains(u'M') && format.contains(u'd'));
        EXPECT_FALSE(format.contains(QStringLiteral("ddd")) || format.startsWith(u',') ||
                     format.endsWith(u','));
    }
}

TEST(SessionHistoryScan, MergesRecordingsCopiesAndTranscriptsIntoOneEntryPerSessionNewestFirst) {
    EXPECT_TRUE(SessionHistoryStore::scanEntries().isEmpty());
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
    // C: only a microphone track.
    writeFile(inApp("mic-" + kC + ".wav"), QByteArray(44, 'm'));

    Entry a = blank(kA);
    a.audioURL = inTranscripts("mixed-" + kA + ".opus");
    a.audioOpusBytes = 1234;
    a.transcriptURL = inTranscripts(kA + ".txt");
    Entry b = blank(kB);
    b.audioURL = inApp("mixed-" + kB + ".wav");
    b.micURL = inApp("mic-" + kB + ".wav");
    b.systemURL = inApp("system-" + kB + ".wav");
    b.audioBytes = 5000;
    b.micBytes = 3000;
    b.systemBytes = 2000;
    b.audioOpusBytes = 700;
    b.systemOpusBytes = 300;
    Entry c = blank(kC);
    c.micURL = inApp("mic-" + kC + ".wav");
    c.micBytes = 44;
    EXPECT_EQ(SessionHistoryStore::scanEntries(), (QList<Entry>{a, b, c}));

    // hasTranscript asks the disk, not the scan.
    EXPECT_TRUE(a.hasTranscript());
    QFile::remove(inTranscripts(kA + ".txt"));
    EXPECT_FALSE(a.hasTranscript());
}

TEST(SessionHistoryScan, NamesThatAreNotSessionFilesAreIgnored) {
    for (const QString& name :
         QStringList{"mixed-" + kA + ".WAV", "Mixed-" + kA + ".wav", "other-" + kA + ".wav",
                     "mixed-" + kA + ".ogg", ".mixed-" + kA + ".wav", "mixed-" + kA + ".opus"})
        writeFile(inApp(name), "x");
    writeFile(inTranscripts("mixed-" + kA + ".ogg"), "x");
    writeFile(inTranscripts("mixed-" + kA + ".wav"), "x"); // WAVs count in the application folder only
    writeFile(inTranscripts(".mixed-" + kA + ".opus"), "x");
    writeFile(inTranscripts(kB + ".txt"), "a transcript alone makes no session");
    QDir().mkpath(inApp("sub"));
    writeFile(inApp("sub/mixed-" + kC + ".wav"), "not recursive");
    QDir().mkpath(inApp("mixed-" + kC + ".wav")); // a folder is no recording
    EXPECT_EQ(SessionHistoryStore::scanEntries(), QList<Entry>());
}

TEST(SessionHistoryScan, DatesComeFromTheIdElseTheWavTimeElseNowAndTiesGoToTheGreaterId) {
    writeFile(inApp("mixed-weekly sync.wav"), "w");
    setModified(inApp("mixed-weekly sync.wav"), utc(2023, 7, 4));
    writeFile(inTranscripts("mixed-weekly sync.opus"), "oo"); // joins the WAV's entry
    writeFile(inTranscripts("mic-interview.opus"), "o");      // Opus only: its own time is not used
    setModified(inTranscripts("mic-interview.opus"), utc(2020, 1, 1));
    // One instant written in three zones: equal start times, ordered by id text.
    const QStringList sameInstant = {QStringLiteral("2022-03-01T16:05:09+02:00"),
                                     QStringLiteral("2022-03-01T14:05:09Z"),
                                     QStringLiteral("2022-03-01T13:05:09-01:00")};
    for (const QString& id : sameInstant)
        writeFile(inApp("system-" + id + ".wav"), "s");

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const QList<Entry> entries = SessionHistoryStore::scanEntries();
    EXPECT_EQ(idsOf(entries),
              QStringList({QStringLiteral("interview"), QStringLiteral("weekly sync")}) + sameInstant);
    ASSERT_EQ(entries.size(), 5);
    EXPECT_GE(entries[0].startedAt, before);
    EXPECT_LE(entries[0].startedAt, QDateTime::currentDateTimeUtc());
    EXPECT_EQ(entries[1].startedAt, utc(2023, 7, 4));
    EXPECT_EQ(entries[1].audioOpusBytes, 2);
    EXPECT_EQ(entries[2].startedAt, utc(2022, 3, 1, 14, 5, 9));
}

TEST(SessionHistoryScan, StoredNamesReplaceTheDateUnlessTheNameFileIsUnreadable) {
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    writeFile(inTranscripts("mixed-" + kB + ".opus"), "o");
    writeFile(inApp("session_metadata.json"),
              QStringLiteral(R"({"%1":"Planning \"Q3\"","x":"y"})").arg(kB).toUtf8());
    QList<Entry> entries = SessionHistoryStore::scanEntries();
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[0].displayName, blank(kA).displayName);
    EXPECT_EQ(entries[1].displayName, QStringLiteral("Planning \"Q3\""));

    writeFile(inApp("session_metadata.json"), QStringLiteral(R"({"%1":"Planning","x":1})").arg(kB).toUtf8());
    EXPECT_EQ(SessionHistoryStore::scanEntries()[1].displayName, blank(kB).displayName);
}

} // namespace
} // namespace murmurly::test
