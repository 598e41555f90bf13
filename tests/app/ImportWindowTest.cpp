// Importing a file from the window and the tray menu, over the real pipeline and a local stand-in
// for Lemonfox.
#include "AppTestSupport.h"

#include "app/AppModel.h"
#include "app/ImportStatusRow.h"
#include "app/MainWindow.h"
#include "app/MenuBarContent.h"
#include "history/FileImport.h"
#include "pipeline/TranscriptionPipeline.h"
#include "support/FakeTranscriptionService.h"
#include "support/MediaSamples.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

namespace murmurly {
namespace {

// Screenshots at 1× and, when the test runs with QT_SCALE_FACTOR=2, at 2×.
void screenshot(QWidget& widget, const QString& name) {
    const QString scale = qEnvironmentVariable("QT_SCALE_FACTOR");
    test::saveScreenshot(widget, name + (scale.isEmpty() || scale == QStringLiteral("1")
                                             ? QString()
                                             : QStringLiteral("@") + scale + QStringLiteral("x")));
}

// Drags `path` from a file manager onto `target` and lets go.
void dropFile(QWidget& target, const QString& path) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    const QPointF centre(target.width() / 2.0, target.height() / 2.0);
    QDragEnterEvent enter(centre.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &drop);
    ASSERT_TRUE(drop.isAccepted());
}

// The open "Transcribe File" dialog; chooses `path` in it.
void chooseInDialog(const QString& path) {
    QFileDialog* dialog = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (QWidget* widget : QApplication::allWidgets()) {
                if (widget->objectName() == QStringLiteral("transcribeFileDialog") && widget->isVisible())
                    dialog = qobject_cast<QFileDialog*>(widget);
            }
            return dialog != nullptr;
        },
        5000));
    dialog->selectFile(path);
    QMetaObject::invokeMethod(dialog, "accept");
}

QStringList leftInAppFolder() {
    return QDir(test::appFolder())
        .entryList({QStringLiteral("*.wav"), QStringLiteral("*.part")}, QDir::Files);
}

TEST(ImportWindow, ProgressShowsInTheWindowAndMenuAndCancelOrFailureLeaveNothing) {
    test::FakeTranscriptionService lemonfox{test::FakeTranscriptionService::Kind::lemonfox};
    ASSERT_TRUE(lemonfox.listen());
    qputenv("MURMURLY_LEMONFOX_BASE_URL", lemonfox.baseUrl().toString().toUtf8());
    qputenv("LEMONFOX_API_KEY", "test-key");
    QTemporaryDir files;
    const QString lecture = files.filePath(QStringLiteral("lecture.flac"));
    test::makeMedia({QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                     QStringLiteral("sine=frequency=300:sample_rate=48000:duration=600")},
                    lecture);
    const QString notes = files.filePath(QStringLiteral("notes.mp3"));
    QFile text(notes);
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("Meeting notes: nothing to hear here.\n");
    text.close();
    const QString talk = files.filePath(QStringLiteral("talk.m4a"));
    test::makeMedia(test::stereoTone(3) + QStringList{QStringLiteral("-c:a"), QStringLiteral("aac")}, talk);

    AppModel model;
    MenuBarContent content(model, model.pipeline());
    MainWindow window(model);
    window.show();
    auto* row = window.findChild<ImportStatusRow*>();
    ASSERT_NE(row, nullptr);
    const FileImport& import = model.fileImport();
    EXPECT_FALSE(row->cancelButton()->isVisible());

    // A long file dropped on the window: the bar, the percentage and the status lines follow it.
    dropFile(window, lecture);
    ASSERT_TRUE(import.isActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return import.progress() > 0.02; }, 60000));
    const QString percent = QString::number(int(import.progress() * 100)) + QLatin1Char('%');
    EXPECT_TRUE(row->progressBar()->isVisible());
    EXPECT_EQ(row->percentLabel()->text(), percent);
    EXPECT_EQ(row->progressBar()->value(), int(import.progress() * 100));
    EXPECT_EQ(row->messageLabel()->text(), QStringLiteral("Importing \u201Clecture.flac\u201D\u2026"));
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("Importing\u2026 ") + percent);
    EXPECT_EQ(content.statusAction()->text(), QStringLiteral("Status: Importing\u2026 ") + percent);
    screenshot(window, QStringLiteral("window-importing"));

    QTest::mouseClick(row->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !import.isActive(); }, 10000));
    EXPECT_EQ(leftInAppFolder(), QStringList());
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("Idle"));
    EXPECT_EQ(content.statusAction()->text(), QStringLiteral("Status: Idle"));
    EXPECT_FALSE(row->cancelButton()->isVisible());

    // A text file chosen with the window's button: the reason stays on display until dismissed.
    model.transcribeFile(&window);
    chooseInDialog(notes);
    ASSERT_TRUE(QTest::qWaitFor([&] { return row->dismissButton()->isVisible(); }, 10000));
    EXPECT_EQ(row->messageLabel()->text(),
              QStringLiteral("Cannot import \"notes.mp3\": not a readable audio or video file"));
    EXPECT_EQ(leftInAppFolder(), QStringList());
    screenshot(window, QStringLiteral("window-import-failed"));
    QTest::mouseClick(row->dismissButton(), Qt::LeftButton);
    EXPECT_FALSE(row->dismissButton()->isVisible());
    EXPECT_NE(row->messageLabel()->text(),
              QStringLiteral("Cannot import \"notes.mp3\": not a readable audio or video file"));

    // From the tray menu, to its transcript on display.
    content.transcribeFileAction()->trigger();
    chooseInDialog(talk);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.pipeline().transcriptText().isEmpty(); }, 60000));
    EXPECT_EQ(model.pipeline().transcriptText(),
              QStringLiteral("[00:00] SPEAKER_00: Hello there.\n[00:01] SPEAKER_01: General Kenobi.\n"));
    EXPECT_EQ(lemonfox.requests().size(), 1);
}

} // namespace
} // namespace murmurly
