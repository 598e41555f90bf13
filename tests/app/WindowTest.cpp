// The main window, its history panel, its components and the settings dialog over a scripted
// microphone and a local stand-in for Lemonfox.
#include "AppTestSupport.h"

#include "app/AppModel.h"
#include "app/AutostartEntry.h"
#include "app/CopyButton.h"
#include "app/ErrorBanner.h"
#include "app/HistoryView.h"
#include "app/ImportStatusRow.h"
#include "app/LevelBar.h"
#include "app/MainWindow.h"
#include "app/MenuBarContent.h"
#include "app/MenuBarIcon.h"
#include "app/MenuBarLabel.h"
#include "app/PermissionButton.h"
#include "app/RenameSessionDialog.h"
#include "app/SessionRowDelegate.h"
#include "app/SettingsButtonStyle.h"
#include "app/SettingsView.h"
#include "app/SymbolIcon.h"
#include "app/TranscriptBox.h"
#include "app/TranscriptTextView.h"
#include "audio/MicRecorder.h"
#include "audio/SessionRecorder.h"
#include "audio/SystemAudioMonitor.h"
#include "history/FileImport.h"
#include "history/HistoryTestSupport.h"
#include "history/SessionDateFormatter.h"
#include "history/SessionHistoryStore.h"
#include "history/SessionListModel.h"
#include "history/SessionMetadataStore.h"
#include "pipeline/TranscriptionPipeline.h"
#include "pipeline/run/ScriptedAudio.h"
#include "storage/PlainTextStore.h"
#include "support/ApiKeyReset.h"
#include "support/FakeTranscriptionService.h"
#include "support/MediaSamples.h"
#include "support/TestFiles.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace murmurly::test {
namespace {

// The window's model over a scripted microphone and gate, a clock the test moves, and a local
// stand-in for Lemonfox; no sound server, so the two permissions are whatever the test sets.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("PULSE_SERVER", "unix:/nonexistent/murmurly-test/native");
        ASSERT_TRUE(lemonfox.listen());
        qputenv("MURMURLY_LEMONFOX_BASE_URL", lemonfox.baseUrl().toString().toUtf8());
        qputenv("LEMONFOX_API_KEY", "test-key");
        TranscriptionPipeline::Dependencies deps;
        deps.recorder = std::make_unique<SessionRecorder>(std::make_unique<ScriptedAudio::Input>(audio.state),
                                                          std::make_unique<ScriptedAudio::Gate>(audio.state));
        deps.microphoneAuthorized = [this] { return microphoneAuthorized; };
        deps.clock = [this] { return now; };
        model = std::make_unique<AppModel>(std::make_unique<TranscriptionPipeline>(std::move(deps)));
    }

    TranscriptionPipeline& pipeline() const { return model->pipeline(); }

    void grant(bool mic, bool system) {
        model->mic().setPermissionGranted(mic);
        model->system().setPermissionGranted(system);
    }

    // One window of a tone with this gate decision and score, through to the window's state.
    void pushAndSettle(bool speech, float probability, float amplitude = 0.3f) {
        audio.state->speech = speech;
        audio.state->probability = probability;
        audio.push(1, amplitude);
        ASSERT_TRUE(QTest::qWaitFor([&] { return pipeline().vadScore() == probability; }, 5000));
    }

    ScriptedAudio audio;
    std::chrono::steady_clock::time_point now{};
    bool microphoneAuthorized = true;
    FakeTranscriptionService lemonfox{FakeTranscriptionService::Kind::lemonfox};
    std::unique_ptr<AppModel> model;
};

// The widget as drawn without its background over an opaque black ground.
QImage onBlack(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::black);
    widget.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

QColor centreColour(QWidget& widget) {
    return onBlack(widget).pixelColor(widget.width() / 2, widget.height() / 2);
}

// How many pixels of the level bar's track are covered by the coloured bar (not the grey track).
int colouredWidth(LevelBar& bar) {
    const QImage image = onBlack(bar);
    int covered = 0;
    for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, image.height() / 2);
        covered += c.red() != c.green() || c.green() != c.blue();
    }
    return covered;
}

// The menu as a list of lines: "---" for a separator, " [off]" after a disabled item's text.
QStringList describe(const QMenu& menu) {
    QStringList lines;
    for (const QAction* action : menu.actions())
        lines << (action->isSeparator() ? QStringLiteral("---")
                                        : action->text() + (action->isEnabled() ? "" : " [off]"));
    return lines;
}

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

using WindowScreens = WindowFixture;

