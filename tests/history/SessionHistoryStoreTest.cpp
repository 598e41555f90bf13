#include "HistoryTestSupport.h"

#include "history/SessionHistoryStore.h"
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

QStringList idsOf(const SessionHistoryStore& store) {
    QStringList ids;
    for (const Entry& e : store.sessions())
        ids << e.id;
    return ids;
}

TEST(SessionHistoryStore, StartsEmptyAndNeverScansByItself) {
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    SessionHistoryStore store;
    QTest::qWait(50);
    EXPECT_TRUE(store.sessions().isEmpty());
    EXPECT_EQ(store.selectedID(), std::nullopt);
    EXPECT_EQ(store.session(std::nullopt), std::nullopt);
}

TEST(SessionHistoryStore, ARescanSelectsTheNewestAndKeepsASelectionThatSurvives) {
    writeFile(inApp("mixed-" + kB + ".wav"), "w");
    writeFile(inApp("mixed-" + kC + ".wav"), "w");
    SessionHistoryStore store;
    QSignalSpy selection(&store, &SessionHistoryStore::selectedIDChanged);
    rescanAndWait(store);
    EXPECT_EQ(idsOf(store), (QStringList{kB, kC}));
    EXPECT_EQ(store.selectedID(), kB);
    EXPECT_EQ(selection.count(), 1);

    // A newer session appears; the user's choice stays.
    store.setSelectedID(kC);
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    rescanAndWait(store);
    EXPECT_EQ(idsOf(store), (QStringList{kA, kB, kC}));
    EXPECT_EQ(store.selectedID(), kC);
    EXPECT_EQ(store.session(kC)->id, kC);

    // The selected session vanished from disk: the first one is selected.
    QFile::remove(inApp("mixed-" + kC + ".wav"));
    rescanAndWait(store);
    EXPECT_EQ(store.selectedID(), kA);
    EXPECT_EQ(store.session(kC), std::nullopt);

    // A selection that was never listed is replaced as well; an empty list selects nothing.
    store.setSelectedID(QStringLiteral("unknown"));
    QFile::remove(inApp("mixed-" + kA + ".wav"));
    QFile::remove(inApp("mixed-" + kB + ".wav"));
    rescanAndWait(store);
    EXPECT_TRUE(store.sessions().isEmpty());
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
            e.startedAt = QDateTime::currentDateTimeUtc();
            return QList<Entry>{e};
        },
        nullptr);
    QSignalSpy applied(&store, &SessionHistoryStore::scanApplied);

    store.rescan();
    store.rescan();
    EXPECT_EQ(store.pendingScans(), 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return gates->started == 2; }, 20000));

    // The scan that started second finishes first and is applied...
    gates->release[1].release();
    ASSERT_TRUE(applied.wait(20000));
    EXPECT_EQ(idsOf(store), QStringList{QStringLiteral("scan-1")});
    EXPECT_EQ(store.selectedID(), QStringLiteral("scan-1"));
    EXPECT_EQ(store.pendingScans(), 1);

    // ...and the other is neither dropped nor merged: it replaces the list when it ends.
    gates->release[0].release();
    ASSERT_TRUE(applied.wait(20000));
    EXPECT_EQ(idsOf(store), QStringList{QStringLiteral("scan-0")});
    EXPECT_EQ(store.selectedID(), QStringLiteral("scan-0"));
    EXPECT_EQ(store.pendingScans(), 0);
    EXPECT_EQ(applied.count(), 2);
}

TEST(SessionHistoryStore, RenameTrimsStoresAndShowsTheNameInPlace) {
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    writeFile(inApp("mixed-" + kB + ".wav"), "w");
    SessionHistoryStore store;
    rescanAndWait(store);
    const QList<Entry> before = store.sessions();
    QSignalSpy changed(&store, &SessionHistoryStore::sessionsChanged);

    // Blank names change nothing and write nothing.
    for (const QString& blank :
         {QString(), QStringLiteral("   "), QStringLiteral(" \n\t\r "), QStringLiteral("\u00a0")})
        store.rename(kB, blank);
    EXPECT_FALSE(QFile::exists(inApp("session_metadata.json")));
    EXPECT_EQ(store.sessions(), before);
    EXPECT_EQ(changed.count(), 0);

    store.rename(kB, QStringLiteral("  Team sync\n"));
    EXPECT_EQ(SessionMetadataStore::readNames(), (SessionMetadataStore::NameMap{{kB, "Team sync"}}));
    ASSERT_EQ(idsOf(store), (QStringList{kA, kB}));
    Entry expected = before[1];
    expected.displayName = QStringLiteral("Team sync");
    EXPECT_EQ(store.sessions()[1], expected);
    EXPECT_EQ(store.sessions()[0], before[0]);
    EXPECT_EQ(changed.count(), 1);

    // An unlisted id is stored all the same and named once its files appear.
    store.rename(kC, QStringLiteral("Later"));
    EXPECT_EQ(store.sessions().size(), 2);
    writeFile(inApp("mic-" + kC + ".wav"), "m");
    rescanAndWait(store);
    EXPECT_EQ(store.session(kC)->displayName, QStringLiteral("Later"));
    EXPECT_EQ(store.session(kB)->displayName, QStringLiteral("Team sync"));
}

