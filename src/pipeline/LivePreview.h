#pragma once

#include "common/CancellationToken.h"

#include <QPointer>
#include <QString>
#include <QUuid>

#include <QCoro/QCoroTask>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace murmurly {

class MistralTranscriber;
class TranscriptionPipeline;
struct PendingSession;

// The provisional transcript shown while recording with Mistral: every few seconds the last
// 20 seconds of the recording are copied to a snapshot, streamed to the service, and the streamed
// text is shown in the pipeline's transcriptText under a fixed first line. Part of the pipeline;
// all calls on the pipeline's thread.
class LivePreview {
public:
    static constexpr std::chrono::milliseconds firstPassDelay{2000};
    static constexpr std::chrono::milliseconds passInterval{6000};
    static constexpr double snapshotSeconds = 20.0;

    LivePreview(TranscriptionPipeline& pipeline, std::shared_ptr<MistralTranscriber> mistral);
    ~LivePreview();
    LivePreview(const LivePreview&) = delete;
    LivePreview& operator=(const LivePreview&) = delete;

    // Starts the loop for the session's recording when Mistral is the chosen service.
    void startIfNeeded(const PendingSession& session);
    // Cancels the loop (a pass in flight is aborted) and empties the pass buffer.
    void stop();
    bool isActive() const { return m_task.has_value(); }

    // Applies one streamed fragment of pass `passID`; fragments of an older pass, or arriving
    // after the recording stopped, are dropped.
    void appendDelta(const QString& fragment, const QUuid& passID);

    // Copies at most the last 20 seconds of `recording` into a new temporary WAV file (the header
    // of the recording is repaired first: the recorder is still writing it). None when there is
    // nothing worth sending.
    static std::optional<QString> snapshotForLivePreview(const QString& recording);
    // 0 when the size cannot be read.
    static std::int64_t fileSize(const QString& path);

private:
    static QCoro::Task<> loop(QPointer<TranscriptionPipeline> self, CancellationToken token,
                              QString recording, std::optional<QString> language);
    static LivePreview* of(TranscriptionPipeline& pipeline);

    TranscriptionPipeline& m_pipeline;
    std::shared_ptr<MistralTranscriber> m_mistral;
    std::optional<CancellationToken> m_task;
    QString m_buffer;
    QUuid m_passID = QUuid::createUuid();
};

} // namespace murmurly
