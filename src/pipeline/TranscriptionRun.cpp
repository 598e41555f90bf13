// The transcription run of a recording, its retry and the resume at launch.

#include "audio/AudioFileReader.h"
#include "audio/OpusCopy.h"
#include "pipeline/LivePreview.h"
#include "pipeline/TranscriptFormatter.h"
#include "pipeline/TranscriptSegmentsFile.h"
#include "pipeline/TranscriptionPipelinePrivate.h"
#include "storage/PlainTextStore.h"
#include "storage/SessionStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

#include <QCoro/QCoroTask>

#include <coroutine>

namespace murmurly {

namespace {

// Suspends until the recorder has finished the stop work of its last session (closing the WAV file
// and completing its header). The wait blocks, so it runs on a pool thread; the coroutine resumes
// on the main thread. Resuming through the application object rather than the pipeline means the
// coroutine is always resumed and can find out for itself that the pipeline is gone.
struct RecorderStopWorkAwaiter {
    std::weak_ptr<SessionRecorder> recorder;

    bool await_ready() const noexcept { return recorder.expired(); }
    void await_suspend(std::coroutine_handle<> handle) const {
        QThreadPool::globalInstance()->start([recorder = recorder, handle] {
            if (auto strong = recorder.lock()) {
                strong->waitForStopWork();
            }
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [handle] { handle.resume(); }, Qt::QueuedConnection);
        });
    }
    void await_resume() const noexcept {}
};

bool hasExtension(const QString& path, std::initializer_list<QLatin1StringView> extensions) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    for (auto extension : extensions) {
        if (suffix == extension) {
            return true;
        }
    }
    return false;
}

} // namespace

bool TranscriptionPipeline::fileHasAudio(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile()) {
        return false;
    }
    const qint64 size = info.size();
    // A compressed copy has no fixed header to discount; a WAV of 512 bytes or less is header only.
    if (hasExtension(path, {QLatin1StringView("opus"), QLatin1StringView("ogg")})) {
        return size > 0;
    }
    return size > 512;
}

void TranscriptionPipeline::cleanupWAVIfOpusExists(const QString& path) {
    if (!hasExtension(path, {QLatin1StringView("wav")})) {
        return;
    }
    // Only a copy as long as the recording stands in for it: a failed compression falls back to
    // uploading the WAV, and a short copy left by an earlier version must not cost the recording.
    const auto opus = SessionStore::opusURL(path);
    if (opus && QFileInfo::exists(*opus) && OpusCopy::isComplete(*opus, path)) {
        QFile::remove(path);
    }
}

void TranscriptionPipeline::transcribeFiles(std::optional<QString> audioPath,
                                            std::optional<QString> sessionID, std::optional<QString> language,
                                            bool force, TranscriptionCompletion completion) {
    if (d->isTranscribing) {
        if (!force) {
            return;
        }
        cancelTranscription();
    }
    d->setTranscribing(true);
    d->setLastError(nullptr);
    d->setStatus(QStringLiteral("Transcribing..."));

    if (!language) {
        language = PlainTextStore::readLanguage();
    }
    const TranscriptionProvider provider = PlainTextStore::readProvider();

    RunHandle handle{++d->lastRunID, CancellationToken()};
    d->transcriptionTask = handle;
    Private::run(QPointer<TranscriptionPipeline>(this), handle, std::move(audioPath), std::move(sessionID),
                 std::move(language), provider, std::move(completion));
}

