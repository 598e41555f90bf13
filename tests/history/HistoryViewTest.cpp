#include "HistoryTestSupport.h"

#include "app/AppTestSupport.h"
#include "app/HistoryView.h"
#include "app/MainWindow.h"
#include "app/RenameSessionDialog.h"
#include "app/SessionRowDelegate.h"
#include "app/TranscriptBox.h"
#include "app/WindowFixture.h"
#include "history/SessionDateFormatter.h"
#include "history/SessionListModel.h"
#include "history/SessionMetadataStore.h"
#include "storage/PlainTextStore.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace murmurly::test {
namespace {

// The history panel in the main window, over a pipeline on a scripted microphone and the real
// Lemonfox client talking to a local stand-in.
class HistoryViewTest : public WindowFixture {
protected:
    std::unique_ptr<MainWindow> window;
    HistoryView* view = nullptr;

    void SetUp() override {
        WindowFixture::SetUp();
        window = std::make_unique<MainWindow>(*model);
        window->resize(820, 520);
        ASSERT_NO_FATAL_FAILURE(showGranted(*window));
        view = qobject_cast<HistoryView*>(window->historyPanel());
        ASSERT_NE(view, nullptr);
    }
    SessionHistoryStore& history() const { return window->history(); }
    // Shows the panel and waits for its scan and its transcript load.
    void showPanel() {
        window->setShowHistory(true);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return history().pendingScans() == 0 &&
                       view->transcriptPlaceholder() != "Loading transcript...";
            },
            20000));
    }
    QModelIndex row(int number) const { return view->sessionList()->model()->index(number, 0); }
    QStringList factsAt(int number) const {
        return SessionRowDelegate::facts(
            row(number).data(SessionListModel::EntryRole).value<SessionHistoryEntry>());
    }
    void clickRow(int number, std::optional<SessionRowDelegate::Button> button = std::nullopt) {
        const QRect rect = view->sessionList()->visualRect(row(number));
        QTest::mouseClick(view->sessionList()->viewport(), Qt::LeftButton, {},
                          button ? SessionRowDelegate::buttonRect(rect, *button).center() : rect.center());
    }
    void answerDelete(const QString& choice) {
        ASSERT_NE(view->deleteAlert(), nullptr);
        for (QAbstractButton* button : view->deleteAlert()->buttons())
            if (button->text() == choice)
                return button->click();
        ADD_FAILURE() << "no button " << choice.toStdString();
    }
    QString titleOf(const QString& id) const {
        return SessionDateFormatter().format(SessionDateFormatter::parseInternetDateTime(id));
    }
    void selectLanguage(const QString& value) {
        const int index = view->languageMenu()->findData(value);
        view->languageMenu()->setCurrentIndex(index);
        emit view->languageMenu()->activated(index);
    }
    void waitForStatus(const QString& status) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return view->statusLabel()->text() == status; }, 20000))
            << "status stayed " << view->statusLabel()->text().toStdString() << ", not "
            << status.toStdString();
    }
};

