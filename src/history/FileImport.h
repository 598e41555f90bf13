#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace murmurly {

class Error;
class TranscriptionRunner;

// Turns an existing audio or video file into a session of its own: a new session id (the import
// time, moved on by a second while that id is taken), the file's first audio stream decoded into
// the session WAV format in the application folder, the original file name stored as the
// session's display name, and then the pipeline's normal transcription run (Opus copy, upload,
// transcript, WAV clean-up). The user chose the whole file, so no voice-activity gate applies.
//
// Decoding runs on the thread pool; this object lives on the main thread and publishes the
// progress there. The WAV is written under a temporary name that the history does not list and
// only takes the session's name once the whole file has been decoded, so a cancelled or failed
// import leaves nothing behind.
class FileImport : public QObject {
    Q_OBJECT
    // A file is being decoded.
    Q_PROPERTY(bool isActive READ isActive NOTIFY isActiveChanged)
    // How far the decoding has got, in [0, 1].
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)

public:
    // What the pipeline is doing; an import starts (and is handed over) only while it is idle.
    enum class Activity { idle, recording, transcribing };
    using ActivityCheck = std::function<Activity()>;

    // `runner` (the pipeline) must outlive this object.
    FileImport(TranscriptionRunner& runner, ActivityCheck activity, QObject* parent = nullptr);
    // Cancels a running decode and waits for it to wind down (one block of audio).
    ~FileImport() override;

    bool isActive() const { return m_active; }
    double progress() const { return m_progress; }
    // The name of the file being imported (or last imported).
    const QString& fileName() const { return m_fileName; }

    // Starts importing `path`. Returns false and reports failed() at once when the pipeline is
    // busy or another import is running; the session in hand is never touched.
    bool start(const QString& path);
    // Stops a running decode; its partial file is removed and nothing is reported.
    void cancel();

signals:
    void isActiveChanged();
    void progressChanged();
    // The import failed or was refused; `message` is the banner text.
    void failed(const QString& message);
    // The file is a session now, and its transcription run has been started.
    void imported(const QString& sessionID);

private:
    void finish();
    void setActive(bool active);
    void setProgress(double progress);

    TranscriptionRunner& m_runner;
    ActivityCheck m_activity;
    bool m_active = false;
    double m_progress = 0;
    QString m_fileName;
    QString m_partPath;
    bool m_cancelRequested = false;
    std::unique_ptr<QFutureWatcher<std::shared_ptr<const Error>>> m_watcher;
};

} // namespace murmurly
