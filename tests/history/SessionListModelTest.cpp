#include "HistoryTestSupport.h"

#include "history/SessionHistoryStore.h"
#include "history/SessionListModel.h"

#include <QAbstractItemModelTester>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

namespace murmurly::test {
namespace {

const QString kA = QStringLiteral("2025-03-01T14:05:09Z");
const QString kB = QStringLiteral("2025-02-11T08:00:00Z");
const QString kC = QStringLiteral("2024-12-31T23:59:59Z");
const QString kD = QStringLiteral("2024-06-15T10:30:00Z");

QStringList rowIds(const SessionListModel& model) {
    QStringList ids;
    for (int row = 0; row < model.rowCount(); ++row)
        ids << model.index(row).data(SessionListModel::IdRole).toString();
    return ids;
}

struct ModelSignals {
    explicit ModelSignals(SessionListModel& model)
        : inserted(&model, &QAbstractItemModel::rowsInserted)
        , removed(&model, &QAbstractItemModel::rowsRemoved)
        , reset(&model, &QAbstractItemModel::modelReset)
        , changed(&model, &QAbstractItemModel::dataChanged) {}
    void clear() {
        inserted.clear();
        removed.clear();
        reset.clear();
        changed.clear();
    }
    // first and last row of the n-th insert/remove/change
    static std::pair<int, int> rows(const QSignalSpy& spy, int n) {
        const QList<QVariant> args = spy.at(n);
        if (args.at(1).typeId() == QMetaType::Int) // rowsInserted/rowsRemoved(parent, first, last)
            return {args.at(1).toInt(), args.at(2).toInt()};
        return {args.at(0).value<QModelIndex>().row(), args.at(1).value<QModelIndex>().row()}; // dataChanged
    }
    QSignalSpy inserted, removed, reset, changed;
};

TEST(SessionListModel, FollowsTheStoreWithFineGrainedSignals) {
    writeFile(inApp("mixed-" + kB + ".wav"), QByteArray(100, 'w'));
    writeFile(inTranscripts("mixed-" + kB + ".opus"), QByteArray(10, 'o'));
    writeFile(inApp("mic-" + kB + ".wav"), QByteArray(50, 'm'));
    writeFile(inTranscripts(kB + ".txt"), "t");
    writeFile(inApp("mixed-" + kD + ".wav"), QByteArray(7, 'w'));

    SessionHistoryStore store;
    SessionListModel model(&store);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    ModelSignals spy(model);
    EXPECT_EQ(model.rowCount(), 0);

    // First scan: the rows arrive as one insertion.
    rescanAndWait(store);
    EXPECT_EQ(rowIds(model), (QStringList{kB, kD}));
    ASSERT_EQ(spy.inserted.count(), 1);
    EXPECT_EQ(ModelSignals::rows(spy.inserted, 0), std::make_pair(0, 1));
    EXPECT_EQ(spy.reset.count(), 0);

    const QModelIndex b = model.index(0);
    EXPECT_EQ(b.data(Qt::DisplayRole), store.session(kB)->displayName);
    EXPECT_EQ(b.data(SessionListModel::StartedAtRole).toDateTime(), store.session(kB)->startedAt);
    EXPECT_EQ(b.data(SessionListModel::AudioBytesRole).toLongLong(), 100);
    EXPECT_EQ(b.data(SessionListModel::MicBytesRole).toLongLong(), 50);
    EXPECT_EQ(b.data(SessionListModel::WavBytesRole).toLongLong(), 150);
    EXPECT_EQ(b.data(SessionListModel::OpusBytesRole).toLongLong(), 10);
    EXPECT_TRUE(b.data(SessionListModel::HasTranscriptRole).toBool());
    EXPECT_FALSE(model.index(1).data(SessionListModel::HasTranscriptRole).toBool());
    EXPECT_EQ(b.data(SessionListModel::EntryRole).value<SessionHistoryEntry>(), *store.session(kB));
    EXPECT_EQ(model.rowForID(kD), 1);
    EXPECT_EQ(model.rowForID(QStringLiteral("x")), -1);

    // A rename changes one row's data.
    spy.clear();
    store.rename(kD, QStringLiteral("Retro"));
    EXPECT_EQ(model.index(1).data().toString(), QStringLiteral("Retro"));
    ASSERT_EQ(spy.changed.count(), 1);
    EXPECT_EQ(ModelSignals::rows(spy.changed, 0), std::make_pair(1, 1));
    EXPECT_EQ(spy.inserted.count() + spy.removed.count() + spy.reset.count(), 0);

    // New sessions before, between and after the existing ones: insertions only.
    spy.clear();
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    writeFile(inApp("mixed-" + kC + ".wav"), "w");
    writeFile(inApp("mixed-2020-01-01T00:00:00Z.wav"), "w");
    rescanAndWait(store);
    EXPECT_EQ(rowIds(model), (QStringList{kA, kB, kC, kD, QStringLiteral("2020-01-01T00:00:00Z")}));
    EXPECT_EQ(spy.inserted.count(), 3);
    EXPECT_EQ(spy.removed.count() + spy.reset.count(), 0);

    // A delete is a single row removal.
    spy.clear();
    store.deleteSession(kB);
    EXPECT_EQ(rowIds(model), (QStringList{kA, kC, kD, QStringLiteral("2020-01-01T00:00:00Z")}));
    ASSERT_EQ(spy.removed.count(), 1);
    EXPECT_EQ(ModelSignals::rows(spy.removed, 0), std::make_pair(1, 1));
    EXPECT_EQ(spy.inserted.count() + spy.reset.count(), 0);

    // Sessions that disappeared from disk leave in one step per run of rows.
    spy.clear();
    QFile::remove(inApp("mixed-" + kC + ".wav"));
    QFile::remove(inApp("mixed-" + kD + ".wav"));
    rescanAndWait(store);
    EXPECT_EQ(rowIds(model), (QStringList{kA, QStringLiteral("2020-01-01T00:00:00Z")}));
    ASSERT_EQ(spy.removed.count(), 1);
    EXPECT_EQ(ModelSignals::rows(spy.removed, 0), std::make_pair(1, 2));
}

TEST(SessionListModel, AReorderedOrMixedChangeResetsTheModel) {
    // Ids that are no dates take the WAV's time, so touching a file moves its session.
    writeFile(inApp("mixed-first.wav"), "w");
    setModified(inApp("mixed-first.wav"), QDateTime(QDate(2024, 1, 2), QTime(0, 0), Qt::UTC));
    writeFile(inApp("mixed-second.wav"), "w");
    setModified(inApp("mixed-second.wav"), QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC));

