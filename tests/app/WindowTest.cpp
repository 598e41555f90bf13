#include "AppTestSupport.h"
#include "WindowFixture.h"

#include "app/CopyButton.h"
#include "app/ErrorBanner.h"
#include "app/LevelBar.h"
#include "app/MainWindow.h"
#include "app/MenuBarContent.h"
#include "app/PermissionButton.h"
#include "app/SettingsButtonStyle.h"
#include "app/SettingsView.h"
#include "app/SymbolIcon.h"
#include "app/TranscriptBox.h"
#include "app/TranscriptTextView.h"
#include "history/SessionHistoryStore.h"

#include <QAccessible>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>

namespace murmurly {
namespace {

using test::WindowFixture;

const QColor yellow(255, 214, 10);

// The colour in the middle of a widget as drawn, over an opaque black ground.
QColor centreColour(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::black);
    widget.render(&image, QPoint(), QRegion(), QWidget::RenderFlags()); // without its background
    return image.pixelColor(widget.width() / 2, widget.height() / 2);
}

// How many pixels of the level bar's track are covered by the coloured bar (not the grey track).
int colouredWidth(LevelBar& bar) {
    QImage image(bar.size(), QImage::Format_ARGB32);
    image.fill(Qt::black);
    bar.render(&image);
    int covered = 0;
    for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, image.height() / 2);
        covered += c.red() != c.green() || c.green() != c.blue();
    }
    return covered;
}

QString accessibleValue(QWidget& widget) {
    return QAccessible::queryAccessibleInterface(&widget)->text(QAccessible::Value);
}

using WindowScreens = WindowFixture;

TEST_F(WindowScreens, PermissionsScreenFollowsBothFlagsLive) {
    grant(true, true);
    MainWindow window(*model);
    EXPECT_FALSE(window.showsPermissions());

    // Appearing asks the sound server again: there is none, so neither permission holds.
    window.show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !model->mic().permissionGranted(); }, 5000));
    EXPECT_TRUE(window.showsPermissions());
    EXPECT_EQ(window.microphoneRow()->subtitle(), QStringLiteral("Allow microphone access"));
    EXPECT_EQ(window.systemAudioRow()->subtitle(), QStringLiteral("Enable Screen Recording"));

    grant(true, false);
    EXPECT_TRUE(window.showsPermissions());
    EXPECT_EQ(window.microphoneRow()->subtitle(), QStringLiteral("Access granted"));
    EXPECT_EQ(window.microphoneRow()->trailingSymbol(), QStringLiteral("checkmark.circle.fill"));
    EXPECT_EQ(window.systemAudioRow()->subtitle(), QStringLiteral("Enable Screen Recording"));
    EXPECT_EQ(window.systemAudioRow()->trailingSymbol(), QStringLiteral("chevron.right"));
    // The granted row's check is green, the other row's chevron is not.
    const QColor check = window.microphoneRow()->trailingColour();
    EXPECT_GT(check.green(), 2 * check.red());
    EXPECT_EQ(window.systemAudioRow()->trailingColour().red(), 255);
    test::saveScreenshot(window, QStringLiteral("permissions"));

    grant(true, true);
    EXPECT_FALSE(window.showsPermissions());
    grant(false, true);
    EXPECT_TRUE(window.showsPermissions());
    EXPECT_EQ(window.systemAudioRow()->subtitle(), QStringLiteral("Access granted"));
    EXPECT_EQ(window.microphoneRow()->trailingSymbol(), QStringLiteral("chevron.right"));
}

