#pragma once

#include <QObject>

#include <memory>

class QWidget;

namespace murmurly {

class FileImport;
class MicRecorder;
class SystemAudioMonitor;
class TranscriptionPipeline;

// The application's state, created once at launch and kept for the life of the process: the
// microphone-permission object, the system-audio source and the one pipeline, with the source
// bound to the pipeline. It publishes nothing of its own; the windows observe the three objects.
class AppModel : public QObject {
    Q_OBJECT
public:
    // Builds the three parts in order (mic, system, pipeline); the pipeline may resume a pending
    // session at once. Then binds the system-audio source to the pipeline.
    explicit AppModel(QObject* parent = nullptr);
    // For tests: a pipeline built on scripted parts.
    explicit AppModel(std::unique_ptr<TranscriptionPipeline> pipeline, QObject* parent = nullptr);
    ~AppModel() override;

    MicRecorder& mic() const { return *m_mic; }
    SystemAudioMonitor& system() const { return *m_system; }
    TranscriptionPipeline& pipeline() const { return *m_pipeline; }
    // Audio and video files turned into sessions and handed to the pipeline.
    FileImport& fileImport() const { return *m_fileImport; }

    // Probes both permissions again and stores the answers in mic and system.
    void refreshPermissions();

    // Puts the transcript on display, trimmed, on the clipboard; does nothing when it is blank.
    void copyTranscript();

    // Raises and activates the application's main window if it has one; creates none.
    void showWindow();

    // The Start/Stop command of the menu, the window and the keyboard shortcut: stops when a
    // recording is running at this moment, otherwise starts (which also retries a session).
    void toggleRecording();

    // "Transcribe File…": asks for an audio or video file (a dialog over `parent`, which may be
    // none) and imports it.
    void transcribeFile(QWidget* parent);
    // Imports `path` (a chosen, dropped or handed-over file) and brings the window forward, where
    // the progress or the reason for a refusal shows.
    void importFile(const QString& path);

private:
    std::unique_ptr<MicRecorder> m_mic;
    std::unique_ptr<SystemAudioMonitor> m_system;
    std::unique_ptr<TranscriptionPipeline> m_pipeline;
    std::unique_ptr<FileImport> m_fileImport;
};

} // namespace murmurly
