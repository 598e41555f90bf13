#pragma once

#include "history/SessionDateFormatter.h"
#include "history/SessionHistoryEntry.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QListView;
class QMessageBox;
class QPushButton;

namespace murmurly {

class ErrorBanner;
class RenameSessionDialog;
class SessionHistoryStore;
class SessionListModel;
class TranscriptBox;
class TranscriptionPipeline;

// The history panel of the main window: the past sessions on the left (rename, delete, export),
// the selected session's transcript on the right, and a re-transcription of it in a chosen
// language through the pipeline, whose progress and error it shows.
//
// What the panel shows besides the store's list and selection (the transcript, the language
// choice, the preparation flag, an open rename sheet or delete alert) lives only while the panel
// is shown: hiding it drops all of that, and the next showing starts afresh.
class HistoryView : public QWidget {
    Q_OBJECT
public:
    HistoryView(SessionHistoryStore& history, TranscriptionPipeline& pipeline, QWidget* parent = nullptr);
    ~HistoryView() override;

    // The texts and rules the panel draws from.
    QString selectedSessionTitle() const;
    QString historyStatusText() const;
    bool canTranscribeSelection() const;
    QString transcriptPlaceholder() const;
    QString languageSelection() const { return m_state.languageSelection; }
    QString customLanguage() const { return m_state.customLanguage; }

    // Transcribes the selected session again in the chosen language.
    void reTranscribe();
    // Opens the rename sheet, the delete alert or the export dialog for a session.
    void beginRename(const SessionHistoryEntry& entry);
    void beginDelete(const SessionHistoryEntry& entry);
    void beginExport();

    QListView* sessionList() const { return m_list; }
    QPushButton* rescanButton() const { return m_rescan; }
    QPushButton* reTranscribeButton() const { return m_reTranscribe; }
    QPushButton* exportButton() const { return m_export; }
    QComboBox* languageMenu() const { return m_language; }
    QLineEdit* customLanguageField() const { return m_customLanguage; }
    TranscriptBox* transcriptBox() const { return m_transcript; }
    ErrorBanner* errorBanner() const { return m_error; }
    QLabel* titleLabel() const { return m_title; }
    QLabel* statusLabel() const { return m_status; }
    // The open sheet, alert or dialog, if any.
    RenameSessionDialog* renameSheet() const;
    QMessageBox* deleteAlert() const;
    QFileDialog* exportDialog() const;

signals:
    // An export has been written, or has failed with `error`.
    void exportFinished(const QString& path, const std::optional<QString>& error);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct State {
        QString selectedTranscript;
        QString languageSelection = QStringLiteral("Auto");
        QString customLanguage;
        bool isPreparingOpus = false;
        bool isLoadingTranscript = false;
    };

    QWidget* buildSessionsCard();
    QWidget* buildDetailsCard();
    void appear();
    void discardState();
    // Once per showing: the state it fills is discarded when the panel is hidden.
    void loadLanguageDefaults();
    void loadTranscript();
    void followPipelineTranscript();
    void selectStoreSelectionInList();
    void takeListSelection();
    void refresh();
    void writeExport(const QString& id, const QString& path, const QString& nameFilter);

    SessionHistoryStore& m_history;
    TranscriptionPipeline& m_pipeline;
    SessionListModel* m_model = nullptr;
    SessionDateFormatter m_dates;
    State m_state;
    // Exists while the panel is shown; work started during one showing reports back only to it.
    QPointer<QObject> m_showing;
    bool m_syncingSelection = false;

    QListView* m_list = nullptr;
    QPushButton* m_rescan = nullptr;
    QLabel* m_title = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_reTranscribe = nullptr;
    QPushButton* m_export = nullptr;
    QComboBox* m_language = nullptr;
    QLineEdit* m_customLanguage = nullptr;
    TranscriptBox* m_transcript = nullptr;
    ErrorBanner* m_error = nullptr;
    QPointer<RenameSessionDialog> m_renameSheet;
    QPointer<QMessageBox> m_deleteAlert;
    QPointer<QFileDialog> m_exportDialog;
};

} // namespace murmurly