// One window, with the tray menu and icon beside it, from the permissions screen through a refused
// start, the history panel, a recording, its silence and its transcript to an imported file.
TEST_F(WindowScreens, PermissionsThenARecordingThroughSilenceToItsTranscriptThenAnImport) {
    QSystemTrayIcon tray;
    const MenuBarIcon drawn{QString()};
    MenuBarLabel label(pipeline(), tray, drawn);
    QSignalSpy notified(&label, &MenuBarLabel::notified);
    // Show Window raises the window the application has, but never makes one.
    model->showWindow();
    for (QWidget* widget : QApplication::topLevelWidgets())
        EXPECT_EQ(qobject_cast<QMainWindow*>(widget), nullptr);
    microphoneAuthorized = false;
    grant(true, true);
    MainWindow window(*model);
    MenuBarContent content(*model, pipeline());
    QMenu& menu = *content.menu();
    window.resize(620, 460);
    // What the top bar, the menu and the tray show; Start/Stop follows the recording alone. The
    // status dot is drawn over black (white at 40 % reads 102); its label is white at 85 %.
    const QColor green(48, 209, 88), yellow(255, 214, 10), idleGrey(102, 102, 102), busyGrey(204, 204, 204);
    const auto expectState = [&](const QString& status, bool recording, bool canCopy, const QColor& dot) {
        const QString copy = QStringLiteral("Copy Last Transcript") + (canCopy ? "" : " [off]");
        const QString command = recording ? "Stop" : "Start";
        EXPECT_EQ(describe(menu), (QStringList{"Status: " + status + " [off]", "---", command, copy,
                                               "Transcribe File\u2026", "Show Window", "---", "Quit"}));
        EXPECT_EQ(window.statusLabel()->text(), status);
        EXPECT_EQ(window.statusLabel()->palette().color(QPalette::WindowText), QColor(255, 255, 255, 217));
        EXPECT_EQ(centreColour(*window.statusDot()), dot);
        EXPECT_EQ(window.startStopButton()->text(), command);
        EXPECT_EQ(label.showsRecording(), recording);
        EXPECT_EQ(tray.icon()
                      .pixmap(QSize(32, 32), 1.0)
                      .toImage()
                      .convertToFormat(QImage::Format_ARGB32_Premultiplied),
                  MenuBarIcon::drawSymbol(recording, 32));
    };
    const auto grantAndExpectRows = [&](bool mic, bool system) {
        grant(mic, system);
        EXPECT_TRUE(window.showsPermissions());
        EXPECT_EQ(window.microphoneRow()->subtitle(), mic ? "Access granted" : "Allow microphone access");
        EXPECT_EQ(window.systemAudioRow()->subtitle(), system ? "Access granted" : "Enable Screen Recording");
        EXPECT_EQ(window.microphoneRow()->trailingSymbol(), mic ? "checkmark.circle.fill" : "chevron.right");
        EXPECT_EQ(window.systemAudioRow()->trailingSymbol(),
                  system ? "checkmark.circle.fill" : "chevron.right");
    };

    // Appearing asks the sound server again: there is none, so neither permission holds.
    model->showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !model->mic().permissionGranted() && !model->system().permissionGranted(); }, 5000));
    grantAndExpectRows(false, false);
    grantAndExpectRows(true, false);
    // The granted row's check is green, the other row's chevron a dimmed white.
    EXPECT_EQ(window.microphoneRow()->trailingColour(), green);
    EXPECT_EQ(window.systemAudioRow()->trailingColour(), QColor::fromRgbF(1, 1, 1, 0.7));
    saveScreenshot(window, "permissions");
    grantAndExpectRows(false, true);
    grant(true, true);
    EXPECT_FALSE(window.showsPermissions());

    // The recorder's own check still refuses: the error shows in the main banner.
    window.startStopButton()->click();
    EXPECT_EQ(window.errorBanner()->message(), "Microphone permission is not granted.");
    saveScreenshot(window, "working-error");

    // The history panel scans each time it opens, and hides the main banner while it shows.
    SessionHistoryStore& history = window.history();
    for (int opening = 0; opening < 2; ++opening) {
        window.historyButton()->click();
        EXPECT_EQ(history.pendingScans(), 1);
        EXPECT_EQ(window.historyButton()->systemImage(), "clock.fill");
        EXPECT_TRUE(window.historyPanel()->isVisibleTo(&window));
        EXPECT_FALSE(window.errorBanner()->isVisibleTo(&window) ||
                     window.transcriptBox()->isVisibleTo(&window));
        ASSERT_TRUE(QTest::qWaitFor([&] { return history.pendingScans() == 0; }, 5000));
        window.historyButton()->click();
        EXPECT_EQ(window.historyButton()->systemImage(), "clock");
        EXPECT_TRUE(window.errorBanner()->isVisibleTo(&window));
    }

    microphoneAuthorized = true;
    expectState("Idle", false, false, idleGrey);
    EXPECT_EQ(window.scoreLabel()->text(), "VAD: --");
    // The placeholder is dimmed, also under the window's own colours, and never copied.
    TranscriptTextView& transcript = *window.transcriptBox()->textView();
    EXPECT_EQ(transcript.toPlainText(), "Waiting for audio blocks...");
    EXPECT_EQ(transcript.palette().color(QPalette::Text), QColor(255, 255, 255, 140));
    QGuiApplication::clipboard()->setText("keep me");
    model->copyTranscript();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "keep me");
    // The box's own Copy empties the clipboard instead; a second press later on does not push
    // back the first press's return to the label.
    CopyButton& copy = *window.transcriptBox()->copyButton();
    QElapsedTimer clock;
    clock.start();
    copy.click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString());
    EXPECT_EQ(copy.text(), "Copied");
    QTest::qWait(600);
    copy.click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return copy.text() == "Copy"; }, 3000));
    EXPECT_GE(clock.elapsed(), 1150);
    EXPECT_LT(clock.elapsed(), 1700);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(window.levelBar())->text(QAccessible::Value), "0.00");
    // Silence still shows a sliver of the bar.
    EXPECT_EQ(colouredWidth(*window.levelBar()), 4);
    saveScreenshot(window, "working-idle");
    saveScreenshot(menu, "menu-idle");

    content.startStopAction()->trigger();
    EXPECT_FALSE(window.errorBanner()->isVisibleTo(&window));
    expectState("Listening\u2026", true, false, green);
    EXPECT_TRUE(tray.toolTip().contains("Listening\u2026"));

    // A full-scale tone fills the track; the score reads with two decimals.
    pushAndSettle(true, 0.5f, 1.0f);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.scoreLabel()->text() == "VAD: 0.50"; }, 5000))
        << qPrintable(window.scoreLabel()->text());
    EXPECT_EQ(colouredWidth(*window.levelBar()), window.levelBar()->width());
    EXPECT_EQ(QAccessible::queryAccessibleInterface(window.levelBar())->text(QAccessible::Value), "1.00");
    saveScreenshot(window, "working-listening");
    saveScreenshot(menu, "menu-listening");

    // Two seconds without speech: "Silence", text and dot in yellow.
    pushAndSettle(false, 0.11f, 0.0f);
    now += std::chrono::milliseconds(2500);
    pushAndSettle(false, 0.12f, 0.0f);
    // The meters redraw at most ten times a second.
    ASSERT_TRUE(QTest::qWaitFor([&] { return colouredWidth(*window.levelBar()) == 4; }, 5000));
    EXPECT_EQ(window.statusLabel()->text(), "Silence");
    EXPECT_EQ(window.statusLabel()->palette().color(QPalette::WindowText), yellow);
    EXPECT_EQ(centreColour(*window.statusDot()), yellow);
    saveScreenshot(window, "working-silence");

    // A run forced during the silent recording (a re-transcription) reads "Transcribing…", in the
    // window and the menu alike.
    lemonfox.setAnswer({.mode = FakeAnswer::Mode::neverAnswer});
    pipeline().transcribeFiles(pipeline().currentSessionAudioPath(), std::nullopt, std::nullopt, true, {});
    ASSERT_TRUE(pipeline().isSilent());
    expectState("Transcribing\u2026", true, false, busyGrey);
    pipeline().cancelTranscription();

    // Speech again, then Stop: the service's transcript reaches the window, the menu and the tray.
    lemonfox.setAnswer({});
    audio.state->speech = true;
    audio.push(12, 0.3f);
    window.startStopButton()->click();
    expectState("Transcribing\u2026", false, false, busyGrey);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pipeline().isTranscribing(); }, 30000));
    EXPECT_EQ(transcript.toPlainText(), kServiceTranscript);
    EXPECT_EQ(transcript.palette().color(QPalette::Text), QColor(Qt::white));
    expectState("Idle", false, true, idleGrey);
    EXPECT_TRUE(tray.toolTip().contains("General Kenobi."));
    ASSERT_TRUE(QTest::qWaitFor([&] { return notified.size() == 1; }, 5000));
    EXPECT_EQ(notified.at(0).at(0).toString(), "Transcript ready");
    saveScreenshot(window, "working-transcript");
    saveScreenshot(menu, "menu-transcript");
    // Copy puts the transcript without its closing line break on the clipboard.
    content.copyAction()->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), kServiceTranscript.trimmed());

    // A long file dropped on the window: the bar, the percentage and both status lines follow it.
    QTemporaryDir files;
    const QString lecture = files.filePath("lecture.flac");
    makeMedia({"-f", "lavfi", "-i", "sine=frequency=300:sample_rate=48000:duration=600"}, lecture);
    auto* row = window.findChild<ImportStatusRow*>();
    ASSERT_NE(row, nullptr);
    const FileImport& import = model->fileImport();
    dropFile(window, lecture);
    ASSERT_TRUE(QTest::qWaitFor([&] { return import.progress() > 0.02; }, 60000));
    const QString percent = QString::number(int(import.progress() * 100)) + QLatin1Char('%');
    EXPECT_TRUE(row->progressBar()->isVisible());
    EXPECT_EQ(row->percentLabel()->text(), percent);
    EXPECT_EQ(row->progressBar()->value(), int(import.progress() * 100));
    EXPECT_EQ(window.statusLabel()->text(), "Importing\u2026 " + percent);
    EXPECT_EQ(content.statusAction()->text(), "Status: Importing\u2026 " + percent);
    saveScreenshot(window, "window-importing");

    QTest::mouseClick(row->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !import.isActive(); }, 10000));
    EXPECT_EQ(recordingsLeft(), QStringList());
    EXPECT_EQ(content.statusAction()->text(), "Status: Idle");
    EXPECT_FALSE(row->cancelButton()->isVisible());

    // A text file chosen from the tray menu: the reason stays on display until dismissed.
    content.transcribeFileAction()->trigger();
    QFileDialog* dialog = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) != nullptr; },
        5000));
    const QString notes = files.filePath("notes.mp3");
    writeFile(notes, "Meeting notes: nothing to hear here.\n");
    dialog->selectFile(notes);
    QMetaObject::invokeMethod(dialog, "accept");
    ASSERT_TRUE(QTest::qWaitFor([&] { return row->dismissButton()->isVisible(); }, 10000));
    EXPECT_EQ(row->messageLabel()->text(), "Cannot import \"notes.mp3\": not a readable audio or video file");
    EXPECT_EQ(recordingsLeft(), QStringList());
    saveScreenshot(window, "window-import-failed");
    QTest::mouseClick(row->dismissButton(), Qt::LeftButton);
    EXPECT_FALSE(row->dismissButton()->isVisible());

    // Closed, it comes back from the menu.
    window.close();
    content.showWindowAction()->trigger();
    EXPECT_TRUE(window.isVisible());

    // A growing text follows its end; a shorter one stays where it is.
    const QString text = QStringLiteral("[00:00] SPEAKER_00: one of many lines\n").repeated(60);
    window.transcriptBox()->setText(text);
    QScrollBar& scroll = *transcript.verticalScrollBar();
    EXPECT_GT(scroll.maximum(), 0);
    EXPECT_EQ(scroll.value(), scroll.maximum());
    scroll.setValue(0);
    window.transcriptBox()->setText(text.left(text.size() - 40));
    EXPECT_EQ(scroll.value(), 0);
    window.transcriptBox()->setText(text + "[01:00] SPEAKER_01: one more\n");
    EXPECT_EQ(scroll.value(), scroll.maximum());
    copy.click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), window.transcriptBox()->text());
}