TEST_F(WindowScreens, TopBarFollowsARecordingThroughSilenceToItsTranscript) {
    MainWindow window(*model);
    window.resize(620, 460);
    window.show();
    grant(true, true);
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("Idle"));
    EXPECT_EQ(window.scoreLabel()->text(), QStringLiteral("VAD: --"));
    EXPECT_EQ(window.startStopButton()->text(), QStringLiteral("Start"));
    EXPECT_EQ(centreColour(*window.statusDot()), QColor(102, 102, 102)); // white at 40 % on black
    // The placeholder is dimmed, also under the window's own colours.
    TranscriptTextView& transcript = *window.transcriptBox()->textView();
    EXPECT_EQ(transcript.toPlainText(), QStringLiteral("Waiting for audio blocks..."));
    EXPECT_EQ(transcript.palette().color(QPalette::Text), QColor(255, 255, 255, 140));
    EXPECT_EQ(accessibleValue(*window.levelBar()), QStringLiteral("0.00"));
    // Silence still shows a sliver of the bar.
    EXPECT_EQ(colouredWidth(*window.levelBar()), 4);
    test::saveScreenshot(window, QStringLiteral("working-idle"));

    window.startStopButton()->click();
    ASSERT_TRUE(pipeline().isRunning()) << qPrintable(pipeline().lastErrorDescription());
    EXPECT_EQ(window.startStopButton()->text(), QStringLiteral("Stop"));
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("Listening\u2026"));
    const QColor listening = centreColour(*window.statusDot());
    EXPECT_GT(listening.green(), 2 * listening.red());

    // A full-scale tone fills the track; the score reads with two decimals.
    pushAndSettle(true, 0.5f, 1.0f);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return window.scoreLabel()->text() == QStringLiteral("VAD: 0.50"); }, 5000))
        << qPrintable(window.scoreLabel()->text());
    EXPECT_EQ(colouredWidth(*window.levelBar()), window.levelBar()->width());
    EXPECT_EQ(accessibleValue(*window.levelBar()), QStringLiteral("1.00"));
    test::saveScreenshot(window, QStringLiteral("working-listening"));

    // Two seconds without speech: "Silence", text and dot in yellow.
    pushAndSettle(false, 0.11f, 0.0f);
    pushAndSettle(false, 0.12f, 0.0f);
    advance(2.5);
    pushAndSettle(false, 0.13f, 0.0f);
    ASSERT_TRUE(pipeline().isSilent());
    QTest::qWait(150); // the meters redraw at most ten times a second
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("Silence"));
    EXPECT_EQ(window.statusLabel()->palette().color(QPalette::WindowText), yellow);
    EXPECT_EQ(centreColour(*window.statusDot()), yellow);
    EXPECT_EQ(colouredWidth(*window.levelBar()), 4);
    test::saveScreenshot(window, QStringLiteral("working-silence"));

    // A run forced during the silent recording (a re-transcription) reads "Transcribing…", in the
    // window and the menu alike; Start/Stop still follows the recording alone.
    lemonfox.setAnswer({.mode = test::FakeAnswer::Mode::neverAnswer});
    MenuBarContent menu(*model, pipeline());
    pipeline().transcribeFiles(pipeline().currentSessionAudioPath(), std::nullopt, std::nullopt, true, {});
    ASSERT_TRUE(pipeline().isTranscribing());
    ASSERT_TRUE(pipeline().isSilent());
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("Transcribing\u2026"));
    EXPECT_EQ(menu.statusAction()->text(), QStringLiteral("Status: Transcribing\u2026"));
    EXPECT_EQ(menu.startStopAction()->text(), QStringLiteral("Stop"));
    EXPECT_EQ(window.startStopButton()->text(), QStringLiteral("Stop"));
    EXPECT_EQ(centreColour(*window.statusDot()), QColor(204, 204, 204));
    EXPECT_EQ(window.statusLabel()->palette().color(QPalette::WindowText), QColor(255, 255, 255, 217));
    pipeline().cancelTranscription();

    // Speech again, then Stop: the service's transcript reaches the window.
    lemonfox.setAnswer({});
    audio.state->speech = true;
    audio.push(12, 0.3f);
    window.startStopButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pipeline().isTranscribing(); }, 30000));
    ASSERT_EQ(pipeline().lastErrorDescription(), QString());
    ASSERT_FALSE(pipeline().transcriptText().isEmpty());
    EXPECT_EQ(transcript.toPlainText(), pipeline().transcriptText());
    EXPECT_EQ(transcript.palette().color(QPalette::Text), QColor(Qt::white));
    test::saveScreenshot(window, QStringLiteral("working-transcript"));
}

TEST_F(WindowScreens, HistoryPanelRescansOnOpeningAndHidesTheMainBanner) {
    microphoneAuthorized = false;
    MainWindow window(*model);
    window.resize(620, 460);
    grant(true, true);
    window.show(); // its probe finds no server
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.showsPermissions(); }, 5000));
    grant(true, true);
    window.startStopButton()->click();
    ASSERT_EQ(pipeline().lastErrorDescription(), QStringLiteral("Microphone permission is not granted."));
    EXPECT_EQ(window.errorBanner()->message(), pipeline().lastErrorDescription());
    EXPECT_TRUE(window.errorBanner()->isVisibleTo(&window));
    test::saveScreenshot(window, QStringLiteral("working-error"));

    SessionHistoryStore& history = window.history();
    EXPECT_EQ(history.pendingScans(), 0);
    window.historyButton()->click();
    EXPECT_TRUE(window.showHistory());
    EXPECT_EQ(history.pendingScans(), 1);
    EXPECT_EQ(window.historyButton()->systemImage(), QStringLiteral("clock.fill"));
    EXPECT_TRUE(window.historyPanel()->isVisibleTo(&window));
    EXPECT_FALSE(window.errorBanner()->isVisibleTo(&window));
    EXPECT_FALSE(window.transcriptBox()->isVisibleTo(&window));
    ASSERT_TRUE(QTest::qWaitFor([&] { return history.pendingScans() == 0; }, 5000));

    window.historyButton()->click();
    EXPECT_EQ(history.pendingScans(), 0);
    EXPECT_EQ(window.historyButton()->systemImage(), QStringLiteral("clock"));
    EXPECT_TRUE(window.errorBanner()->isVisibleTo(&window));

    window.historyButton()->click();
    EXPECT_EQ(history.pendingScans(), 1);
}

