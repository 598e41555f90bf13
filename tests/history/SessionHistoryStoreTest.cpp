// The sessions on disk as the history sees them: the scan, names, deletion, the transcript's
// export, and the hand-off of a session or an imported file to a transcription run.
#include "HistoryTestSupport.h"

#include "audio/AudioFileReader.h"
#include "history/ByteCountFormatter.h"
#include "history/FileImport.h"
#include "history/SessionDateFormatter.h"
#include "history/SessionMetadataStore.h"
#include "history/TranscriptExport.h"
#include "pipeline/TranscriptSegmentsFile.h"
#include "transcription/TranscriptionErrors.h"

#include <QDir>
#include <QTest>

#include <ctime>
#include <tuple>

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

TEST(SessionHistoryScan, OneEntryPerSessionFromItsFilesDatedByItsIdElseItsWavElseNowNewestFirst) {
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
    // Not session files: D makes no entry. WAVs count in the application folder only, not below
    // it, and a folder is no recording.
    QDir().mkpath(inApp("sub"));
    QDir().mkpath(inApp("mixed-" + kD + ".wav"));
    for (const QString& path :
         {inApp("mixed-" + kD + ".WAV"), inApp("Mixed-" + kD + ".wav"), inApp("other-" + kD + ".wav"),
          inApp("mixed-" + kD + ".ogg"), inApp(".mixed-" + kD + ".wav"), inApp("mixed-" + kD + ".opus"),
          inApp("sub/mixed-" + kD + ".wav"), inTranscripts("mixed-" + kD + ".ogg"),
          inTranscripts("mixed-" + kD + ".wav"), inTranscripts(".mixed-" + kD + ".opus"),
          inTranscripts(kD + ".txt")})
        writeFile(path, "x");
    // Ids that are no dates: the WAV's time, else (Opus only, its own time unused) now.
    const auto writeModified = [](const QString& path, const QDateTime& when) {
        writeFile(path, "w");
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite) &&
                    file.setFileTime(when, QFileDevice::FileModificationTime));
    };
    writeModified(inApp("mixed-weekly sync.wav"), utc(2023, 7, 4));
    writeFile(inTranscripts("mixed-weekly sync.opus"), "oo"); // joins the WAV's entry
    writeModified(inTranscripts("mic-interview.opus"), utc(2020, 1, 1));
    // One instant written in three zones: equal start times, ordered by id text.
    const QStringList sameInstant = {"2022-03-01T16:05:09+02:00", "2022-03-01T14:05:09Z",
                                     "2022-03-01T13:05:09-01:00"};
    for (const QString& id : sameInstant)
        writeFile(inApp("system-" + id + ".wav"), "s");

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const QList<Entry> entries = SessionHistoryStore::scanEntries();
    ASSERT_EQ(idsOf(entries), QStringList({"interview", kA, kB, kC, "weekly sync"}) + sameInstant);
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
    EXPECT_EQ(entries.mid(1, 3), (QList<Entry>{a, b, c}));
    QFile::remove(inTranscripts(kA + ".txt"));
    EXPECT_FALSE(a.hasTranscript()); // asks the disk, not the scan
    EXPECT_TRUE(entries[0].startedAt >= before && entries[0].startedAt <= QDateTime::currentDateTimeUtc());
    EXPECT_EQ(entries[4].startedAt, utc(2023, 7, 4));
    EXPECT_EQ(entries[4].audioOpusBytes, 2);
    EXPECT_EQ(entries[5].startedAt, utc(2022, 3, 1, 14, 5, 9));
    qputenv("TZ", "America/New_York"); // unnamed sessions show a medium date and a short local time
    tzset();
    const SessionDateFormatter us(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(us.format(entries[5].startedAt), QStringLiteral("Mar 1, 2022 9:05 AM"));
}

