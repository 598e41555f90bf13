#include "pipeline/PipelineError.h"

namespace murmurly {

PipelineError PipelineError::recordingFailed(const Error& recorderError) {
    return PipelineError(Kind::recordingFailed, recorderError.clone());
}

PipelineError PipelineError::recordingFailed(std::shared_ptr<const Error> recorderError) {
    return PipelineError(Kind::recordingFailed, std::move(recorderError));
}

PipelineError PipelineError::recordingWriteFailed(std::shared_ptr<const Error> recorderError) {
    return PipelineError(Kind::recordingWriteFailed, std::move(recorderError));
}

PipelineError PipelineError::transcriptionFailed(const Error& runError) {
    return PipelineError(Kind::transcriptionFailed, runError.clone());
}

PipelineError PipelineError::transcriptionFailed(std::shared_ptr<const Error> runError) {
    return PipelineError(Kind::transcriptionFailed, std::move(runError));
}

QString PipelineError::description() const {
    const QString inner = m_underlying ? m_underlying->description() : QString();
    switch (m_kind) {
    case Kind::recordingFailed:
        return QStringLiteral("Failed to start microphone input: ") + inner;
    case Kind::recordingWriteFailed:
        return inner; // "Failed to write to mixed-<id>.wav: ..." says it all
    case Kind::transcriptionFailed:
        return QStringLiteral("Transcription failed: ") + inner;
    case Kind::microphonePermissionDenied:
        return QStringLiteral("Microphone permission is not granted.");
    case Kind::pendingAudioEmpty:
        return QStringLiteral("Pending audio was empty. Please record again.");
    case Kind::pendingAudioUnreadable:
        return QStringLiteral("Pending audio was unreadable. Please record again.");
    case Kind::noAudioData:
        return QStringLiteral("No audio data to transcribe.");
    }
    return QString();
}

} // namespace murmurly