TEST(WindowComponents, EverySymbolDrawsAndTheGallerySavesForReview) {
    const QStringList& names = SymbolIcon::names();
    QImage gallery(names.size() * 40, 48, QImage::Format_ARGB32);
    gallery.fill(Qt::black);
    QPainter painter(&gallery);
    for (int i = 0; i < names.size(); ++i)
        SymbolIcon::paint(painter, QRectF(8 + 40 * i, 12, 24, 24), names[i], Qt::white);
    painter.end();
    for (int i = 0; i < names.size(); ++i) {
        int inked = 0;
        for (int y = 12; y < 36; ++y)
            for (int x = 8 + 40 * i; x < 32 + 40 * i; ++x)
                inked += qRed(gallery.pixel(x, y)) > 128;
        EXPECT_TRUE(inked > 20 && inked < 24 * 24 * 3 / 4) << qPrintable(names[i]) << ": " << inked;
    }
    QLabel label;
    label.setPixmap(QPixmap::fromImage(gallery));
    label.resize(gallery.size());
    saveScreenshot(label, "symbols");
}

// Looked up when used, never before main() has moved HOME to the test's own folder.
constexpr auto lemonfoxKey = &PlainTextStore::lemonfoxApiKeyURL;
constexpr auto mistralKey = &PlainTextStore::mistralApiKeyURL;
constexpr auto providerFile = &PlainTextStore::providerURL;
constexpr auto languageFile = &PlainTextStore::languageURL;