TEST_F(WindowScreens, SettingsButtonOpensTheDialogAndDoneClosesIt) {
    MainWindow window(*model);
    window.show();
    grant(true, true);
    window.settingsButton()->click();
    EXPECT_TRUE(window.showSettings());
    ASSERT_NE(window.settingsView(), nullptr);
    EXPECT_TRUE(window.settingsView()->isVisible());
    window.settingsView()->doneButton()->click();
    EXPECT_FALSE(window.showSettings());
    EXPECT_EQ(window.settingsView(), nullptr);
}

// Placeholder, Copy and the "Copied" moment, on the box the window and the history panel share.
TEST(WindowComponents, TranscriptBoxCopiesWhatItHoldsAndFollowsAGrowingText) {
    TranscriptBox box(QStringLiteral("Transcript"), QStringLiteral("Waiting for audio blocks..."));
    box.resize(400, 300);
    TranscriptTextView& view = *box.textView();
    EXPECT_EQ(view.toPlainText(), QStringLiteral("Waiting for audio blocks..."));

    // Empty: Copy empties the clipboard rather than copying the placeholder.
    QGuiApplication::clipboard()->setText(QStringLiteral("older"));
    CopyButton& copy = *box.copyButton();
    QElapsedTimer clock;
    clock.start();
    copy.click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString());
    EXPECT_EQ(copy.text(), QStringLiteral("Copied"));
    // A second press later on does not push back the first press's return to the label.
    QTest::qWait(600);
    copy.click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return copy.text() == QStringLiteral("Copy"); }, 3000));
    EXPECT_GE(clock.elapsed(), 1150);
    EXPECT_LT(clock.elapsed(), 1700);

    // A growing text follows its end; a shorter one stays where it is.
    QString text;
    for (int line = 0; line < 60; ++line)
        text += QStringLiteral("[00:%1] SPEAKER_00: line %1\n").arg(line, 2, 10, QLatin1Char('0'));
    box.setText(text);
    QScrollBar& scroll = *view.verticalScrollBar();
    EXPECT_GT(scroll.maximum(), 0);
    EXPECT_EQ(scroll.value(), scroll.maximum());
    scroll.setValue(0);
    box.setText(text.left(text.size() - 40));
    EXPECT_EQ(scroll.value(), 0);
    box.setText(text + QStringLiteral("[01:00] SPEAKER_01: one more\n"));
    EXPECT_EQ(scroll.value(), scroll.maximum());
    copy.click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), box.text());
}

TEST(WindowComponents, EverySymbolDrawsAndTheGallerySavesForReview) {
    const QStringList& names = SymbolIcon::names();
    QImage gallery(names.size() * 40, 48, QImage::Format_ARGB32);
    gallery.fill(QColor(20, 26, 36));
    QPainter painter(&gallery);
    for (int i = 0; i < names.size(); ++i) {
        QImage single(24, 24, QImage::Format_ARGB32);
        single.fill(Qt::transparent);
        QPainter symbolPainter(&single);
        SymbolIcon::paint(symbolPainter, single.rect(), names[i], Qt::white);
        symbolPainter.end();
        int inked = 0;
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 24; ++x)
                inked += qAlpha(single.pixel(x, y)) > 128;
        EXPECT_GT(inked, 20) << qPrintable(names[i]);
        EXPECT_LT(inked, 24 * 24 * 3 / 4) << qPrintable(names[i]);
        SymbolIcon::paint(painter, QRectF(8 + 40 * i, 12, 24, 24), names[i], Qt::white);
    }
    painter.end();
    QLabel label;
    label.setPixmap(QPixmap::fromImage(gallery));
    label.resize(gallery.size());
    test::saveScreenshot(label, QStringLiteral("symbols"));
}

} // namespace
} // namespace murmurly