TEST(SessionHistoryStore, RescansKeepASurvivingSelectionAndTrimmedNamesAndDeleteTakesEverythingOfASession) {
    for (const QString& id : {kB, kC, kD})
        writeFile(inApp("mixed-" + id + ".wav"), "w");
    SessionHistoryStore store;
    EXPECT_TRUE(store.sessions().isEmpty()); // it never scans by itself
    rescanAndWait(store);
    EXPECT_EQ(store.selectedID(), kB);
    store.setSelectedID(kC);
    for (const QString& blank : {QString(), QStringLiteral(" \n\t\r "), QStringLiteral("\u00a0")})
        store.rename(kB, blank);
    EXPECT_FALSE(QFile::exists(inApp("session_metadata.json"))); // blank names write nothing
    store.rename(kB, QStringLiteral("  Planning \"Q3\"\n"));
    store.rename(kA, QStringLiteral("Later")); // unlisted: stored, shown once its files appear
    EXPECT_EQ(SessionMetadataStore::readNames(), (Names{{kB, "Planning \"Q3\""}, {kA, "Later"}}));

    const QStringList filesOfA = {
        inApp("mixed-" + kA + ".wav"),           inApp("mic-" + kA + ".wav"),
        inTranscripts("mixed-" + kA + ".opus"),  inTranscripts("mic-" + kA + ".opus"),
        inTranscripts("system-" + kA + ".opus"), inTranscripts(kA + ".txt"),
        inTranscripts(kA + ".segments.json")};
    QStringList kept = {inTranscripts("mixed-" + kA + ".ogg"), inApp("pending_session.json")}; // not A's
    for (const QString& path : filesOfA + kept)
        writeFile(path, "x");
    rescanAndWait(store);
    EXPECT_EQ(idsOf(store.sessions()), (QStringList{kA, kB, kC, kD}));
    EXPECT_EQ(store.selectedID(), kC);
    EXPECT_EQ(store.session(kA)->displayName, QStringLiteral("Later"));
    EXPECT_EQ(store.session(kB)->displayName, QStringLiteral("Planning \"Q3\""));

    kept << inApp("mixed-late.wav"); // a session the store has not listed stays
    writeFile(kept.back(), "w");
    store.deleteSession(QStringLiteral("late"));
    store.deleteSession(kA); // not selected: the selection stays
    for (const QString& path : filesOfA + kept)
        EXPECT_EQ(QFile::exists(path), kept.contains(path)) << path.toStdString();
    EXPECT_EQ(SessionMetadataStore::readNames(), (Names{{kB, "Planning \"Q3\""}}));
    EXPECT_EQ(idsOf(store.sessions()), (QStringList{kB, kC, kD}));
    EXPECT_EQ(store.selectedID(), kC);
    store.deleteSession(kC); // selected: the first one left is
    EXPECT_EQ(store.selectedID(), kB);

    // The selected session vanished; the names file became unreadable.
    store.setSelectedID(kD);
    QFile::remove(inApp("mixed-" + kD + ".wav"));
    writeFile(inApp("session_metadata.json"), QStringLiteral(R"({"%1":"Planning","x":1})").arg(kB).toUtf8());
    rescanAndWait(store);
    EXPECT_EQ(store.selectedID(), QStringLiteral("late")); // dated now: the first
    EXPECT_EQ(store.session(kB)->displayName, expected(kB).displayName);
    store.deleteSession(QStringLiteral("late"));
    store.deleteSession(kB);
    EXPECT_EQ(store.selectedID(), std::nullopt);
}

using Format = TranscriptExport::Format;

LemonfoxSegment segment(std::optional<double> start, std::optional<double> end, QString text,
                        std::optional<QString> speaker = std::nullopt) {
    return {std::nullopt, std::move(text), start, end, std::move(speaker)};
}

TEST(TranscriptExport, SubtitlesCarryOneTimedCuePerSegmentAndNeedCompleteTimingsAndTextIsAsItIs) {
    // As a service may answer: out of order, a blank segment without timings, a line break, markup
    // characters, no speaker, more than an hour in.
    SessionStore::saveTranscript(QStringLiteral("[00:00] SPEAKER_00: Hello there.\r\n…\n"), kA);
    TranscriptSegmentsFile::save({segment(3725.0004, 3727.9996, "Later <b>&</b> on", "SPEAKER_01"),
                                  segment(0, 1.5, "  Hello there. ", "SPEAKER_00"),
                                  segment(std::nullopt, std::nullopt, "   ", "SPEAKER_01"),
                                  segment(2.25, 2.75, "Two\nlines", "SPEAKER_01"), segment(3, 4, "Nobody")},
                                 kA);
    const QString srt = inApp("out.srt"), vtt = inApp("out.vtt"), txt = inApp("out.txt");
    EXPECT_EQ(TranscriptExport::write(kA, Format::subRip, srt), std::nullopt);
    EXPECT_EQ(TranscriptExport::write(kA, Format::webVTT, vtt), std::nullopt);
    EXPECT_EQ(TranscriptExport::write(kA, Format::plainText, txt), std::nullopt);

    EXPECT_EQ(cueTimes(vtt), (QStringList{"0.000000,1.500000", "2.250000,0.500000", "3.000000,1.000000",
                                          "3725.000000,3.000000"}));
    EXPECT_EQ(readFile(srt),
              QByteArray("1\n00:00:00,000 --> 00:00:01,500\nSPEAKER_00: Hello there.\n\n"
                         "2\n00:00:02,250 --> 00:00:02,750\nSPEAKER_01: Two lines\n\n"
                         "3\n00:00:03,000 --> 00:00:04,000\nNobody\n\n"
                         "4\n01:02:05,000 --> 01:02:08,000\nSPEAKER_01: Later <b>&</b> on\n\n"));
    EXPECT_TRUE(
        readFile(vtt).contains("\n01:02:05.000 --> 01:02:08.000\n<v SPEAKER_01>Later &lt;b&gt;&amp;"));
    EXPECT_EQ(readFile(txt), readFile(inTranscripts(kA + ".txt")));

    // Without complete timings only text is offered, and a failed write says why.
    EXPECT_FALSE(TranscriptExport::hasTimings({}));
    EXPECT_FALSE(TranscriptExport::hasTimings({segment(0, 1, "a"), segment(1, std::nullopt, "b")}));

    // A later run without segments leaves no timings of the earlier one behind.
    TranscriptSegmentsFile::save({}, kA);
    EXPECT_TRUE(TranscriptExport::write(kA, Format::subRip, inApp("none.srt")).has_value());
    EXPECT_FALSE(QFile::exists(TranscriptSegmentsFile::location(kA)));
    for (const QByteArray& damaged : {QByteArray("{}"), QByteArray(R"([{"text":"a","start":"0"}])")}) {
        writeFile(TranscriptSegmentsFile::location(kA), damaged);
        EXPECT_EQ(TranscriptSegmentsFile::load(kA), std::nullopt) << damaged.toStdString();
    }
    EXPECT_FALSE(QFile::exists(inApp("none.srt")));
    // Nothing lands half-written where the user pointed: a folder there keeps its place.
    EXPECT_TRUE(TranscriptExport::write(kA, Format::plainText, inApp("")).has_value());
    EXPECT_TRUE(TranscriptExport::write("unknown", Format::plainText, inApp("x.txt")).has_value());
    EXPECT_FALSE(QFile::exists(inApp("x.txt")));
}

