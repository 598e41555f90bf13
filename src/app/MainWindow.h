#pragma once

#include <QMainWindow>
#include <QTimer>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QFrame;
class QAction;

namespace murmurly {

class AppModel;
class LevelBar;
class TranscriptionPipeline;

// A small dark window over the pipeline: Start/Stop, the status, the voice-activity score and the
// input level in a top bar; below them the transcript (read-only, selectable) with a Copy button
// and, when the last run or start failed, the error as a banner. It holds no state of its own
// beyond what it shows and redraws from the pipeline's change signals.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppModel& model, QWidget* parent = nullptr);

    // The top bar's status text for a state; "Silence" only while recording, not transcribing.
    static QString statusText(bool isRunning, bool isTranscribing, bool isSilent);

    QPushButton* startStopButton() const { return m_startStop; }
    QPushButton* copyButton() const { return m_copy; }
    QLabel* statusLabel() const { return m_statusLabel; }
    QLabel* scoreLabel() const { return m_score; }
    QLabel* errorLabel() const { return m_errorText; }
    QFrame* errorBanner() const { return m_banner; }
    QPlainTextEdit* transcriptView() const { return m_transcript; }
    LevelBar* levelBar() const { return m_level; }
    QAction* toggleAction() const { return m_toggle; }

private:
    QWidget* buildTopBar();
    QWidget* buildTranscriptBox();
    QWidget* buildErrorBanner();
    void updateRunState();
    void scheduleMeters();
    void updateMeters();
    void updateTranscript();
    void updateError();
    void copyWithFeedback(QPushButton* button, const QString& label, const QString& text);

    AppModel& m_model;
    TranscriptionPipeline& m_pipeline;
    QPushButton* m_startStop = nullptr;
    QLabel* m_dot = nullptr;
    QLabel* m_statusLabel = nullptr;
    QLabel* m_score = nullptr;
    LevelBar* m_level = nullptr;
    QPlainTextEdit* m_transcript = nullptr;
    QPushButton* m_copy = nullptr;
    QFrame* m_banner = nullptr;
    QLabel* m_errorText = nullptr;
    QPushButton* m_copyError = nullptr;
    QAction* m_toggle = nullptr;
    QTimer m_meterRefresh;
};

} // namespace murmurly
