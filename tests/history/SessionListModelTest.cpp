#include "HistoryTestSupport.h"

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

QStringList rowIds(const SessionListModel& model) {
    QStringList ids;
    for (int row = 0; row < model.rowCount(); ++row)
        ids << model.index(row).data(SessionListModel::IdRole).toString();
    return ids;
}

// first and last row of each rowsInserted/rowsRemoved(parent, first, last)
QList<std::pair<int, int>> rowRanges(const QSignalSpy& spy) {
    QList<std::pair<int, int>> ranges;
    for (const QList<QVariant>& args : spy)
        ranges.append({args.at(1).toInt(), args.at(2).toInt()});
    return ranges;
}

TEST(SessionListModel, FollowsTheStoreWithInsertsRemovalsChangesAndResets) {
    writeFile(inApp("mixed-" + kB + ".wav"), QByteArray(100, 'w'));
    writeFile(inApp("mic-" + kB + ".wav"), QByteArray(50, 'm'));
    writeFile(inTranscripts("mixed-" + kB + ".opus"), QByteArray(10, 'o'));
    writeFile(inTranscripts(kB + ".txt"), "t");
    SessionHistoryStore store;
    SessionListModel model(&store);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    rescanAndWait(store);
    const QModelIndex b = model.index(0);
    EXPECT_EQ(b.data(Qt::DisplayRole), store.session(kB)->displayName);
    EXPECT_EQ(b.data(SessionListModel::StartedAtRole).toDateTime(), store.session(kB)->startedAt);
    EXPECT_EQ(b.data(SessionListModel::WavBytesRole).toLongLong(), 150);
    EXPECT_EQ(b.data(SessionListModel::OpusBytesRole).toLongLong(), 10);
    EXPECT_TRUE(b.data(SessionListModel::HasTranscriptRole).toBool());
    EXPECT_EQ(b.data(SessionListModel::EntryRole).value<SessionHistoryEntry>(), *store.session(kB));

    // New sessions before and after the existing one arrive as insertions.
    writeFile(inApp("mixed-" + kA + ".wav"), "w");
    writeFile(inApp("mixed-" + kC + ".wav"), "w");
    rescanAndWait(store);
    EXPECT_EQ(rowIds(model), (QStringList{kA, kB, kC}));
    EXPECT_EQ(rowRanges(inserted), (QList<std::pair<int, int>>{{0, 0}, {0, 0}, {2, 2}}));

    store.rename(kC, QStringLiteral("Retro")); // one row's data
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).value<QModelIndex>().row(), 2);
    EXPECT_EQ(model.index(2).data().toString(), QStringLiteral("Retro"));

    store.deleteSession(kB); // one row removed
    EXPECT_EQ(rowIds(model), (QStringList{kA, kC}));
    EXPECT_EQ(rowRanges(removed), (QList<std::pair<int, int>>{{1, 1}}));
    EXPECT_EQ(reset.count(), 0);

    // A session gone and another new in one scan: a reset.
    QFile::remove(inApp("mixed-" + kA + ".wav"));
    writeFile(inApp("mixed-2026-01-01T00:00:00Z.wav"), "w");
    rescanAndWait(store);
    EXPECT_EQ(rowIds(model), (QStringList{"2026-01-01T00:00:00Z", kC}));
    EXPECT_EQ(reset.count(), 1);
}

} // namespace
} // namespace murmurly::test