    SessionHistoryStore store;
    SessionListModel model(&store);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    rescanAndWait(store);
    ASSERT_EQ(rowIds(model), (QStringList{"first", "second"}));

    ModelSignals spy(model);
    setModified(inApp("mixed-second.wav"), QDateTime(QDate(2024, 1, 3), QTime(0, 0), Qt::UTC));
    rescanAndWait(store);
    EXPECT_EQ(rowIds(model), (QStringList{"second", "first"}));
    EXPECT_EQ(spy.reset.count(), 1);

    // One session gone and another new in the same scan.
    spy.clear();
    QFile::remove(inApp("mixed-first.wav"));
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    rescanAndWait(store);
    EXPECT_EQ(rowIds(model), (QStringList{kA, "second"}));
    EXPECT_EQ(spy.reset.count() + spy.inserted.count() + spy.removed.count(), 1);

    // The store going away empties the model rather than leaving dangling rows.
    spy.clear();
    {
        SessionHistoryStore* doomed = new SessionHistoryStore;
        SessionListModel orphan(doomed);
        QAbstractItemModelTester orphanTester(&orphan, QAbstractItemModelTester::FailureReportingMode::Fatal);
        writeFile(inApp("mixed-" + kB + ".wav"), "w");
        rescanAndWait(*doomed);
        EXPECT_EQ(orphan.rowCount(), 3);
        delete doomed;
        EXPECT_EQ(orphan.rowCount(), 0);
    }
}

} // namespace
} // namespace murmurly::test