TEST(ByteCountFormatter, WritesDecimalKilobytesMegabytesAndGigabytesOnly) {
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    QStringList written;
    for (const std::int64_t bytes : {1LL, 1500LL, 999'499LL, 999'500LL, 12'000'000LL, 999'949'999LL,
                                     999'950'000LL, 2'345'000'000LL, 4'100'000'000LL, 7'000'000'000'000LL})
        written << ByteCountFormatter::string(bytes, us);
    // Never "0 KB"; one decimal for MB and two for GB, without trailing zeros; no unit above GB.
    EXPECT_EQ(written, (QStringList{"1 KB", "2 KB", "999 KB", "1 MB", "12 MB", "999.9 MB", "1 GB", "2.35 GB",
                                    "4.1 GB", "7,000 GB"}));
    const QLocale de(QLocale::German, QLocale::Germany);
    EXPECT_EQ(ByteCountFormatter::string(2'345'000'000, de), QStringLiteral("2,35 GB"));
    EXPECT_EQ(ByteCountFormatter::string(7'000'000'000'000, de), QStringLiteral("7.000 GB"));
}

using Activity = FileImport::Activity;

// The copy the services get, and its hand-off. The panel's view of that is tested over the real
// pipeline (HistoryPanel in tests/app); what the pipeline does not show is how it is called, and that a panel
// gone meanwhile is not called back.
TEST(ReTranscription, UploadsTheChosenTracksCopyHandedOverOnTheMainThreadAndOnlyALivePanelHearsBack) {
    SessionHistoryEntry entry;
    entry.id = kA;
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), std::nullopt);

    entry.systemURL = toneWav(inApp("system-" + kA + ".wav"));
    const QString systemCopy = inTranscripts("system-" + kA + ".opus");
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), systemCopy);
    const QByteArray made = readFile(systemCopy);
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), systemCopy); // a complete copy as it is
    EXPECT_EQ(readFile(systemCopy), made);
    writeFile(systemCopy, "cut short"); // one that is not a whole copy is made again
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), systemCopy);
    EXPECT_EQ(readFile(systemCopy).size(), made.size());

    // The mixed track wins; its copy is named after the field, not after the file.
    entry.audioURL = toneWav(inApp("recording.wav"));
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), inTranscripts("mixed-" + kA + ".opus"));
    entry.audioURL = inApp("mixed-x.OGG"); // already compressed: as it is
    makeMedia(stereoTone(1) + QStringList{"-c:a", "libopus", "-f", "ogg"}, *entry.audioURL);
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), entry.audioURL);
    entry.audioURL = inApp("mixed-" + kA + ".wav"); // unencodable: the WAV itself
    writeFile(*entry.audioURL, "RIFF");
    EXPECT_EQ(SessionHistoryStore::prepareUploadURL(entry), entry.audioURL);

    toneWav(inApp("mixed-" + kA + ".wav"));
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
    call.completion(TranscriptionResult::failure(ErrorMessage(QStringLiteral("no luck"))));
    EXPECT_FALSE(QFile::exists(inTranscripts(kA + ".txt")));
    call.completion(TranscriptionResult::success(QStringLiteral("text")));
    EXPECT_EQ(store.loadTranscript(kA), QStringLiteral("text")); // saved even with the panel gone
    EXPECT_EQ(heard, 0);
}

