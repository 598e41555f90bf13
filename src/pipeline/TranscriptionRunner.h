#pragma once

#include "common/Error.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace murmurly {

// How a transcription run ends: the transcript text, or the error that stopped it.
struct TranscriptionResult {
    std::optional<QString> text;        // set on success
    std::shared_ptr<const Error> error; // set on failure

    bool succeeded() const { return text.has_value(); }
    static TranscriptionResult success(QString transcript) { return {std::move(transcript), nullptr}; }
    static TranscriptionResult failure(const Error& e) { return {std::nullopt, e.clone()}; }
};

// Called once when a run ends, on the main thread; not called after a cancellation.
using TranscriptionCompletion = std::function<void(const TranscriptionResult&)>;

// The entry point for starting a transcription run, implemented by the pipeline and used by the
// session history to transcribe a past session again (with `force`, which cancels a run in progress).
class TranscriptionRunner {
public:
    virtual ~TranscriptionRunner() = default;
    virtual void transcribeFiles(std::optional<QString> audioPath, std::optional<QString> sessionID,
                                 std::optional<QString> language, bool force,
                                 TranscriptionCompletion completion) = 0;
};

} // namespace murmurly
