#pragma once

#include "common/CancellationToken.h"
#include "common/Error.h"

#include <QString>

#include <optional>

namespace murmurly {

// The encoder's failure. Each case carries its full user-visible message.
class OpusError : public ErrorBase<OpusError> {
public:
    enum class Kind { failedToCreateEncoder, conversionFailed, encodingFailed };

    OpusError(Kind kind, QString message)
        : m_kind(kind)
        , m_message(std::move(message)) {}

    static OpusError failedToCreateEncoder(int code);
    static OpusError conversionFailed(QString message) {
        return {Kind::conversionFailed, std::move(message)};
    }
    static OpusError encodingFailed(int code);

    Kind kind() const { return m_kind; }
    QString description() const override { return m_message; }

private:
    Kind m_kind;
    QString m_message;
};

// Turns a recording into an Ogg/Opus file with libopusenc (default bitrate, complexity and frame
// size; no tags). Stateless: several encodings may run at once on different threads.
namespace OpusEncoder {

// Encodes `input` (any file AudioFileReader opens) to 48 kHz Ogg/Opus with one channel for a mono
// input and two otherwise. Without `output` the file goes to the temporary folder under a fresh
// UUID name ending in ".opus". Returns the path written. Streams in blocks of 4096 frames, so memory
// stays flat for any length. Throws SystemError when the input cannot be opened, OpusError
// otherwise; a partly written output is left where it is. A cancelled `token` ends the encoding
// at the next block (a few milliseconds) with OperationCancelled.
QString encodeToOpus(const QString& input, std::optional<QString> output = {},
                     const CancellationToken& token = CancellationToken());

} // namespace OpusEncoder

} // namespace murmurly