TEST(SessionHistoryStore, DeleteRemovesTheSessionsFilesNameAndRowAndMovesTheSelection) {
    // Session A with every kind of file; B must survive untouched.
    const QStringList filesOfA = {
        writeFile(inApp("mixed-" + kA + ".wav"), "w"),
        writeFile(inTranscripts("mixed-" + kA + ".opus"), "o"),
        writeFile(inApp("mic-" + kA + ".wav"), "m"),
        writeFile(inTranscripts("mic-" + kA + ".opus"), "o"),
        writeFile(inTranscripts("system-" + kA + ".opus"), "o"), // system track known by its copy only
        writeFile(inTranscripts(kA + ".txt"), "t"),
    };
    const QStringList kept = {
        writeFile(inTranscripts("mixed-" + kA + ".ogg"), "not ours to delete"),
        writeFile(inApp("pending_session.json"), "{}"),
        writeFile(inApp("mixed-" + kB + ".wav"), "w"),
        writeFile(inTranscripts(kB + ".txt"), "t"),
    };
    SessionMetadataStore::setName(QStringLiteral("Doomed"), kA);
    SessionMetadataStore::setName(QStringLiteral("Keeper"), kB);

    SessionHistoryStore store;
    rescanAndWait(store);
    ASSERT_EQ(store.selectedID(), kA);
    QSignalSpy selection(&store, &SessionHistoryStore::selectedIDChanged);

    store.deleteSession(kA);
    for (const QString& path : filesOfA)
        EXPECT_FALSE(QFile::exists(path)) << path.toStdString();
    for (const QString& path : kept)
        EXPECT_TRUE(QFile::exists(path)) << path.toStdString();
    EXPECT_EQ(SessionMetadataStore::readNames(), (SessionMetadataStore::NameMap{{kB, "Keeper"}}));
    EXPECT_EQ(idsOf(store), QStringList{kB});
    EXPECT_EQ(store.selectedID(), kB);
    EXPECT_EQ(selection.count(), 1);

    store.deleteSession(kB);
    EXPECT_TRUE(store.sessions().isEmpty());
    EXPECT_EQ(store.selectedID(), std::nullopt);
    EXPECT_FALSE(QFile::exists(inTranscripts(kB + ".txt")));
}

TEST(SessionHistoryStore, DeletingAnUnlistedIdOrAnUnselectedSessionLeavesTheRestAlone) {
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    writeFile(inApp("mixed-" + kB + ".wav"), "w");
    SessionHistoryStore store;
    rescanAndWait(store);
    // Files of a session the store has not listed yet are not touched, nor is the name file.
    writeFile(inApp("mixed-" + kC + ".wav"), "w");
    writeFile(inTranscripts(kC + ".txt"), "t");
    SessionMetadataStore::setName(QStringLiteral("Unlisted"), kC);
    const QByteArray names = readFile(inApp("session_metadata.json"));
    QSignalSpy changed(&store, &SessionHistoryStore::sessionsChanged);

    store.deleteSession(kC);
    EXPECT_TRUE(QFile::exists(inApp("mixed-" + kC + ".wav")));
    EXPECT_TRUE(QFile::exists(inTranscripts(kC + ".txt")));
    EXPECT_EQ(readFile(inApp("session_metadata.json")), names);
    EXPECT_EQ(changed.count(), 0);

    store.deleteSession(kB);
    EXPECT_EQ(idsOf(store), QStringList{kA});
    EXPECT_EQ(store.selectedID(), kA);
    EXPECT_TRUE(QFile::exists(inApp("mixed-" + kA + ".wav")));
}

TEST(SessionHistoryStore, TranscriptsAreSavedAtomicallyRecordedAndReadBack) {
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    SessionHistoryStore store;
    rescanAndWait(store);
    ASSERT_EQ(store.session(kA)->transcriptURL, std::nullopt);
    EXPECT_EQ(store.loadTranscript(kA), QString());

    const QString text = QStringLiteral("[00:00] Speaker 1: Grüße aus Köln — 你好\n");
    store.saveTranscript(text, kA);
    EXPECT_EQ(readFile(inTranscripts(kA + ".txt")), text.toUtf8());
    EXPECT_EQ(store.session(kA)->transcriptURL, inTranscripts(kA + ".txt"));
    EXPECT_EQ(store.loadTranscript(kA), text);

    // Replacing keeps only the new text; an unlisted id gets its file but no row.
    store.saveTranscript(QStringLiteral("short"), kA);
    EXPECT_EQ(store.loadTranscript(kA), QStringLiteral("short"));
    store.saveTranscript(QStringLiteral("orphan"), kB);
    EXPECT_EQ(store.loadTranscript(kB), QStringLiteral("orphan"));
    EXPECT_EQ(store.sessions().size(), 1);

    EXPECT_EQ(store.loadTranscript(std::nullopt), QString());
    writeFile(inTranscripts(kC + ".txt"), "caf\xe9 latin-1");
    EXPECT_EQ(store.loadTranscript(kC), QString());
}

TEST(SessionHistoryStore, AFailedTranscriptWriteLeavesTheEntryUnchanged) {
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    SessionHistoryStore store;
    rescanAndWait(store);
    // A folder where the file should go: the atomic replace cannot succeed.
    QDir().mkpath(inTranscripts(kA + ".txt"));
    QSignalSpy changed(&store, &SessionHistoryStore::sessionsChanged);
    store.saveTranscript(QStringLiteral("text"), kA);
    EXPECT_EQ(store.session(kA)->transcriptURL, std::nullopt);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(store.loadTranscript(kA), QString());
}

} // namespace
} // namespace murmurly::test
