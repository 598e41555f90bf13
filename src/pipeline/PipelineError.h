#pragma once

#include "common/Error.h"

#include <memory>

namespace murmurly {

// The pipeline's failure: what it keeps as its last error and what the error banners show.
// Three cases wrap the error that caused them; their description is a fixed prefix followed by
// that error's own description (for a failed write, the recorder's text alone).
class PipelineError : public ErrorBase<PipelineError> {
public:
    enum class Kind {
        recordingFailed,
        recordingWriteFailed,
        transcriptionFailed,
        microphonePermissionDenied,
        pendingAudioEmpty,
        pendingAudioUnreadable,
        noAudioData,
    };

    static PipelineError recordingFailed(const Error& recorderError);
    static PipelineError recordingFailed(std::shared_ptr<const Error> recorderError);
    // The recording goes on, but what it hears is not being saved (a full disk, say).
    static PipelineError recordingWriteFailed(std::shared_ptr<const Error> recorderError);
    static PipelineError transcriptionFailed(const Error& runError);
    static PipelineError transcriptionFailed(std::shared_ptr<const Error> runError);
    static PipelineError microphonePermissionDenied() {
        return PipelineError(Kind::microphonePermissionDenied);
    }
    static PipelineError pendingAudioEmpty() { return PipelineError(Kind::pendingAudioEmpty); }
    static PipelineError pendingAudioUnreadable() { return PipelineError(Kind::pendingAudioUnreadable); }
    static PipelineError noAudioData() { return PipelineError(Kind::noAudioData); }

    Kind kind() const { return m_kind; }
    // The wrapped error of the three wrapping cases; null for the other cases.
    const std::shared_ptr<const Error>& underlying() const { return m_underlying; }

    QString description() const override;

private:
    explicit PipelineError(Kind kind, std::shared_ptr<const Error> underlying = nullptr)
        : m_kind(kind)
        , m_underlying(std::move(underlying)) {}

    Kind m_kind;
    std::shared_ptr<const Error> m_underlying;
};

} // namespace murmurly
