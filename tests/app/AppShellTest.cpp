#include "AppTestSupport.h"

#include "app/AppModel.h"
#include "app/ErrorBanner.h"
#include "app/MainWindow.h"
#include "app/MenuBarContent.h"
#include "app/MenuBarIcon.h"
#include "app/MenuBarLabel.h"
#include "app/TranscriptBox.h"
#include "pipeline/TranscriptionPipeline.h"
#include "support/FakeTranscriptionService.h"
#include "support/PulseFixture.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace murmurly {
namespace {

using test::FakeTranscriptionService;

const QString expectedTranscript =
    QStringLiteral("[00:00] SPEAKER_00: Hello there.\n[00:01] SPEAKER_01: General Kenobi.\n");

// The menu as a list of lines: "---" for a separator, " [off]" after a disabled item's text.
QStringList describe(const QMenu& menu) {
    QStringList lines;
    for (const QAction* action : menu.actions())
        lines << (action->isSeparator()
                      ? QStringLiteral("---")
                      : action->text() + (action->isEnabled() ? QString() : QStringLiteral(" [off]")));
    return lines;
}

QStringList menuLines(const QString& status, const QString& command, bool canCopy) {
    return {QStringLiteral("Status: ") + status + QStringLiteral(" [off]"),
            QStringLiteral("---"),
            command,
            QStringLiteral("Copy Last Transcript") + (canCopy ? QString() : QStringLiteral(" [off]")),
            QStringLiteral("Transcribe File\u2026"),
            QStringLiteral("Show Window"),
            QStringLiteral("---"),
            QStringLiteral("Quit")};
}

// Start asks the sound server off the main thread; true once recording runs.
bool waitForStart(const TranscriptionPipeline& pipeline) {
    return QTest::qWaitFor([&] { return !pipeline.isStarting(); }, 15000) && pipeline.isRunning();
}

QImage iconImage(const QSystemTrayIcon& tray, int size) {
    return tray.icon().pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Recording tests run against the private sound server and a local stand-in for Lemonfox.
class AppShell : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("PULSE_SERVER")) << "needs the sound-server fixture";
        // An earlier test of the run may have left the server without devices, or dead.
        ASSERT_TRUE(test::PulseFixture::restart()) << qPrintable(test::PulseFixture::lastError());
        ASSERT_TRUE(m_lemonfox.listen());
        qputenv("MURMURLY_LEMONFOX_BASE_URL", m_lemonfox.baseUrl().toString().toUtf8());
        qputenv("LEMONFOX_API_KEY", "test-key");
        ASSERT_TRUE(m_files.isValid());
        m_speech = m_files.filePath(QStringLiteral("speech.wav"));
        ASSERT_TRUE(
            test::PulseFixture::speak(QStringLiteral("Hello there. This is a short test of the recorder, "
                                                     "speaking clearly for a few seconds."),
                                      m_speech));
    }

    FakeTranscriptionService m_lemonfox{FakeTranscriptionService::Kind::lemonfox};
    QTemporaryDir m_files;
    QString m_speech;
};

TEST_F(AppShell, MenuWindowAndTrayFollowARecordingToItsTranscript) {
    AppModel model;
    TranscriptionPipeline& pipeline = model.pipeline();
    MenuBarContent content(model, pipeline);
    const MenuBarIcon drawn{QString()};
    QSystemTrayIcon tray;
    MenuBarLabel label(pipeline, tray, drawn);
    QSignalSpy notified(&label, &MenuBarLabel::notified);
    MainWindow window(model);
    QMenu& menu = *content.menu();

    EXPECT_EQ(describe(menu), menuLines(QStringLiteral("Idle"), QStringLiteral("Start"), false));
    EXPECT_FALSE(label.showsRecording());
    test::saveScreenshot(menu, QStringLiteral("menu-idle"));

    content.startStopAction()->trigger();
    ASSERT_TRUE(waitForStart(pipeline)) << qPrintable(pipeline.lastErrorDescription());
    EXPECT_EQ(describe(menu), menuLines(QStringLiteral("Listening\u2026"), QStringLiteral("Stop"), false));
    EXPECT_TRUE(label.showsRecording());
    EXPECT_EQ(window.startStopButton()->text(), QStringLiteral("Stop"));
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("Listening\u2026"));
    EXPECT_TRUE(tray.toolTip().contains(QStringLiteral("Listening\u2026")));

    ASSERT_TRUE(test::PulseFixture::play(m_speech, QStringLiteral("mic_in")));
    test::saveScreenshot(menu, QStringLiteral("menu-listening"));

    content.startStopAction()->trigger();
    EXPECT_FALSE(pipeline.isRunning());
    EXPECT_TRUE(pipeline.isTranscribing());
    EXPECT_EQ(describe(menu),
              menuLines(QStringLiteral("Transcribing\u2026"), QStringLiteral("Start"), false));
    EXPECT_FALSE(label.showsRecording());
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("Transcribing\u2026"));

    ASSERT_TRUE(QTest::qWaitFor([&] { return !pipeline.isTranscribing(); }, 90000));
    ASSERT_EQ(pipeline.lastErrorDescription(), QString());
    ASSERT_EQ(pipeline.transcriptText(), expectedTranscript);
    EXPECT_EQ(describe(menu), menuLines(QStringLiteral("Idle"), QStringLiteral("Start"), true));
    EXPECT_EQ(window.transcriptBox()->text(), expectedTranscript);
    EXPECT_FALSE(window.errorBanner()->isVisibleTo(&window));
    EXPECT_TRUE(tray.toolTip().contains(QStringLiteral("General Kenobi.")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return notified.size() == 1; }, 5000));
    EXPECT_EQ(notified.at(0).at(0).toString(), QStringLiteral("Transcript ready"));

    // Copy puts the transcript without its closing line break on the clipboard.
    QGuiApplication::clipboard()->setText(QStringLiteral("something older"));
    content.copyAction()->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), expectedTranscript.trimmed());
    test::saveScreenshot(menu, QStringLiteral("menu-transcript"));
}

