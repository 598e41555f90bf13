#include "pipeline/TranscriptionPipeline.h"

#include "audio/AudioFileReader.h"
#include "audio/MicRecorder.h"
#include "audio/SoundServerProbe.h"
#include "audio/SystemAudioMonitor.h"
#include "common/WaitingPool.h"
#include "pipeline/LivePreview.h"
#include "pipeline/TranscriptionPipelinePrivate.h"
#include "storage/SessionStore.h"

#include <QFile>
#include <QThreadPool>

Q_LOGGING_CATEGORY(lcPipeline, "com.murmurly.app.TranscriptionPipeline")

namespace murmurly {

namespace {

// What the sound server captured before Stop reaches us at its next fragment (50 ms at most, see
// the capture) and a little scheduling later; the sources run this much longer so that it is kept.
constexpr std::chrono::milliseconds kSoundServerStopDelay{100};

// The failures that say the current session's audio is of no use, so a retry would fail again.
// Compared as bare cases: a transcription failure wrapping one of them does not count.
bool isUnusableAudioError(const PipelineError& error) {
    switch (error.kind()) {
    case PipelineError::Kind::pendingAudioEmpty:
    case PipelineError::Kind::pendingAudioUnreadable:
    case PipelineError::Kind::noAudioData:
        return true;
    default:
        return false;
    }
}

} // namespace

TranscriptionPipeline::Dependencies::Dependencies() = default;
TranscriptionPipeline::Dependencies::~Dependencies() = default;
TranscriptionPipeline::Dependencies::Dependencies(Dependencies&&) noexcept = default;
TranscriptionPipeline::Dependencies&
TranscriptionPipeline::Dependencies::operator=(Dependencies&&) noexcept = default;

TranscriptionPipeline::TranscriptionPipeline(QObject* parent)
    : TranscriptionPipeline(Dependencies{}, parent) {}

TranscriptionPipeline::TranscriptionPipeline(Dependencies dependencies, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Private>(*this)) {
    if (dependencies.recorder) {
        d->recorder = std::move(dependencies.recorder);
    } else {
        d->recorder = std::make_shared<SessionRecorder>();
        d->startRecorderOffThread = true;
        d->stopDelay = kSoundServerStopDelay;
    }
    if (dependencies.stopDelay) {
        d->stopDelay = *dependencies.stopDelay;
    }
    d->sourcesStop.setSingleShot(true);
    connect(&d->sourcesStop, &QTimer::timeout, this, [this] { d->endSession(); });
    if (dependencies.microphoneAuthorized) {
        d->microphoneAuthorized = std::move(dependencies.microphoneAuthorized);
    } else {
        d->checkMicrophoneOffThread = true;
        // "Authorized" on this platform: the sound server answers and offers a capture source. Asked
        // afresh at every start, so a server started after the application is found.
        d->microphoneAuthorized = [] { return MicRecorder::grantsPermission(SoundServerProbe::probe()); };
    }
    d->clock = dependencies.clock ? std::move(dependencies.clock)
                                  : Clock([] { return std::chrono::steady_clock::now(); });
    d->lemonfoxTranscriber = std::make_shared<LemonfoxTranscriber>();
    d->mistralTranscriber = std::make_shared<MistralTranscriber>();
    d->livePreview = std::make_unique<LivePreview>(*this, d->mistralTranscriber);

    d->anchor->pipeline = this;
    d->anchor->recorder = d->recorder;
    d->installRecorderCallbacks();
    // Ten times a second is as fast as a meter can be read. A coarse timer of this interval fires on
    // the same 100 ms boundary as the system-audio monitor's level timer, so both take one wake-up.
    d->meterTick.setInterval(SystemAudioMonitor::kLevelMilliseconds);
    d->meterTick.setTimerType(Qt::CoarseTimer);
    connect(&d->meterTick, &QTimer::timeout, this, [this] { d->applyRecorderMeters(); });

    d->loadPendingIfNeeded();
}

TranscriptionPipeline::~TranscriptionPipeline() {
    // Stopped a moment ago: the system audio stops now (the recorder, below, finishes its file and
    // the session stays pending for the next launch).
    if (d->sourcesStop.isActive() && d->systemMonitor) {
        d->systemMonitor->stop();
    }
    {
        std::lock_guard lock(d->anchor->mutex);
        d->anchor->pipeline = nullptr;
        d->anchor->isRunning = false;
    }
    // Running coroutines see their tokens cancelled and their guards gone; none resumes into us.
    d->livePreview->stop();
    if (d->transcriptionTask) {
        d->transcriptionTask->token.cancel();
    }
    // The recorder stops its capture and finishes its queue here, before the fields it reports into.
    d->recorder.reset();
}

bool TranscriptionPipeline::isRunning() const {
    return d->isRunning;
}
bool TranscriptionPipeline::isStarting() const {
    return d->isStarting;
}
bool TranscriptionPipeline::isTranscribing() const {
    return d->isTranscribing;
}
bool TranscriptionPipeline::isSilent() const {
    return d->isSilent;
}
std::optional<float> TranscriptionPipeline::vadScore() const {
    return d->vadScore;
}
QVariant TranscriptionPipeline::vadScoreVariant() const {
    return d->vadScore ? QVariant(*d->vadScore) : QVariant();
}
QString TranscriptionPipeline::transcriptText() const {
    return d->transcriptText;
}
std::optional<QString> TranscriptionPipeline::status() const {
    return d->status;
}
QString TranscriptionPipeline::statusText() const {
    return d->status.value_or(QString());
}
float TranscriptionPipeline::level() const {
    return d->level;
}
std::shared_ptr<const PipelineError> TranscriptionPipeline::lastError() const {
    return d->lastError;
}
QString TranscriptionPipeline::lastErrorDescription() const {
    return d->lastError ? d->lastError->description() : QString();
}

std::optional<QString> TranscriptionPipeline::currentSessionAudioPath() const {
    if (!d->currentSession) {
        return std::nullopt;
    }
    return d->currentSession->audioPath;
}

void TranscriptionPipeline::Private::setRunning(bool value) {
    anchor->isRunning = value;
    if (value && !meterTick.isActive()) {
        // What the last session left behind is not this one's.
        anchor->newMicLevel.store(PipelineAnchor::kNoNewValue, std::memory_order_relaxed);
        anchor->newVadScore.store(PipelineAnchor::kNoNewValue, std::memory_order_relaxed);
        meterTick.start();
    } else if (!value) {
        meterTick.stop();
    }
    if (isRunning != value) {
        isRunning = value;
        emit q.isRunningChanged();
    }
}

void TranscriptionPipeline::Private::setStarting(bool value) {
    if (isStarting != value) {
        isStarting = value;
        emit q.isStartingChanged();
    }
}

void TranscriptionPipeline::Private::setTranscribing(bool value) {
    if (isTranscribing != value) {
        isTranscribing = value;
        emit q.isTranscribingChanged();
    }
}

void TranscriptionPipeline::Private::setSilent(bool value) {
    if (isSilent != value) {
        isSilent = value;
        emit q.isSilentChanged();
    }
}

void TranscriptionPipeline::Private::setVadScore(std::optional<float> value) {
    if (vadScore != value) {
        vadScore = value;
        emit q.vadScoreChanged();
    }
}

void TranscriptionPipeline::Private::setTranscriptText(const QString& value) {
    if (transcriptText != value) {
        transcriptText = value;
        emit q.transcriptTextChanged();
    }
}

void TranscriptionPipeline::Private::setStatus(std::optional<QString> value) {
    if (status != value) {
        status = std::move(value);
        emit q.statusChanged();
    }
}

void TranscriptionPipeline::Private::setLevel(float value) {
    if (level != value) {
        level = value;
        emit q.levelChanged();
    }
}

void TranscriptionPipeline::Private::setLastError(std::shared_ptr<const PipelineError> value) {
    // Every failure notifies, even one with the same text as the last: the banner shows it again.
    if (!lastError && !value) {
        return;
    }
    lastError = std::move(value);
    emit q.lastErrorChanged();
}

void TranscriptionPipeline::Private::installRecorderCallbacks() {
    // The recorder calls these on its own threads; each only queues the work onto the pipeline,
    // or, for the meters, leaves the newest value for the meter tick.
    recorder->onLevel = [anchor = anchor](float value) {
        anchor->newMicLevel.store(value, std::memory_order_release);
    };
    recorder->onError = [anchor = anchor](const Error& error) {
        // A failed write loses those samples only and the recording goes on, but the user must know
        // that what is said now is not being kept (the recorder reports a full disk once, not per
        // window).
        qCCritical(lcPipeline, "Recording error: %s", qUtf8Printable(error.description()));
        anchor->post([failure = error.clone()](TranscriptionPipeline& p) {
            p.d->setLastError(std::make_shared<PipelineError>(PipelineError::recordingWriteFailed(failure)));
        });
    };
    recorder->onSilenceStateChange = [anchor = anchor](bool silent) {
        anchor->post([silent](TranscriptionPipeline& p) {
            p.d->vadSilentHint = silent;
            p.d->recomputeSilenceStatus();
        });
    };
    recorder->onVADScoreChange = [anchor = anchor](std::optional<float> score) {
        anchor->newVadScore.store(score.value_or(PipelineAnchor::kNoScore), std::memory_order_release);
    };
}

void TranscriptionPipeline::Private::applyRecorderMeters() {
    const float level = anchor->newMicLevel.exchange(PipelineAnchor::kNoNewValue, std::memory_order_acq_rel);
    const float score = anchor->newVadScore.exchange(PipelineAnchor::kNoNewValue, std::memory_order_acq_rel);
    if (score != PipelineAnchor::kNoNewValue) {
        setVadScore(score == PipelineAnchor::kNoScore ? std::nullopt : std::optional<float>(score));
    }
    if (level != PipelineAnchor::kNoNewValue) {
        micLevel = level;
        setLevel(std::max(micLevel, systemLevel));
    }
    recomputeSilenceStatus();
}

void TranscriptionPipeline::bindSystemMonitor(SystemAudioMonitor* monitor) {
    d->systemMonitor = monitor;
    if (monitor == nullptr) {
        return;
    }
    // The monitor calls onLevel on the main thread already: applied at once, without a second hop.
    // The anchor still guards against a pipeline that is gone.
    monitor->onLevel = [anchor = d->anchor](float value) {
        TranscriptionPipeline* pipeline = nullptr;
        {
            std::lock_guard lock(anchor->mutex);
            pipeline = anchor->pipeline;
        }
        if (pipeline == nullptr) {
            return;
        }
        pipeline->d->systemLevel = value;
        pipeline->d->setLevel(std::max(pipeline->d->micLevel, pipeline->d->systemLevel));
        pipeline->d->recomputeSilenceStatus();
    };
    // Runs on the sample thread and stays there: the hop to the main thread would only delay the
    // audio. A buffer racing with stop() may still get through; the recorder drops or flushes it.
    monitor->onBuffer = [anchor = d->anchor](const PcmBuffer& buffer) {
        if (!anchor->isRunning.load(std::memory_order_acquire)) {
            return;
        }
        if (auto recorder = anchor->recorder.lock()) {
            recorder->ingestSystemBuffer(buffer);
        }
    };
}

void TranscriptionPipeline::start() {
    // A second start while recording would hand the recording in progress to a retry run; the
    // windows only offer Stop then, so it is ignored; so is a start while one is pending.
    if (d->isRunning || d->isStarting) {
        return;
    }
    d->livePreview->stop();
    if (d->isTranscribing) {
        cancelTranscription();
    }

    if (d->currentSession) {
        const PendingSession session = *d->currentSession;
        // A session that still has audio is transcribed again rather than thrown away, unless the
        // last failure already said its audio is unusable.
        const bool blocked = d->lastError && isUnusableAudioError(*d->lastError);
        if (AudioFileReader::hasAudioFrames(session.audioPath) && !blocked) {
            d->setStatus(QStringLiteral("Retrying transcription..."));
            d->transcribe(session);
            return;
        }
        SessionStore::clearPending();
        d->currentSession.reset();
    }

    d->setStarting(true);
    const std::uint64_t attempt = ++d->startAttempt;
    if (!d->checkMicrophoneOffThread) {
        d->continueStart(attempt, d->microphoneAuthorized());
        return;
    }
    waitingPool().start([anchor = d->anchor, check = d->microphoneAuthorized, attempt] {
        const bool authorized = check();
        anchor->post(
            [attempt, authorized](TranscriptionPipeline& p) { p.d->continueStart(attempt, authorized); });
    });
}

void TranscriptionPipeline::Private::continueStart(std::uint64_t attempt, bool authorized) {
    if (attempt != startAttempt || !isStarting) {
        return; // stop() came first
    }
    if (!authorized) {
        setStarting(false);
        setLastError(std::make_shared<PipelineError>(PipelineError::microphonePermissionDenied()));
        setStatus(std::nullopt);
        return;
    }

    setLastError(nullptr);
    setStatus(std::nullopt);
    setSilent(false);
    setVadScore(std::nullopt);
    vadSilentHint = false;
    vadSilentSince.reset();
    setTranscriptText(QString());

    const PendingSession session = SessionStore::createNewSession();
    // Without the record a crash loses the recording, but the recording itself can still go on.
    SessionStore::writePending(session);
    currentSession = session;
    startRecorder(attempt, session.audioPath);
}

namespace {

std::shared_ptr<const PipelineError> startRecording(SessionRecorder& recorder, const QString& audioPath) {
    try {
        recorder.start(audioPath);
    } catch (const Error& error) {
        qCCritical(lcPipeline, "Failed to start recording: %s", qUtf8Printable(error.description()));
        return std::make_shared<PipelineError>(PipelineError::recordingFailed(error));
    }
    return nullptr;
}

} // namespace

void TranscriptionPipeline::Private::startRecorder(std::uint64_t attempt, const QString& audioPath) {
    if (!startRecorderOffThread) {
        finishStart(attempt, startRecording(*recorder, audioPath));
        return;
    }
    recorderStarting = true;
    // The task keeps the recorder alive: if the pipeline goes away meanwhile, the recorder stops
    // and finishes its file when the task lets go of it.
    waitingPool().start([anchor = anchor, recorder = recorder, audioPath, attempt] {
        std::shared_ptr<const PipelineError> error = startRecording(*recorder, audioPath);
        anchor->post([attempt, error](TranscriptionPipeline& p) { p.d->finishStart(attempt, error); });
    });
}

void TranscriptionPipeline::Private::finishStart(std::uint64_t attempt,
                                                 std::shared_ptr<const PipelineError> error) {
    recorderStarting = false;
    if (cancelRequested || attempt != startAttempt) {
        cancelRequested = false;
        setStarting(false);
        discardCancelledSession(!error);
        return;
    }
    setStarting(false);
    if (error) {
        setLastError(std::move(error));
        setRunning(false);
        return;
    }
    if (systemMonitor) {
        systemMonitor->start();
    }
    setRunning(true);
    setStatus(QStringLiteral("Listening..."));
    livePreview->startIfNeeded(*currentSession);
}

void TranscriptionPipeline::Private::discardCancelledSession(bool recorderStarted) {
    // Stopped before it ran: the session leaves neither audio nor a pending record behind.
    const QString audioPath = currentSession ? currentSession->audioPath : QString();
    currentSession.reset();
    SessionStore::clearPending();
    if (!recorderStarted) {
        QFile::remove(audioPath);
        return;
    }
    // The file is removed once the recorder has closed it.
    recorder->stop().then(&q, [audioPath] { QFile::remove(audioPath); });
}

void TranscriptionPipeline::stop() {
    if (d->isStarting) {
        if (d->recorderStarting) {
            d->cancelRequested = true; // carried out when the recorder's start returns
        } else {
            d->setStarting(false);
        }
        return;
    }
    if (!d->isRunning) {
        return;
    }
    // The sound server sends what it captures in fragments, so what was said just before Stop is
    // still on its way: the session goes on for stopDelay and stops after it.
    if (d->stopDelay.count() > 0) {
        if (!d->sourcesStop.isActive()) {
            d->sourcesStop.start(d->stopDelay);
        }
        return;
    }
    d->endSession();
}

void TranscriptionPipeline::Private::endSession() {
    sourcesStop.stop();
    livePreview->stop();
    // The source first: stopping it hands the recorder what the sound server had already captured,
    // which the recorder takes only while it is still running.
    if (systemMonitor) {
        systemMonitor->stop();
    }
    recorder->stop();
    setRunning(false);
    setSilent(false);
    setVadScore(std::nullopt);
    vadSilentHint = false;
    vadSilentSince.reset();

    if (currentSession) {
        setStatus(QStringLiteral("Transcribing..."));
        transcribe(*currentSession);
    }
}

void TranscriptionPipeline::cancelTranscription() {
    if (d->transcriptionTask) {
        d->transcriptionTask->token.cancel();
        d->transcriptionTask.reset();
    }
    d->setTranscribing(false);
    d->setStatus(std::nullopt);
    d->resetSilence();
}

void TranscriptionPipeline::Private::resetSilence() {
    setSilent(false);
    setVadScore(std::nullopt);
    vadSilentHint = false;
    vadSilentSince.reset();
}

void TranscriptionPipeline::Private::recomputeSilenceStatus() {
    // The meter tick and the system-audio level (each ten times a second while recording) drive
    // this check.
    if (isRunning && !isTranscribing && vadSilentHint) {
        const auto now = clock();
        if (!vadSilentSince) {
            vadSilentSince = now;
            setSilent(false);
        } else if (now - *vadSilentSince >= std::chrono::milliseconds(2000)) {
            setSilent(true);
        } else {
            setSilent(false);
        }
        return;
    }
    setSilent(false);
    vadSilentSince.reset();
}

} // namespace murmurly