// Everything in the application folder (an import writes nothing into the transcripts folder).
QStringList appFolderContents() {
    return QDir(SessionStore::appSupportDirectory()).entryList(QDir::Files);
}

TEST(FileImport, AFileBecomesANamedSessionHandedToTheRunAndRefusalsOrFailuresLeaveNothing) {
    const auto source = [](const char* name) { return QDir::temp().filePath(QString::fromLatin1(name)); };
    RecordingRunner runner;
    Activity activity = Activity::idle;
    FileImport import(runner, [&] { return activity; });
    QSignalSpy failed(&import, &FileImport::failed);
    QSignalSpy imported(&import, &FileImport::imported);
    const auto waitForEnd = [&] { return QTest::qWaitFor([&] { return !import.isActive(); }, 60000); };
    makeMedia(stereoTone(3) + QStringList{QStringLiteral("-c:a"), QStringLiteral("aac")}, source("talk.m4a"));
    // Left behind by an import that a crash cut off.
    writeFile(inApp(QStringLiteral("import-1b2c.wav.part")), "partial");

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    ASSERT_TRUE(import.start(source("talk.m4a")) && waitForEnd());
    ASSERT_EQ(imported.count(), 1) << failed.value(0).value(0).toString().toStdString();
    const QString id = imported.at(0).at(0).toString(); // the import time
    EXPECT_TRUE(QDateTime::fromString(id, Qt::ISODate) >= before) << id.toStdString();

    // The whole file in the session format, under the session's name, handed to a normal run.
    const QString wav = inApp("mixed-" + id + ".wav");
    auto reader = AudioFileReader::open(wav);
    EXPECT_EQ(reader->processingFormat(), AudioFormat::working());
    EXPECT_NEAR(double(reader->length()), 48000.0, 320.0);
    ASSERT_EQ(runner.calls.size(), 1u);
    EXPECT_TRUE(runner.calls[0].audioPath == wav && runner.calls[0].sessionID == id);
    EXPECT_FALSE(runner.calls[0].language || runner.calls[0].force);
    EXPECT_EQ(SessionMetadataStore::readNames().value(id), QStringLiteral("talk.m4a"));
    const QStringList after = {"mixed-" + id + ".wav", QString::fromLatin1(SessionMetadataStore::kFileName)};
    EXPECT_EQ(appFolderContents(), after);

    writeFile(source("notes.mp3"), "Meeting notes: nothing to hear here.\n");
    makeMedia(stereoTone(10), source("long.flac"));
    const QByteArray flac = readFile(source("long.flac"));
    writeFile(source("cut.flac"), flac.left(flac.size() / 2));
    const std::tuple<const char*, const char*, Activity> cases[] = {
        {"notes.mp3", "Cannot import \"notes.mp3\": not a readable audio or video file", Activity::idle},
        {"cut.flac", "Cannot import \"cut.flac\": the file is damaged or incomplete", Activity::idle},
        {"talk.m4a", "Cannot import \"talk.m4a\": a recording is in progress", Activity::recording},
        {"talk.m4a", "Cannot import \"talk.m4a\": a transcription is in progress", Activity::transcribing},
    };
    for (const auto& [file, message, busy] : cases) {
        SCOPED_TRACE(file);
        failed.clear();
        activity = busy;
        EXPECT_EQ(import.start(source(file)), busy == Activity::idle);
        ASSERT_TRUE(waitForEnd());
        ASSERT_EQ(failed.count(), 1);
        EXPECT_EQ(failed.at(0).at(0).toString(), QString::fromUtf8(message));
        EXPECT_EQ(appFolderContents(), after);
    }

    // A second file while one is decoding is refused without disturbing the first.
    activity = Activity::idle;
    failed.clear();
    ASSERT_TRUE(import.start(source("talk.m4a")));
    EXPECT_FALSE(import.start(source("notes.mp3")));
    EXPECT_EQ(failed.value(0).value(0).toString(),
              QStringLiteral("Cannot import \"notes.mp3\": another file is being imported"));
    // A recording started while it decoded keeps the pipeline: the session stays, untranscribed.
    activity = Activity::recording;
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(failed.count(), 2);
    EXPECT_EQ(runner.calls.size(), 1u);
    EXPECT_EQ(QDir(SessionStore::appSupportDirectory()).entryList({QStringLiteral("mixed-*.wav")}).size(), 2);
}

} // namespace
} // namespace murmurly::test