TEST_F(AppShell, TrayIconShowsRecordingUnlessACustomImageIsShipped) {
    // The two drawn symbols: the disc is filled while recording, only outlined otherwise.
    const QImage idle = MenuBarIcon::drawSymbol(false, 32);
    const QImage recording = MenuBarIcon::drawSymbol(true, 32);
    EXPECT_EQ(qAlpha(idle.pixel(9, 9)), 0);
    EXPECT_GT(qAlpha(recording.pixel(9, 9)), 200);
    EXPECT_GT(qAlpha(idle.pixel(16, 2)), 200); // the ring itself
    EXPECT_GT(qAlpha(recording.pixel(16, 2)), 200);

    QImage mask(18, 18, QImage::Format_ARGB32);
    mask.fill(Qt::transparent);
    {
        QPainter p(&mask);
        p.fillRect(QRect(3, 3, 12, 12), Qt::black);
    }
    const QString customPath = m_files.filePath(QStringLiteral("toolbaricon.png"));
    ASSERT_TRUE(mask.save(customPath));
    const QString brokenPath = m_files.filePath(QStringLiteral("broken.png"));
    {
        QFile broken(brokenPath);
        ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
        broken.write("\x89PNG not really");
    }

    const MenuBarIcon custom(customPath);
    const MenuBarIcon unreadable(brokenPath);
    ASSERT_TRUE(custom.image().has_value());
    EXPECT_FALSE(unreadable.image().has_value());

    AppModel model;
    QSystemTrayIcon drawnTray;
    QSystemTrayIcon customTray;
    MenuBarLabel drawnLabel(model.pipeline(), drawnTray, unreadable);
    MenuBarLabel customLabel(model.pipeline(), customTray, custom);
    EXPECT_EQ(iconImage(drawnTray, 32), idle);
    const QImage customIdle = iconImage(customTray, 32);
    // The custom picture is used as a mask: its square, in the tray's colour.
    EXPECT_EQ(customIdle.pixelColor(16, 16).rgb(), MenuBarIcon::foreground().rgb());
    EXPECT_EQ(qAlpha(customIdle.pixel(2, 2)), 0);

    model.toggleRecording();
    ASSERT_TRUE(waitForStart(model.pipeline())) << qPrintable(model.pipeline().lastErrorDescription());
    EXPECT_EQ(iconImage(drawnTray, 32), recording);
    EXPECT_EQ(iconImage(customTray, 32), customIdle);
    EXPECT_FALSE(customLabel.showsRecording());

    model.toggleRecording();
    EXPECT_EQ(iconImage(drawnTray, 32), idle);
    EXPECT_EQ(iconImage(customTray, 32), customIdle);
}

// Without a sound server: the blank transcript leaves the clipboard alone, and Show Window raises
// the window the application has (after it was closed too) but never makes one.
TEST(AppShellWithoutSound, BlankCopiesNothingAndShowWindowCreatesNoWindow) {
    qputenv("PULSE_SERVER", "unix:/nonexistent/murmurly-test/native");
    AppModel model;
    model.showWindow();
    for (QWidget* widget : QApplication::topLevelWidgets())
        EXPECT_EQ(qobject_cast<QMainWindow*>(widget), nullptr);

    MainWindow window(model);
    MenuBarContent content(model, model.pipeline());
    QGuiApplication::clipboard()->setText(QStringLiteral("keep me"));
    model.copyTranscript();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("keep me"));
    EXPECT_FALSE(content.copyAction()->isEnabled());

    model.showWindow();
    ASSERT_TRUE(window.isVisible());
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.close();
    ASSERT_FALSE(window.isVisible());
    content.showWindowAction()->trigger();
    EXPECT_TRUE(window.isVisible());
}

} // namespace
} // namespace murmurly
