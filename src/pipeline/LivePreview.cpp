#include "pipeline/LivePreview.h"

#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "audio/WavHeaderRepair.h"
#include "pipeline/TranscriptionPipelinePrivate.h"
#include "storage/PlainTextStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <QCoro/QCoroTimer>

namespace murmurly {

namespace {

const QString kPreviewHeader = QStringLiteral("[Live preview - Mistral]\n");

// Waits `delay`, or less if the token is cancelled meanwhile; the caller checks the token.
QCoro::Task<> sleepUnlessCancelled(std::chrono::milliseconds delay, CancellationToken token) {
    if (token.isCancelled()) {
        co_return;
    }
    QTimer timer;
    timer.setSingleShot(true);
    QPointer<QTimer> guard(&timer);
    // cancel() comes from the main thread too (stopLivePreview), so the timer is still alive when
    // this runs; the registration ends with this scope.
    CancellationToken::Registration wake(token, [guard] {
        if (guard) {
            QMetaObject::invokeMethod(
                guard.data(),
                [guard] {
                    if (guard) {
                        guard->start(0);
                    }
                },
                Qt::QueuedConnection);
        }
    });
    timer.start(delay);
    co_await timer;
}

} // namespace

LivePreview::LivePreview(TranscriptionPipeline& pipeline, std::shared_ptr<MistralTranscriber> mistral)
    : m_pipeline(pipeline)
    , m_mistral(std::move(mistral)) {}

LivePreview::~LivePreview() {
    stop();
}

LivePreview* LivePreview::of(TranscriptionPipeline& pipeline) {
    return pipeline.d->livePreview.get();
}

void LivePreview::startIfNeeded(const PendingSession& session) {
    if (PlainTextStore::readProvider() != TranscriptionProvider::mistral) {
        return;
    }
    const auto language = PlainTextStore::readLanguage();
    // At most one loop: a leftover one is cancelled before its handle is replaced.
    if (m_task) {
        m_task->cancel();
    }
    CancellationToken token;
    m_task = token;
    loop(QPointer<TranscriptionPipeline>(&m_pipeline), token, session.audioPath, language);
}

void LivePreview::stop() {
    if (m_task) {
        m_task->cancel();
        m_task.reset();
    }
    m_buffer.clear();
}

void LivePreview::appendDelta(const QString& fragment, const QUuid& passID) {
    if (!m_pipeline.isRunning() || passID != m_passID) {
        return;
    }
    m_buffer += fragment;
    const QString text = m_buffer.trimmed();
    if (!text.isEmpty()) {
        m_pipeline.d->setTranscriptText(kPreviewHeader + text);
    }
}

QCoro::Task<> LivePreview::loop(QPointer<TranscriptionPipeline> self, CancellationToken token,
                                QString recording, std::optional<QString> language) {
    if (self.isNull() || token.isCancelled()) {
        co_return;
    }
    std::int64_t lastSize = 0;
    QString lastText;

    // Awaited objects are named, and no local lives inside a try block across a co_await: GCC 12
    // destroys such temporaries and locals twice when an exception passes.
    auto firstDelay = sleepUnlessCancelled(firstPassDelay, token);
    co_await firstDelay;

    for (;;) {
        TranscriptionPipeline* pipeline = self.data();
        if (pipeline == nullptr || token.isCancelled() || !pipeline->isRunning()) {
            co_return;
        }
        const auto snapshot = snapshotForLivePreview(recording);
        if (snapshot) {
            const std::int64_t size = fileSize(*snapshot);
            if (size <= lastSize) {
                QFile::remove(*snapshot);
            } else {
                const QUuid passID = QUuid::createUuid();
                LivePreview* preview = of(*pipeline);
                preview->m_passID = passID;
                preview->m_buffer.clear();
                // The client may call this on another thread; the fragment is applied on ours.
                auto onTextDelta = [anchor = pipeline->d->anchor, passID](const QString& fragment) {
                    if (fragment.isEmpty()) {
                        return;
                    }
                    anchor->post([fragment, passID](TranscriptionPipeline& target) {
                        LivePreview::of(target)->appendDelta(fragment, passID);
                    });
                };
                // Kept by the frame: the client outlives a pipeline destroyed during the pass.
                const std::shared_ptr<MistralTranscriber> client = preview->m_mistral;
                auto pass = client->transcribeStream(*snapshot, language, onTextDelta, token);
                std::optional<LemonfoxTranscriptionResponse> response;
                bool cancelled = false;
                try {
                    response = co_await pass;
                } catch (const OperationCancelled&) {
                    cancelled = true;
                } catch (const Error& error) {
                    qCDebug(lcPipeline, "Live preview stream failed: %s",
                            qUtf8Printable(error.description()));
                } catch (const std::exception& error) {
                    qCDebug(lcPipeline, "Live preview stream failed: %s", error.what());
                }
                pipeline = self.data();
                if (response && pipeline != nullptr && !token.isCancelled()) {
                    const QString text = response->text.value_or(QString()).trimmed();
                    // A shorter final text most likely comes from a window that has slid past
                    // earlier speech; the longer one stays on display.
                    if (!text.isEmpty() && text.size() >= lastText.size()) {
                        if (pipeline->isRunning()) {
                            pipeline->d->setTranscriptText(kPreviewHeader + text);
                        }
                        lastText = text;
                    }
                }
                if (!cancelled) {
                    // Sent, whether or not it went well: the next pass waits for the recording to grow.
                    lastSize = size;
                }
                QFile::remove(*snapshot);
                if (cancelled) {
                    co_return;
                }
            }
        }
        if (token.isCancelled()) {
            co_return;
        }
        auto interval = sleepUnlessCancelled(passInterval, token);
        co_await interval;
    }
}

std::optional<QString> LivePreview::snapshotForLivePreview(const QString& recording) {
    if (!QFileInfo::exists(recording)) {
        return std::nullopt;
    }
    // The recorder is still appending: its header may describe less than is in the file.
    WavHeaderRepair::repairIfNeeded(recording);

    const QString destination =
        QDir(QDir::tempPath())
            .filePath(QStringLiteral("mistral-live-") +
                      QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".wav"));
    try {
        auto reader = AudioFileReader::open(recording);
        const std::int64_t length = reader->length();
        if (length < 1) {
            return std::nullopt;
        }
        const AudioFormat format = reader->processingFormat();
        const auto window = static_cast<std::int64_t>(format.sampleRate * snapshotSeconds);
        reader->setFramePosition(std::max<std::int64_t>(0, length - window));

        auto writer = AudioFileWriter::create(destination, format);
        auto buffer = PcmBuffer::create(format, 4096);
        if (!buffer) {
            writer.reset();
            QFile::remove(destination);
            return std::nullopt;
        }
        try {
            for (;;) {
                buffer->setFrameLength(0);
                reader->read(*buffer);
                if (buffer->frameLength() == 0) {
                    break;
                }
                writer->write(*buffer);
            }
            writer->close();
        } catch (const Error& error) {
            qCDebug(lcPipeline, "Live preview snapshot failed: %s", qUtf8Printable(error.description()));
            writer.reset();
            QFile::remove(destination);
            return std::nullopt;
        }
    } catch (const Error&) {
        // Not readable yet (no header written so far) or the temporary file cannot be made.
        return std::nullopt;
    }

    if (fileSize(destination) > 4096) {
        WavHeaderRepair::repairIfNeeded(destination);
        return destination;
    }
    QFile::remove(destination);
    return std::nullopt;
}

std::int64_t LivePreview::fileSize(const QString& path) {
    const QFileInfo info(path);
    return info.exists() ? info.size() : 0;
}

} // namespace murmurly