// Also run at twice the scale, for the screenshot.
TEST_F(HistoryViewTest, RowsTellEachSessionRenameAndDeleteAskFirstAndReTranscribingShowsEachStep) {
    // Empty, it offers nothing; the default language is read at each showing.
    showPanel();
    EXPECT_EQ(view->titleLabel()->text(), QStringLiteral("None selected"));
    EXPECT_EQ(view->statusLabel()->text(), QStringLiteral("Idle"));
    EXPECT_FALSE(view->reTranscribeButton()->isEnabled() || view->exportButton()->isEnabled());
    EXPECT_EQ(view->transcriptBox()->placeholder(), QStringLiteral("Select a session to view transcript."));
    struct Case {
        std::optional<QString> stored;
        QString selection, label, custom;
    };
    for (const Case& c : {Case{"german", "german", "German", ""}, Case{"de", "Custom", "Custom", "de"},
                          Case{std::nullopt, "Auto", "Auto", ""}}) {
        SCOPED_TRACE(c.stored.value_or("none").toStdString());
        window->setShowHistory(false);
        ASSERT_TRUE(PlainTextStore::writeLanguage(c.stored));
        showPanel();
        EXPECT_EQ(view->languageSelection(), c.selection);
        EXPECT_EQ(view->languageMenu()->currentText(), c.label);
        EXPECT_EQ(view->customLanguageField()->isVisible(), c.selection == "Custom");
        EXPECT_EQ(view->customLanguageField()->text(), c.custom);
        selectLanguage(QStringLiteral("swedish")); // a choice here is the panel's own
        EXPECT_EQ(PlainTextStore::readLanguage(), c.stored);
    }

    window->setShowHistory(false);
    writeFile(inTranscripts("mixed-" + kA + ".opus"), QByteArray(2500, 'o'));
    writeFile(inTranscripts(kA + ".txt"), "[00:00] SPEAKER_00: Hi.\n");
    writeFile(inApp("mixed-" + kB + ".wav"), QByteArray(1'250'000, 'w'));
    writeFile(inApp("system-" + kC + ".wav"), QByteArray(800, 's'));
    writeFile(inTranscripts("system-" + kC + ".opus"), QByteArray(300, 'o'));
    writeFile(inApp("mic-" + kD + ".wav"), QByteArray(1000, 'm'));
    writeFile(inApp("system-" + kD + ".wav"), QByteArray(1000, 's'));
    SessionMetadataStore::setName(QStringLiteral("Design review"), kA);
    showPanel();
    saveScreenshot(*window, QStringLiteral("history"));
    EXPECT_EQ(factsAt(0), (QStringList{"Audio", "Opus 3 KB", "Transcript"}));
    EXPECT_EQ(factsAt(1), (QStringList{"Audio", "WAV 1.3 MB", "Opus \u2014", "No transcript"}));
    EXPECT_EQ(factsAt(2), (QStringList{"System", "WAV 1 KB", "Opus 1 KB", "No transcript"}));
    EXPECT_EQ(factsAt(3), (QStringList{"Mic", "WAV 2 KB", "Opus \u2014", "No transcript"}));

    // The newest is selected at the first scan; without timings it exports as text only.
    EXPECT_EQ(view->titleLabel()->text(), titleOf(kA)); // the start, whatever the name
    EXPECT_EQ(view->transcriptBox()->text(), QStringLiteral("[00:00] SPEAKER_00: Hi.\n"));
    QTest::keyClick(view->sessionList(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("[00:00] SPEAKER_00: Hi.\n"));
    view->exportButton()->click();
    ASSERT_NE(view->exportDialog(), nullptr);
    EXPECT_EQ(view->exportDialog()->nameFilters().size(), 1);
    EXPECT_TRUE(view->exportDialog()->windowTitle().contains(QStringLiteral("text only")));
    view->exportDialog()->reject();

    QTest::keyClick(view->sessionList(), Qt::Key_F2); // the selected session
    ASSERT_NE(view->renameSheet(), nullptr);
    EXPECT_EQ(view->renameSheet()->nameField()->text(), QStringLiteral("Design review"));
    view->renameSheet()->cancelButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->renameSheet() == nullptr; }, 5000));
    clickRow(1, SessionRowDelegate::Button::rename);
    ASSERT_NE(view->renameSheet(), nullptr);
    view->renameSheet()->nameField()->setText(QStringLiteral("  Weekly sync "));
    view->renameSheet()->saveButton()->click();
    EXPECT_EQ(row(1).data().toString(), QStringLiteral("Weekly sync"));
    EXPECT_EQ(history().selectedID(), kA); // a row's button does not select it

    QTest::keyClick(view->sessionList(), Qt::Key_Delete);
    ASSERT_NE(view->deleteAlert(), nullptr);
    EXPECT_EQ(view->deleteAlert()->text(), QStringLiteral("Delete session?"));
    EXPECT_EQ(view->deleteAlert()->informativeText(),
              QStringLiteral("This removes the WAV, Opus, and transcript files."));
    answerDelete(QStringLiteral("Cancel"));
    EXPECT_TRUE(QFile::exists(inTranscripts(kA + ".txt")));
    clickRow(0, SessionRowDelegate::Button::remove);
    answerDelete(QStringLiteral("Delete"));
    EXPECT_FALSE(QFile::exists(inTranscripts("mixed-" + kA + ".opus")) ||
                 QFile::exists(inTranscripts(kA + ".txt")));
    EXPECT_EQ(history().selectedID(), kB);
    EXPECT_TRUE(view->sessionList()->selectionModel()->isRowSelected(0));
    EXPECT_EQ(view->titleLabel()->text(), titleOf(kB));
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->transcriptBox()->text().isEmpty(); }, 5000));
    EXPECT_EQ(view->transcriptBox()->placeholder(), QStringLiteral("No transcript saved yet."));
    EXPECT_FALSE(view->exportButton()->isEnabled());
    EXPECT_TRUE(view->reTranscribeButton()->isEnabled());

    // Closing the panel with the alert and the sheet open. (Qt closes these two with the hidden
    // panel even without the panel's own clean-up; that clean-up matters for the export dialog.)
    QTest::keyClick(view->sessionList(), Qt::Key_Delete);
    QTest::keyClick(view->sessionList(), Qt::Key_F2);
    QPointer<QWidget> alert = view->deleteAlert(), sheet = view->renameSheet();
    window->setShowHistory(false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return alert.isNull() && sheet.isNull(); }, 5000));
    EXPECT_EQ(idsOf(history().sessions()), (QStringList{kB, kC, kD}));

    // Re-transcribing shows each step, then a transcript that exports as subtitles.
    toneWav(inApp("mixed-" + kA + ".wav"));
    writeFile(inTranscripts(kA + ".txt"), "old");
    ASSERT_TRUE(PlainTextStore::writeLanguage(QStringLiteral("english")));
    showPanel();
    clickRow(0);
    ASSERT_EQ(history().selectedID(), kA);
    selectLanguage(QStringLiteral("german"));
    lemonfox.setAnswer({.pieceSize = 16, .pauseMs = 40});
    view->reTranscribeButton()->click();
    EXPECT_EQ(view->statusLabel()->text(), QStringLiteral("Preparing\u2026"));
    EXPECT_FALSE(view->reTranscribeButton()->isEnabled());
    EXPECT_EQ(view->transcriptBox()->text(), QString());
    waitForStatus(QStringLiteral("Transcribing\u2026"));
    EXPECT_FALSE(view->reTranscribeButton()->isEnabled());
    waitForStatus(QStringLiteral("Idle"));
    EXPECT_EQ(view->transcriptBox()->text(), kServiceTranscript);
    EXPECT_TRUE(view->reTranscribeButton()->isEnabled());
    EXPECT_GT(history().session(kA)->audioOpusBytes, 0); // the new copy, found by the rescan
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
    waitForStatus(QStringLiteral("Transcribing\u2026"));
    EXPECT_FALSE(view->reTranscribeButton()->isEnabled());
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->transcriptBox()->text() == kServiceTranscript; }, 20000));
    EXPECT_EQ(history().selectedID(), kB);
}

} // namespace
} // namespace murmurly::test
