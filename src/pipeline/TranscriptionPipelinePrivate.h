#pragma once

// The pipeline's fields and the small helpers shared by its source files (lifecycle, run, live
// preview). Not part of the public interface.

#include "audio/SessionRecorder.h"
#include "common/CancellationToken.h"
#include "pipeline/PipelineError.h"
#include "pipeline/TranscriptionPipeline.h"
#include "storage/PendingSession.h"
#include "storage/TranscriptionProvider.h"
#include "transcription/LemonfoxTranscriber.h"
#include "transcription/MistralTranscriber.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

#include <QCoro/QCoroTask>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

Q_DECLARE_LOGGING_CATEGORY(lcPipeline)

namespace murmurly {

class LivePreview;
class SystemAudioMonitor;

// What callbacks from other threads hold instead of the pipeline itself. The pipeline clears
// `pipeline` (under the lock) when it goes away, so a callback that fires later posts nothing; the
// recorder is reached through a weak reference for the same reason.
struct PipelineAnchor {
    std::mutex mutex;
    TranscriptionPipeline* pipeline = nullptr; // guarded by mutex
    // Mirror of isRunning for the system-audio sample thread, which decides without the main thread
    // whether to forward a buffer.
    std::atomic<bool> isRunning{false};
    std::weak_ptr<SessionRecorder> recorder;

    // The recorder's latest microphone level and VAD score, waiting for the main thread. Both
    // arrive several times a second from the recorder's threads and are only stored: the main
    // thread picks up whatever is newest at its meter tick instead of being woken for each.
    static constexpr float kNoNewValue = -2.0f;
    static constexpr float kNoScore = -1.0f;
    std::atomic<float> newMicLevel{kNoNewValue};
    std::atomic<float> newVadScore{kNoNewValue};

    // Queues `work` onto the pipeline's thread; it runs only if the pipeline still exists then.
    template <typename Work>
    void post(Work work) {
        std::lock_guard lock(mutex);
        if (pipeline == nullptr) {
            return;
        }
        QPointer<TranscriptionPipeline> guard(pipeline);
        QMetaObject::invokeMethod(
            pipeline,
            [guard, work = std::move(work)]() mutable {
                if (TranscriptionPipeline* target = guard.data()) {
                    work(*target);
                }
            },
            Qt::QueuedConnection);
    }
};

// The handle of a running transcription run: its identity and the token that cancels it. A run
// compares its own id with the one held to learn whether it has been replaced.
struct RunHandle {
    std::uint64_t id = 0;
    CancellationToken token;
};

struct TranscriptionPipeline::Private {
    explicit Private(TranscriptionPipeline& owner)
        : q(owner) {}

    TranscriptionPipeline& q;

    // The eight observable fields; changed only through the setters below, which notify.
    bool isRunning = false;
    bool isTranscribing = false;
    bool isSilent = false;
    std::optional<float> vadScore;
    QString transcriptText;
    std::optional<QString> status;
    float level = 0.0f;
    std::shared_ptr<const PipelineError> lastError;

    std::shared_ptr<PipelineAnchor> anchor = std::make_shared<PipelineAnchor>();
    std::shared_ptr<SessionRecorder> recorder;
    // Shared with the calls in flight, which keep a client alive until they have wound down.
    std::shared_ptr<LemonfoxTranscriber> lemonfoxTranscriber;
    std::shared_ptr<MistralTranscriber> mistralTranscriber;
    QPointer<SystemAudioMonitor> systemMonitor;

    float micLevel = 0.0f;
    float systemLevel = 0.0f;
    // While recording: applies the recorder's newest level and score and re-checks the silence.
    QTimer meterTick;
    // From Stop until the session ends (see stop()); it is still running meanwhile.
    QTimer sourcesStop;
    std::chrono::milliseconds stopDelay{0};
    bool vadSilentHint = false;
    std::optional<std::chrono::steady_clock::time_point> vadSilentSince;
    std::optional<PendingSession> currentSession;
    std::optional<RunHandle> transcriptionTask;
    std::uint64_t lastRunID = 0;
    std::unique_ptr<LivePreview> livePreview;

    std::function<bool()> microphoneAuthorized;
    Clock clock;

    // The start in progress (see isStarting()). Each start() takes a new attempt number; a step
    // whose answer arrives for an older attempt (cancelled by stop()) does nothing with it.
    bool isStarting = false;
    std::uint64_t startAttempt = 0;
    // The recorder's start runs on a pool thread: the recorder must not be touched until it returns,
    // so stop() only asks for the cancellation and the answer carries it out.
    bool recorderStarting = false;
    bool cancelRequested = false;
    bool checkMicrophoneOffThread = false;
    bool startRecorderOffThread = false;

    void continueStart(std::uint64_t attempt, bool authorized);
    void startRecorder(std::uint64_t attempt, const QString& audioPath);
    void finishStart(std::uint64_t attempt, std::shared_ptr<const PipelineError> error);
    // Ends the session: stops the sources and the recorder and begins the transcription.
    void endSession();
    void discardCancelledSession(bool recorderStarted);

    void setRunning(bool value);
    void setStarting(bool value);
    void setTranscribing(bool value);
    void setSilent(bool value);
    void setVadScore(std::optional<float> value);
    // Takes the recorder's newest level and score (main thread).
    void applyRecorderMeters();
    void setTranscriptText(const QString& value);
    void setStatus(std::optional<QString> value);
    void setLevel(float value);
    void setLastError(std::shared_ptr<const PipelineError> value);

    void installRecorderCallbacks();
    void recomputeSilenceStatus();
    void resetSilence();

    // Run, retry and resume (TranscriptionRun.cpp).
    static QCoro::Task<> run(QPointer<TranscriptionPipeline> self, RunHandle handle,
                             std::optional<QString> audioPath, std::optional<QString> sessionID,
                             std::optional<QString> language, TranscriptionProvider provider,
                             TranscriptionCompletion completion);
    void transcribe(const PendingSession& session);
    void loadPendingIfNeeded();
};

} // namespace murmurly
