// Importing a file from the window and the tray menu over the real application model.
#include "AppTestSupport.h"

#include "app/AppModel.h"
#include "app/ImportStatusRow.h"
#include "app/MainWindow.h"
#include "app/MenuBarContent.h"
#include "history/FileImport.h"
#include "support/MediaSamples.h"
#include "support/TestFiles.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

namespace murmurly {
namespace {

// Drags `path` from a file manager onto `target` and lets go.
void dropFile(QWidget& target, const QString& path) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &enter);
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &drop);
    EXPECT_TRUE(enter.isAccepted() && drop.isAccepted());
}

QStringList leftInAppFolder() {
    return QDir(test::appFolder())
        .entryList({QStringLiteral("*.wav"), QStringLiteral("*.part")}, QDir::Files);
}

TEST(ImportWindow, ProgressShowsInTheWindowAndMenuAndCancelOrFailureLeaveNothing) {
    QTemporaryDir files;
    const QString lecture = files.filePath(QStringLiteral("lecture.flac"));
    test::makeMedia({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                     QStringLiteral("sine=frequency=300:sample_rate=48000:duration=600")},
                    lecture);
    const QString notes = files.filePath(QStringLiteral("notes.mp3"));
    test::writeFile(notes, "Meeting notes: nothing to hear here.\n");

    AppModel model;
    MenuBarContent content(model, model.pipeline());
    MainWindow window(model);
    window.show();
    auto* row = window.findChild<ImportStatusRow*>();
    ASSERT_NE(row, nullptr);
    const FileImport& import = model.fileImport();

    // A long file dropped on the window: the bar, the percentage and both status lines follow it.
    dropFile(window, lecture);
    ASSERT_TRUE(QTest::qWaitFor([&] { return import.progress() > 0.02; }, 60000));
    const QString percent = QString::number(int(import.progress() * 100)) + QLatin1Char('%');
    EXPECT_TRUE(row->progressBar()->isVisible());
    EXPECT_EQ(row->percentLabel()->text(), percent);
    EXPECT_EQ(row->progressBar()->value(), int(import.progress() * 100));
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("Importing\u2026 ") + percent);
    EXPECT_EQ(content.statusAction()->text(), QStringLiteral("Status: Importing\u2026 ") + percent);
    test::saveScreenshot(window, QStringLiteral("window-importing"));

    QTest::mouseClick(row->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !import.isActive(); }, 10000));
    EXPECT_EQ(leftInAppFolder(), QStringList());
    EXPECT_EQ(content.statusAction()->text(), QStringLiteral("Status: Idle"));
    EXPECT_FALSE(row->cancelButton()->isVisible());

    // A text file chosen from the tray menu: the reason stays on display until dismissed.
    content.transcribeFileAction()->trigger();
    QFileDialog* dialog = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) != nullptr; },
        5000));
    dialog->selectFile(notes);
    QMetaObject::invokeMethod(dialog, "accept");
    ASSERT_TRUE(QTest::qWaitFor([&] { return row->dismissButton()->isVisible(); }, 10000));
    EXPECT_EQ(row->messageLabel()->text(),
              QStringLiteral("Cannot import \"notes.mp3\": not a readable audio or video file"));
    EXPECT_EQ(leftInAppFolder(), QStringList());
    test::saveScreenshot(window, QStringLiteral("window-import-failed"));
    QTest::mouseClick(row->dismissButton(), Qt::LeftButton);
    EXPECT_FALSE(row->dismissButton()->isVisible());
}

} // namespace
} // namespace murmurly
