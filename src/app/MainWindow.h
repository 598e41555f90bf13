#pragma once

#include <QMainWindow>

#include <memory>

class QAction;
class QBoxLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace murmurly {

class AppModel;
class ErrorBanner;
class LevelBar;
class PermissionButton;
class SessionHistoryStore;
class SettingsButtonStyle;
class SettingsView;
class TranscriptBox;
class TranscriptionPipeline;

// The main window. While the microphone or the system audio is not available it shows the
// permissions screen; otherwise the working screen: a top bar (Start/Stop, status, voice-activity
// score, input level, History and Settings) over the transcript with its error banner, or the
// history panel in its place. The choice follows the two permission flags live. The window owns the
// session history store and the settings dialog; everything else it reads from the model.
class MainWindow : public QMainWindow {
    Q_OBJECT
    Q_PROPERTY(bool showSettings READ showSettings WRITE setShowSettings NOTIFY showSettingsChanged)
    Q_PROPERTY(bool showHistory READ showHistory WRITE setShowHistory NOTIFY showHistoryChanged)
public:
    explicit MainWindow(AppModel& model, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The top bar's status text for a state; "Silence" only while recording, not transcribing.
    static QString statusText(bool isRunning, bool isTranscribing, bool isSilent);

    // The settings dialog is open (window-modal over this window). Closing it clears the flag.
    bool showSettings() const { return m_showSettings; }
    void setShowSettings(bool show);
    // The content area shows the history panel instead of the transcript; turning it on rescans.
    bool showHistory() const { return m_showHistory; }
    void setShowHistory(bool show);

    bool showsPermissions() const;
    SessionHistoryStore& history() const { return *m_history; }

    // Room to grow: buttons added here sit in the top bar just before History and Settings; rows
    // added to the working column sit between the top bar (index 0) and the content area.
    QHBoxLayout* topBarActions() const { return m_topBarActions; }
    QVBoxLayout* workingColumn() const { return m_workingColumn; }

    QPushButton* startStopButton() const { return m_startStop; }
    QWidget* statusDot() const { return m_dot; }
    QLabel* statusLabel() const { return m_statusLabel; }
    QLabel* scoreLabel() const { return m_score; }
    LevelBar* levelBar() const { return m_level; }
    SettingsButtonStyle* historyButton() const { return m_historyButton; }
    SettingsButtonStyle* settingsButton() const { return m_settingsButton; }
    TranscriptBox* transcriptBox() const { return m_transcript; }
    ErrorBanner* errorBanner() const { return m_banner; }
    QWidget* historyPanel() const { return m_historyPanel; }
    PermissionButton* microphoneRow() const { return m_micRow; }
    PermissionButton* systemAudioRow() const { return m_systemRow; }
    SettingsView* settingsView() const { return m_settings; }
    QAction* toggleAction() const { return m_toggle; }

signals:
    void showSettingsChanged(bool showSettings);
    void showHistoryChanged(bool showHistory);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* buildPermissionsScreen();
    QWidget* buildWorkingScreen();
    QWidget* buildTopBar();
    // The history panel's place in the content area.
    QWidget* buildHistoryPanel();
    void updateScreen();
    void updatePermissionRows();
    void updateRunState();
    void updateMeters();
    void updateLevel();
    void updateScore();
    void updateTranscript();
    void updateError();

    AppModel& m_model;
    TranscriptionPipeline& m_pipeline;
    std::unique_ptr<SessionHistoryStore> m_history;
    bool m_showSettings = false;
    bool m_showHistory = false;

    QStackedWidget* m_screens = nullptr;
    QWidget* m_permissionsScreen = nullptr;
    QWidget* m_workingScreen = nullptr;
    PermissionButton* m_micRow = nullptr;
    PermissionButton* m_systemRow = nullptr;

    QVBoxLayout* m_workingColumn = nullptr;
    QHBoxLayout* m_topBarActions = nullptr;
    QPushButton* m_startStop = nullptr;
    QWidget* m_dot = nullptr;
    QLabel* m_statusLabel = nullptr;
    QLabel* m_score = nullptr;
    LevelBar* m_level = nullptr;
    SettingsButtonStyle* m_historyButton = nullptr;
    SettingsButtonStyle* m_settingsButton = nullptr;
    QStackedWidget* m_content = nullptr;
    QWidget* m_transcriptPage = nullptr;
    TranscriptBox* m_transcript = nullptr;
    ErrorBanner* m_banner = nullptr;
    QWidget* m_historyPanel = nullptr;
    SettingsView* m_settings = nullptr;
    QAction* m_toggle = nullptr;
};

} // namespace murmurly