// Picks `value` from the menu as the user does.
void select(QComboBox& menu, const QString& value) {
    const int index = menu.findData(value);
    menu.setCurrentIndex(index);
    emit menu.activated(index);
}

using Settings = WindowFixture;

// The dialog the window opens: what the files hold, each choice saved at once, a key saved there
// sent by the next transcription without a restart, and files that cannot be written.
TEST_F(Settings, ShowsWhatTheFilesHoldSavesEachChoiceAtOnceAndTheNextRunSendsTheSavedKey) {
    const auto transcribeOnce = [&] {
        pipeline().start();
        audio.push(12, 0.3f);
        pipeline().stop();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !pipeline().isTranscribing(); }, 30000));
        return lemonfox.requests().last().header("Authorization").value_or(QByteArray());
    };
    EXPECT_EQ(transcribeOnce(), "Bearer test-key"); // from the environment, and kept
    MainWindow window(*model);
    window.settingsButton()->click();
    SettingsView* view = window.settingsView();
    // Each change gives what the dialog then says.
    const auto press = [&](QAbstractButton* button) {
        button->click();
        return view->status();
    };
    // Types `key` over the field's text and presses Save.
    const auto saveKey = [&](const QString& key) {
        view->keyField()->setText(key);
        return press(view->saveKeyButton());
    };
    EXPECT_EQ(view->providerSelection(), "lemonfox");
    EXPECT_EQ(view->keyField()->text(), QString());
    EXPECT_EQ(view->languageSelection(), "Auto");
    EXPECT_FALSE(view->customLanguageField()->isVisibleTo(view));
    EXPECT_FALSE(view->startAtLoginBox()->isChecked());
    EXPECT_FALSE(QFileInfo::exists(providerFile())); // showing what is stored saves nothing
    QTest::keyClicks(view->keyField(), "lemon-typed");
    saveScreenshot(*view, "settings-lemonfox");

    select(*view->serviceMenu(), "mistral");
    EXPECT_EQ(view->status(), "Service set to Mistral");
    EXPECT_EQ(readFile(providerFile()), "mistral");
    EXPECT_EQ(view->keyHeading()->text(), "Mistral API Key");
    EXPECT_EQ(view->keyCaption()->text(), "The key is stored locally in ~/.mistral_api_key");
    EXPECT_EQ(saveKey("  sk-mistral  "), "Saved to ~/.mistral_api_key");
    EXPECT_EQ(view->statusLabel()->text(), "Saved to ~/.mistral_api_key");
    EXPECT_EQ(readFile(mistralKey()), "sk-mistral");
    // Readable by its owner only (Qt lists the owner's rights twice, as owner and as user).
    EXPECT_EQ(QFileInfo(mistralKey()).permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                         QFileDevice::ReadUser | QFileDevice::WriteUser);
    saveScreenshot(*view, "settings-mistral");

    select(*view->serviceMenu(), "lemonfox");
    EXPECT_EQ(view->status(), "Service set to Lemonfox");
    EXPECT_EQ(readFile(providerFile()), "lemonfox");
    EXPECT_EQ(view->keyHeading()->text(), "Lemonfox API Key");
    EXPECT_EQ(view->keyField()->text(), "lemon-typed");
    EXPECT_FALSE(QFileInfo::exists(lemonfoxKey()));
    // Blanks save an empty key, a line break at the end goes; a key over two lines is refused.
    EXPECT_EQ(saveKey("   "), "Saved to ~/.lemonfox_api_key");
    EXPECT_EQ(readFile(lemonfoxKey()), QByteArray());
    saveKey("sk-pasted\n");
    EXPECT_EQ(readFile(lemonfoxKey()), "sk-pasted");
    EXPECT_EQ(transcribeOnce(), "Bearer sk-pasted");
    for (const char* twoLines : {"sk-one\nsk-two", "sk-one\rsk-two"})
        EXPECT_EQ(saveKey(twoLines), "Not saved: the key contains a line break");
    EXPECT_EQ(readFile(lemonfoxKey()), "sk-pasted");
    // Clear removes the file and the text, also when there is nothing left to remove; the lookup
    // falls back to the environment.
    for (int time = 0; time < 2; ++time) {
        EXPECT_EQ(press(view->clearKeyButton()), "Key removed");
        EXPECT_EQ(view->keyField()->text(), QString());
    }
    EXPECT_EQ(transcribeOnce(), "Bearer test-key");
    EXPECT_EQ(press(view->saveServiceButton()), "Service set to Lemonfox");
    // The Mistral key typed and saved earlier is still there when switching back.
    select(*view->serviceMenu(), "mistral");
    EXPECT_EQ(view->keyField()->text(), "  sk-mistral  ");

    // Custom with nothing typed removes the file and still reports it saved.
    const struct {
        const char *before, *choice, *typed;
        bool clear;
        std::optional<QByteArray> after;
    } steps[] = {
        {nullptr, "french", "", false, "french"},
        {nullptr, "Custom", " klingon ", false, "klingon"},
        {nullptr, "Custom", "", false, std::nullopt},
        {"italian", "Custom", "elvish", true, std::nullopt},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.choice);
        if (step.before)
            writeFile(languageFile(), step.before);
        select(*view->languageMenu(), step.choice);
        EXPECT_EQ(view->customLanguageField()->isVisibleTo(view), step.choice == std::string_view("Custom"));
        view->customLanguageField()->setText(step.typed);
        EXPECT_EQ(press(step.clear ? view->clearLanguageButton() : view->saveLanguageButton()),
                  step.clear ? "Default language cleared" : "Default language saved");
        EXPECT_EQ(QFileInfo::exists(languageFile()) ? std::optional(readFile(languageFile())) : std::nullopt,
                  step.after);
    }
    EXPECT_EQ(view->languageSelection(), "Auto");
    EXPECT_EQ(view->customLanguage(), QString());

    EXPECT_EQ(press(view->startAtLoginBox()), "Murmurly will start at login");
    const QString entry = QString::fromUtf8(readFile(AutostartEntry::path()));
    EXPECT_TRUE(AutostartEntry::path().endsWith("/autostart/com.murmurly.Murmurly.desktop"));
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
    // Started from here, not from the PATH: the entry names this very program.
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    EXPECT_TRUE(entry.contains(QStringLiteral("\nExec=\"%1\" --hidden\n").arg(self))) << qPrintable(entry);

    // Opened again, it shows what the files hold now (how they read is PreferencesTest's).
    writeFile(mistralKey(), "sk-file");
    writeFile(languageFile(), "klingon");
    view->doneButton()->click();
    window.settingsButton()->click();
    view = window.settingsView();
    EXPECT_EQ(view->serviceMenu()->currentText(), "Mistral");
    EXPECT_EQ(view->keyField()->text(), "sk-file");
    EXPECT_EQ(view->keyField()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(view->languageSelection(), "Custom");
    EXPECT_EQ(view->customLanguage(), "klingon");
    EXPECT_TRUE(view->customLanguageField()->isVisibleTo(view));
    EXPECT_FALSE(view->status().has_value());
    EXPECT_TRUE(view->startAtLoginBox()->isChecked());

    EXPECT_EQ(press(view->startAtLoginBox()), "Murmurly will not start at login");
    EXPECT_FALSE(QFileInfo::exists(AutostartEntry::path()));
    // Another program named "murmurly" on the PATH is not this one; an installed copy of this one
    // (found on the PATH by that name) is started by name.
    QTemporaryDir bin;
    const QString onPath = bin.filePath("murmurly");
    writeFile(onPath, "#!/bin/sh\n");
    ASSERT_TRUE(QFile::setPermissions(onPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("PATH", bin.path().toUtf8() + ':' + qgetenv("PATH"));
    EXPECT_TRUE(AutostartEntry::execLine().endsWith("app_window_test\" --hidden"));
    ASSERT_TRUE(QFile::remove(onPath));
    ASSERT_TRUE(QFile::link(QCoreApplication::applicationFilePath(), onPath));
    view->startAtLoginBox()->click();
    EXPECT_TRUE(readFile(AutostartEntry::path()).contains("\nExec=murmurly --hidden\n"));

    // A settings file that cannot be written or removed (here a folder stands in its place, which
    // even the superuser cannot overwrite with a file) is reported and changes nothing else.
    for (const QString& path : {providerFile(), lemonfoxKey(), languageFile(), AutostartEntry::path()}) {
        QFile::remove(path);
        ASSERT_TRUE(QDir().mkpath(path + "/blocked"));
    }
    select(*view->serviceMenu(), "lemonfox");
    EXPECT_EQ(view->status(), "Failed to save service");
    EXPECT_EQ(saveKey("sk-new"), "Failed to save");
    EXPECT_EQ(press(view->clearKeyButton()), "Failed to remove");
    EXPECT_EQ(view->keyField()->text(), "sk-new");
    select(*view->languageMenu(), "german");
    EXPECT_EQ(press(view->saveLanguageButton()), "Failed to save language");
    EXPECT_EQ(press(view->clearLanguageButton()), "Failed to clear language");
    EXPECT_EQ(view->languageSelection(), "german");
    EXPECT_EQ(press(view->startAtLoginBox()), "Failed to change start at login");
    EXPECT_TRUE(view->startAtLoginBox()->isChecked());
    EXPECT_EQ(readFile(mistralKey()), "sk-file");
}

QString titleOf(const QString& id) {
    return SessionDateFormatter().format(SessionDateFormatter::parseInternetDateTime(id));
}

using HistoryPanel = WindowFixture;

// The history panel in the main window, over a pipeline on a scripted microphone and the real
// Lemonfox client talking to a local stand-in. Also run at twice the scale, for the screenshot.
TEST_F(HistoryPanel, RowsTellEachSessionRenameAndDeleteAskFirstAndReTranscribingShowsEachStep) {
    MainWindow window(*model);
    window.resize(820, 520);
    // Appearing, it asks the (absent) sound server in the background: granted again after that.
    grant(true, true);
    window.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.showsPermissions(); }, 5000));
    grant(true, true);
    auto* view = qobject_cast<HistoryView*>(window.historyPanel());
    ASSERT_NE(view, nullptr);
    SessionHistoryStore& history = window.history();
    // Shows the panel and waits for its scan and its transcript load.
    const auto showPanel = [&] {
        window.setShowHistory(true);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return history.pendingScans() == 0 &&
                       view->transcriptPlaceholder() != "Loading transcript...";
            },
            20000));
    };
    const auto row = [&](int number) { return view->sessionList()->model()->index(number, 0); };
    const auto factsAt = [&](int number) {
        return SessionRowDelegate::facts(
            row(number).data(SessionListModel::EntryRole).value<SessionHistoryEntry>());
    };
    const auto clickRow = [&](int number, std::optional<SessionRowDelegate::Button> button = std::nullopt) {
        const QRect rect = view->sessionList()->visualRect(row(number));
        QTest::mouseClick(view->sessionList()->viewport(), Qt::LeftButton, {},
                          button ? SessionRowDelegate::buttonRect(rect, *button).center() : rect.center());
    };
    const auto answerDelete = [&](const QString& choice) {
        for (QAbstractButton* button : view->deleteAlert()->buttons())
            if (button->text() == choice)
                button->click();
    };
    const auto waitForStatus = [&](const QString& status) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return view->statusLabel()->text() == status; }, 20000))
            << qPrintable(view->statusLabel()->text());
    };

    // Empty, it offers nothing; the default language is read at each showing.
    showPanel();
    EXPECT_EQ(view->titleLabel()->text(), "None selected");
    EXPECT_FALSE(view->reTranscribeButton()->isEnabled() || view->exportButton()->isEnabled());
    EXPECT_EQ(view->transcriptBox()->placeholder(), "Select a session to view transcript.");
    struct Case {
        std::optional<QString> stored;
        QString selection, label, custom;
    };
    for (const Case& c : {Case{"german", "german", "German", ""}, Case{"de", "Custom", "Custom", "de"},
                          Case{std::nullopt, "Auto", "Auto", ""}}) {
        SCOPED_TRACE(c.stored.value_or("none").toStdString());
        window.setShowHistory(false);
        ASSERT_TRUE(PlainTextStore::writeLanguage(c.stored));
        showPanel();
        EXPECT_EQ(view->languageSelection(), c.selection);
        EXPECT_EQ(view->languageMenu()->currentText(), c.label);
        EXPECT_EQ(view->customLanguageField()->isVisible(), c.selection == "Custom");
        EXPECT_EQ(view->customLanguageField()->text(), c.custom);
        select(*view->languageMenu(), "swedish"); // a choice here is the panel's own
        EXPECT_EQ(PlainTextStore::readLanguage(), c.stored);
    }

    window.setShowHistory(false);
    writeFile(inTranscripts("mixed-" + kA + ".opus"), QByteArray(2500, 'o'));
    writeFile(inTranscripts(kA + ".txt"), "[00:00] SPEAKER_00: Hi.\n");
    writeFile(inApp("mixed-" + kB + ".wav"), QByteArray(1'250'000, 'w'));
    writeFile(inApp("system-" + kC + ".wav"), QByteArray(800, 's'));
    writeFile(inTranscripts("system-" + kC + ".opus"), QByteArray(300, 'o'));
    writeFile(inApp("mic-" + kD + ".wav"), QByteArray(1000, 'm'));
    writeFile(inApp("system-" + kD + ".wav"), QByteArray(1000, 's'));
    SessionMetadataStore::setName("Design review", kA);
    showPanel();
    saveScreenshot(window, "history");
    EXPECT_EQ(factsAt(0), (QStringList{"Audio", "Opus 3 KB", "Transcript"}));
    EXPECT_EQ(factsAt(1), (QStringList{"Audio", "WAV 1.3 MB", "Opus \u2014", "No transcript"}));
    EXPECT_EQ(factsAt(2), (QStringList{"System", "WAV 1 KB", "Opus 1 KB", "No transcript"}));
    EXPECT_EQ(factsAt(3), (QStringList{"Mic", "WAV 2 KB", "Opus \u2014", "No transcript"}));

    // The newest is selected at the first scan; without timings it exports as text only.
    EXPECT_EQ(view->titleLabel()->text(), titleOf(kA)); // the start, whatever the name
    EXPECT_EQ(view->transcriptBox()->text(), "[00:00] SPEAKER_00: Hi.\n");
    QTest::keyClick(view->sessionList(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "[00:00] SPEAKER_00: Hi.\n");
    view->exportButton()->click();
    ASSERT_NE(view->exportDialog(), nullptr);
    EXPECT_EQ(view->exportDialog()->nameFilters().size(), 1);
    EXPECT_TRUE(view->exportDialog()->windowTitle().contains("text only"));
    view->exportDialog()->reject();

    QTest::keyClick(view->sessionList(), Qt::Key_F2); // the selected session
    ASSERT_NE(view->renameSheet(), nullptr);
    EXPECT_EQ(view->renameSheet()->nameField()->text(), "Design review");
    view->renameSheet()->cancelButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->renameSheet() == nullptr; }, 5000));
    clickRow(1, SessionRowDelegate::Button::rename);
    ASSERT_NE(view->renameSheet(), nullptr);
    view->renameSheet()->nameField()->setText("  Weekly sync ");
    view->renameSheet()->saveButton()->click();
    EXPECT_EQ(row(1).data().toString(), "Weekly sync");
    EXPECT_EQ(history.selectedID(), kA); // a row's button does not select it

    QTest::keyClick(view->sessionList(), Qt::Key_Delete);
    ASSERT_NE(view->deleteAlert(), nullptr);
    EXPECT_EQ(view->deleteAlert()->text(), "Delete session?");
    EXPECT_EQ(view->deleteAlert()->informativeText(), "This removes the WAV, Opus, and transcript files.");
    answerDelete("Cancel");
    EXPECT_TRUE(QFile::exists(inTranscripts(kA + ".txt")));
    clickRow(0, SessionRowDelegate::Button::remove);
    answerDelete("Delete");
    EXPECT_FALSE(QFile::exists(inTranscripts("mixed-" + kA + ".opus")) ||
                 QFile::exists(inTranscripts(kA + ".txt")));
    EXPECT_EQ(history.selectedID(), kB);
    EXPECT_TRUE(view->sessionList()->selectionModel()->isRowSelected(0));
    EXPECT_EQ(view->titleLabel()->text(), titleOf(kB));
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->transcriptBox()->text().isEmpty(); }, 5000));
    EXPECT_EQ(view->transcriptBox()->placeholder(), "No transcript saved yet.");
    EXPECT_FALSE(view->exportButton()->isEnabled());
    EXPECT_TRUE(view->reTranscribeButton()->isEnabled());

    // Re-transcribing shows each step, then a transcript that exports as subtitles.
    window.setShowHistory(false);
    toneWav(inApp("mixed-" + kA + ".wav"));
    writeFile(inTranscripts(kA + ".txt"), "old");
    ASSERT_TRUE(PlainTextStore::writeLanguage("english"));
    showPanel();
    clickRow(0);
    ASSERT_EQ(history.selectedID(), kA);
    select(*view->languageMenu(), "german");
    lemonfox.setAnswer({.pieceSize = 16, .pauseMs = 40});
    view->reTranscribeButton()->click();
    EXPECT_EQ(view->statusLabel()->text(), "Preparing\u2026");
    EXPECT_FALSE(view->reTranscribeButton()->isEnabled());
    EXPECT_EQ(view->transcriptBox()->text(), QString());
    waitForStatus("Transcribing\u2026");
    EXPECT_FALSE(view->reTranscribeButton()->isEnabled());
    waitForStatus("Idle");
    EXPECT_EQ(view->transcriptBox()->text(), kServiceTranscript);
    EXPECT_TRUE(view->reTranscribeButton()->isEnabled());
    EXPECT_GT(history.session(kA)->audioOpusBytes, 0); // the new copy, found by the rescan
    ASSERT_EQ(lemonfox.requests().size(), 1);
    EXPECT_TRUE(lemonfox.requests()[0].body.contains("name=\"language\"\r\n\r\ngerman\r\n"));

    view->exportButton()->click();
    QFileDialog* dialog = view->exportDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->nameFilters().size(), 3); // the run kept its timings
    QSignalSpy exported(view, &HistoryView::exportFinished);
    dialog->selectNameFilter(dialog->nameFilters()[1]); // as the user picks it from the list
    emit dialog->filterSelected(dialog->nameFilters()[1]);
    dialog->selectFile(inApp("meeting"));
    static_cast<QDialog*>(dialog)->accept();
    ASSERT_TRUE(exported.wait(20000));
    EXPECT_EQ(exported[0][1].value<std::optional<QString>>(), std::nullopt);
    EXPECT_EQ(cueTimes(inApp("meeting.srt")), (QStringList{"0.000000,1.200000", "1.300000,1.200000"}));

    // While the top bar records and transcribes nothing else starts, and the details of the
    // selected session follow that run.
    clickRow(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->transcriptBox()->text().isEmpty(); }, 5000));
    pipeline().start();
    ASSERT_TRUE(pipeline().isRunning());
    EXPECT_FALSE(view->reTranscribeButton()->isEnabled());
    audio.push(8);
    pipeline().stop();
    waitForStatus("Transcribing\u2026");
    EXPECT_FALSE(view->reTranscribeButton()->isEnabled());
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->transcriptBox()->text() == kServiceTranscript; }, 20000));
    EXPECT_EQ(history.selectedID(), kB);
}

} // namespace
} // namespace murmurly::test
