#include "HistoryTestSupport.h"

#include "history/SessionMetadataStore.h"

#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace murmurly::test {
namespace {

using Entry = SessionHistoryEntry;

const QString kA = QStringLiteral("2025-03-01T14:05:09Z");
const QString kB = QStringLiteral("2025-02-11T08:00:00Z");
const QString kC = QStringLiteral("2024-12-31T23:59:59Z");
const QString kD = QStringLiteral("2024-11-05T10:30:00Z");

TEST(SessionHistoryStore, ARescanSelectsTheNewestAndKeepsASelectionThatSurvives) {
    writeFile(inApp("mixed-" + kB + ".wav"), "w");
    writeFile(inApp("mixed-" + kC + ".wav"), "w");
    SessionHistoryStore store;
    EXPECT_TRUE(store.sessions().isEmpty()); // it never scans by itself
    rescanAndWait(store);
    EXPECT_EQ(idsOf(store.sessions()), (QStringList{kB, kC}));
    EXPECT_EQ(store.selectedID(), kB);

    store.setSelectedID(kC);
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    rescanAndWait(store);
    EXPECT_EQ(idsOf(store.sessions()), (QStringList{kA, kB, kC}));
    EXPECT_EQ(store.selectedID(), kC);

    QFile::remove(inApp("mixed-" + kC + ".wav")); // the selected session vanished
    rescanAndWait(store);
    EXPECT_EQ(store.selectedID(), kA);
    EXPECT_EQ(store.session(kC), std::nullopt);
    EXPECT_EQ(store.session(std::nullopt), std::nullopt);

    QFile::remove(inApp("mixed-" + kA + ".wav"));
    QFile::remove(inApp("mixed-" + kB + ".wav"));
    rescanAndWait(store);
    EXPECT_EQ(store.selectedID(), std::nullopt);
}

TEST(SessionHistoryStore, ConcurrentRescansEachApplyTheirOwnResultWhenTheyFinish) {
    QThreadPool::globalInstance()->setMaxThreadCount(
        std::max(4, QThreadPool::globalInstance()->maxThreadCount()));
    struct Gates {
        QSemaphore release[2];
        std::atomic<int> started{0};
    };
    auto gates = std::make_shared<Gates>();
    SessionHistoryStore store(
        [gates] {
            const int n = gates->started++;
            gates->release[n].acquire();
            Entry e;
            e.id = QStringLiteral("scan-%1").arg(n);
            return QList<Entry>{e};
        },
        nullptr);
    QSignalSpy applied(&store, &SessionHistoryStore::scanApplied);
    store.rescan();
    store.rescan();
    ASSERT_TRUE(QTest::qWaitFor([&] { return gates->started == 2; }, 20000));

    gates->release[1].release(); // the scan that started second finishes first...
    ASSERT_TRUE(applied.wait(20000));
    EXPECT_EQ(idsOf(store.sessions()), QStringList{"scan-1"});
    EXPECT_EQ(store.pendingScans(), 1);
    gates->release[0].release(); // ...and the other is neither dropped nor merged
    ASSERT_TRUE(applied.wait(20000));
    EXPECT_EQ(idsOf(store.sessions()), QStringList{"scan-0"});
    EXPECT_EQ(store.selectedID(), QStringLiteral("scan-0"));
    EXPECT_EQ(store.pendingScans(), 0);
}

TEST(SessionHistoryStore, RenameStoresTheTrimmedNameEvenForAnUnlistedSessionAndBlankNamesNothing) {
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    writeFile(inApp("mixed-" + kB + ".wav"), "w");
    SessionHistoryStore store;
    rescanAndWait(store);
    const QList<Entry> before = store.sessions();
    for (const QString& blank : {QString(), QStringLiteral(" \n\t\r "), QStringLiteral("\u00a0")})
        store.rename(kB, blank);
    EXPECT_FALSE(QFile::exists(inApp("session_metadata.json"))); // blank names write nothing
    EXPECT_EQ(store.sessions(), before);

    store.rename(kB, QStringLiteral("  Team sync\n")); // shown in place: HistoryViewTest
    EXPECT_EQ(SessionMetadataStore::readNames(), (SessionMetadataStore::NameMap{{kB, "Team sync"}}));
    store.rename(kC, QStringLiteral("Later")); // unlisted: stored, shown once its files appear
    writeFile(inApp("mic-" + kC + ".wav"), "m");
    rescanAndWait(store);
    EXPECT_EQ(store.session(kC)->displayName, QStringLiteral("Later"));
}

TEST(SessionHistoryStore, DeleteRemovesTheSessionsFilesNameAndRowAndMovesTheSelection) {
    const QStringList filesOfA = {
        writeFile(inApp("mixed-" + kA + ".wav"), "w"),
        writeFile(inTranscripts("mixed-" + kA + ".opus"), "o"),
        writeFile(inApp("mic-" + kA + ".wav"), "m"),
        writeFile(inTranscripts("mic-" + kA + ".opus"), "o"),
        writeFile(inTranscripts("system-" + kA + ".opus"), "o"),
        writeFile(inTranscripts(kA + ".txt"), "t"),
        writeFile(inTranscripts(kA + ".segments.json"), "[]"),
    };
    const QStringList kept = {
        writeFile(inTranscripts("mixed-" + kA + ".ogg"), "not ours"),
        writeFile(inApp("pending_session.json"), "{}"), writeFile(inApp("mixed-" + kB + ".wav"), "w"),
        writeFile(inApp("mixed-" + kC + ".wav"), "w"), writeFile(inApp("mixed-" + kD + ".wav"), "w")};
    SessionMetadataStore::setName(QStringLiteral("Doomed"), kA);
    SessionMetadataStore::setName(QStringLiteral("Keeper"), kB);
    SessionHistoryStore store;
    rescanAndWait(store);
    ASSERT_EQ(store.selectedID(), kA);

    // Files of a session the store has not listed are not touched, nor is the name file.
    writeFile(inApp("mixed-late.wav"), "w");
    const QByteArray names = readFile(inApp("session_metadata.json"));
    store.deleteSession(QStringLiteral("late"));
    EXPECT_TRUE(QFile::exists(inApp("mixed-late.wav")));
    EXPECT_EQ(readFile(inApp("session_metadata.json")), names);

    store.deleteSession(kA);
    for (const QString& path : filesOfA)
        EXPECT_FALSE(QFile::exists(path)) << path.toStdString();
    for (const QString& path : kept)
        EXPECT_TRUE(QFile::exists(path)) << path.toStdString();
    EXPECT_EQ(SessionMetadataStore::readNames(), (SessionMetadataStore::NameMap{{kB, "Keeper"}}));
    EXPECT_EQ(idsOf(store.sessions()), (QStringList{kB, kC, kD}));
    EXPECT_EQ(store.selectedID(), kB);

    store.setSelectedID(kD);
    store.deleteSession(kB); // not selected: the selection stays
    EXPECT_EQ(store.selectedID(), kD);
    store.deleteSession(kC);
    store.deleteSession(kD);
    EXPECT_TRUE(store.sessions().isEmpty());
    EXPECT_EQ(store.selectedID(), std::nullopt);
}

TEST(SessionHistoryStore, TranscriptsAreSavedRecordedAndReadBackAndFailuresChangeNothing) {
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    writeFile(inApp("mixed-" + kB + ".wav"), "w");
    SessionHistoryStore store;
    rescanAndWait(store);
    EXPECT_EQ(store.loadTranscript(kA), QString());
    EXPECT_EQ(store.loadTranscript(std::nullopt), QString());

    const QString text = QStringLiteral("[00:00] Speaker 1: Grüße aus Köln — 你好\n");
    store.saveTranscript(text, kA);
    EXPECT_EQ(readFile(inTranscripts(kA + ".txt")), text.toUtf8());
    EXPECT_EQ(store.session(kA)->transcriptURL, inTranscripts(kA + ".txt"));
    EXPECT_EQ(store.loadTranscript(kA), text);

    QDir().mkpath(inTranscripts(kB + ".txt")); // a folder in the way: the write fails
    store.saveTranscript(text, kB);
    EXPECT_EQ(store.session(kB)->transcriptURL, std::nullopt);
    writeFile(inTranscripts(kC + ".txt"), "caf\xe9 in Latin-1");
    EXPECT_EQ(store.loadTranscript(kC), QString());
}

} // namespace
} // namespace murmurly::test
