#pragma once

#include "pipeline/TranscriptionRunner.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace murmurly {

class PipelineError;
class SessionRecorder;
class SystemAudioMonitor;

// The one object that owns the life of a recording session: it starts and stops the recorder and
// the system-audio source, keeps the pending-session record of the session in hand, runs the
// transcription when a recording ends (and retries or resumes it), runs the live preview while
// recording with Mistral, and publishes the state the windows show.
//
// A main-thread object: every public call must come from the thread it lives on, and every
// property change (and its NOTIFY signal) happens there. Callbacks from the recorder and the
// system-audio source arrive on their own threads and are queued onto this object; once the
// pipeline is destroyed they do nothing.
class TranscriptionPipeline : public QObject, public TranscriptionRunner {
    Q_OBJECT
    // A recording is in progress.
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    // A transcription run is in progress.
    Q_PROPERTY(bool isTranscribing READ isTranscribing NOTIFY isTranscribingChanged)
    // The running recording has had an uninterrupted silence hint for at least 2.0 s.
    Q_PROPERTY(bool isSilent READ isSilent NOTIFY isSilentChanged)
    // The last speech probability (a float), or an invalid QVariant when there is none.
    Q_PROPERTY(QVariant vadScore READ vadScoreVariant NOTIFY vadScoreChanged)
    // The final transcript, or the live preview while recording.
    Q_PROPERTY(QString transcriptText READ transcriptText NOTIFY transcriptTextChanged)
    // One-line status ("Listening...", "Transcribing..."); a null QString when there is none.
    Q_PROPERTY(QString status READ statusText NOTIFY statusChanged)
    // The displayed input level in [0, 1]: the larger of the microphone's and system audio's.
    Q_PROPERTY(float level READ level NOTIFY levelChanged)
    // The banner text of the last failure; empty when there is none. lastError() gives the error.
    Q_PROPERTY(QString lastError READ lastErrorDescription NOTIFY lastErrorChanged)

public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // What the pipeline runs on. Anything left empty gets the real part: a recorder on the default
    // capture source with the Silero gate, the sound-server probe for the microphone authorization,
    // and the steady clock for the silence rule. Tests swap in scripted parts.
    struct Dependencies {
        Dependencies();
        ~Dependencies();
        Dependencies(Dependencies&&) noexcept;
        Dependencies& operator=(Dependencies&&) noexcept;

        // Given ones answer at once (tests script them) and are called on the main thread; the
        // defaults ask the sound server, which may hang, so they run on a pool thread and start()
        // goes on when they have answered or timed out.
        std::unique_ptr<SessionRecorder> recorder;
        // True when the sound server is reachable and offers a capture source.
        std::function<bool()> microphoneAuthorized;
        Clock clock;
        // How long the sources keep running after Stop, for the audio the sound server captured
        // before it but had not yet sent. None given: the sound server's fragment and a margin when
        // the pipeline builds its own recorder, nothing with a given one (tests script the audio).
        std::optional<std::chrono::milliseconds> stopDelay;
    };

    // Builds the recorder and the clients, wires the callbacks and, as its last step, resumes a
    // session left pending by an earlier launch (which may start a transcription run at once).
    explicit TranscriptionPipeline(QObject* parent = nullptr);
    explicit TranscriptionPipeline(Dependencies dependencies, QObject* parent = nullptr);
    ~TranscriptionPipeline() override;

    TranscriptionPipeline(const TranscriptionPipeline&) = delete;
    TranscriptionPipeline& operator=(const TranscriptionPipeline&) = delete;

    bool isRunning() const;
    // Between start() and the moment recording runs or has failed, while the permission check or
    // the recorder's start waits for the sound server. stop() then cancels the start.
    bool isStarting() const;
    bool isTranscribing() const;
    bool isSilent() const;
    std::optional<float> vadScore() const;
    QVariant vadScoreVariant() const;
    QString transcriptText() const;
    std::optional<QString> status() const;
    QString statusText() const;
    float level() const;
    // The last failure, or null.
    std::shared_ptr<const PipelineError> lastError() const;
    QString lastErrorDescription() const;

    // The recording of the session in hand (recorded and not yet through a run), if any.
    std::optional<QString> currentSessionAudioPath() const;

    // Connects the system-audio source; held weakly (the application model owns it). Its buffers
    // are forwarded to the recorder while recording, its level joins the displayed level.
    void bindSystemMonitor(SystemAudioMonitor* monitor);

    // Starts a recording session, or retries the transcription of the current session.
    void start();
    // Ends the recording and hands it to a transcription run. During a pending start it cancels the
    // start instead: nothing is recorded or kept. Does nothing otherwise.
    void stop();
    // Cancels a running transcription run and resets the displayed recording state.
    void cancelTranscription();

    // Starts a transcription run of `audioPath` (a WAV recording or an Opus/Ogg copy); the
    // transcript is stored under `sessionID` when one is given. `language` is handed to the
    // service as given; none means the language preference. While a run is active, a call with
    // `force` false returns at once (completion not called); with `force` true it cancels that run.
    void transcribeFiles(std::optional<QString> audioPath, std::optional<QString> sessionID,
                         std::optional<QString> language, bool force,
                         TranscriptionCompletion completion) override;

    // True when the file looks like it holds audio: an Opus/Ogg file of at least one byte, any
    // other file larger than a bare 512-byte header.
    static bool fileHasAudio(const QString& path);
    // Deletes a WAV recording whose Opus copy exists; leaves every other file alone.
    static void cleanupWAVIfOpusExists(const QString& path);

signals:
    void isRunningChanged();
    void isStartingChanged();
    void isTranscribingChanged();
    void isSilentChanged();
    void vadScoreChanged();
    void transcriptTextChanged();
    void statusChanged();
    void levelChanged();
    void lastErrorChanged();

private:
    struct Private;
    friend class LivePreview;
    std::unique_ptr<Private> d;
};

} // namespace murmurly