QCoro::Task<> TranscriptionPipeline::Private::run(QPointer<TranscriptionPipeline> self, RunHandle handle,
                                                  std::optional<QString> audioPath,
                                                  std::optional<QString> sessionID,
                                                  std::optional<QString> language,
                                                  TranscriptionProvider provider,
                                                  TranscriptionCompletion completion) {
    // No local lives inside a try block across a co_await, and awaited objects are named: GCC 12
    // destroys such locals and temporaries twice when an exception leaves the block.
    std::optional<LemonfoxTranscriptionResponse> response;
    std::shared_ptr<const Error> failure;
    bool cancelled = false;

    // A recording that has just been stopped is still being finished on the recorder's queue;
    // reading it before then would upload a file whose last windows and header are missing.
    std::weak_ptr<SessionRecorder> recorder;
    if (TranscriptionPipeline* pipeline = self.data()) {
        recorder = pipeline->d->recorder;
    }
    RecorderStopWorkAwaiter stopWork{recorder};
    co_await stopWork;

    std::shared_ptr<MistralTranscriber> mistral;
    std::shared_ptr<LemonfoxTranscriber> lemonfox;
    if (TranscriptionPipeline* pipeline = self.data()) {
        // Kept by the frame: a client outlives a pipeline destroyed while its call winds down.
        mistral = pipeline->d->mistralTranscriber;
        lemonfox = pipeline->d->lemonfoxTranscriber;
    } else {
        co_return;
    }
    if (handle.token.isCancelled()) {
        cancelled = true;
    } else if (!audioPath || !fileHasAudio(*audioPath)) {
        failure = std::make_shared<PipelineError>(PipelineError::noAudioData());
    } else {
        auto call = provider == TranscriptionProvider::mistral
                        ? mistral->transcribe(*audioPath, language, handle.token)
                        : lemonfox->transcribe(*audioPath, language, handle.token);
        try {
            response = co_await call;
        } catch (const OperationCancelled&) {
            cancelled = true;
        } catch (const Error& error) {
            failure = error.clone();
        } catch (const std::exception& error) {
            failure = std::make_shared<SystemError>(QString::fromUtf8(error.what()));
        }
    }

    TranscriptionPipeline* pipeline = self.data();
    if (pipeline == nullptr) {
        co_return;
    }
    Private& d = *pipeline->d;
    const bool isCurrent = d.transcriptionTask && d.transcriptionTask->id == handle.id;

    // A run that was cancelled (or replaced, which cancels it) ends without a word: whoever
    // cancelled it has reset the state already and may have started another run, whose state a
    // late result of this one must not touch.
    if (cancelled || handle.token.isCancelled() || !isCurrent || (!response && !failure)) {
        if (isCurrent) {
            d.setStatus(std::nullopt);
            d.setTranscribing(false);
            d.transcriptionTask.reset();
        }
        co_return;
    }

    TranscriptionResult result = TranscriptionResult::success(QString());
    if (response) {
        const QString text = TranscriptFormatter::format(*response);
        d.setTranscriptText(text);
        if (sessionID) {
            SessionStore::saveTranscript(text, *sessionID);
            TranscriptSegmentsFile::save(response->segments.value_or(QList<LemonfoxSegment>()), *sessionID);
        }
        if (audioPath) {
            cleanupWAVIfOpusExists(*audioPath);
        }
        result = TranscriptionResult::success(text);
    } else {
        qCCritical(lcPipeline, "Transcription failed: %s", qUtf8Printable(failure->description()));
        d.setLastError(std::make_shared<PipelineError>(PipelineError::transcriptionFailed(failure)));
        result = TranscriptionResult{std::nullopt, failure};
    }
    d.setStatus(std::nullopt);
    d.setTranscribing(false);
    // Released before the completion runs: a completion that starts another run (the history may)
    // must find this one gone, not have its new handle dropped afterwards.
    d.transcriptionTask.reset();
    if (completion) {
        completion(result);
    }
}

void TranscriptionPipeline::Private::transcribe(const PendingSession& session) {
    const QString location = session.audioPath;
    std::optional<QString> id = SessionStore::sessionID(location, QStringLiteral("mixed-"));
    if (!id) {
        id = SessionStore::sessionID(location, QStringLiteral("mic-"));
    }
    TranscriptionCompletion completion =
        [self = QPointer<TranscriptionPipeline>(&q)](const TranscriptionResult&) {
            TranscriptionPipeline* pipeline = self.data();
            if (pipeline == nullptr) {
                return;
            }
            // Success or failure alike: the session has had its run and is not kept for a retry.
            pipeline->d->livePreview->stop();
            SessionStore::clearPending();
            pipeline->d->currentSession.reset();
        };
    q.transcribeFiles(location, id, std::nullopt, false, std::move(completion));
}

void TranscriptionPipeline::Private::loadPendingIfNeeded() {
    // A record that is missing, unreadable or undecodable changes nothing (and stays on disk).
    const auto session = SessionStore::readPending();
    if (!session) {
        return;
    }
    if (AudioFileReader::hasAudioFrames(session->audioPath)) {
        currentSession = *session;
        setStatus(QStringLiteral("Resuming pending transcription..."));
        qCInfo(lcPipeline, "Resuming pending transcription of %s", qUtf8Printable(session->audioPath));
        transcribe(*session);
        return;
    }
    SessionStore::clearPending();
    currentSession.reset();
    setLastError(std::make_shared<PipelineError>(PipelineError::pendingAudioUnreadable()));
}

} // namespace murmurly
