#pragma once

#include "transcription/LemonfoxTranscriptionResponse.h"
#include "transcription/MistralTypes.h"

#include <QByteArray>

#include <optional>

namespace murmurly {

// Pure JSON decoders for the services' answers, strict in the way the answers are relied upon:
// a missing required key, a value of the wrong type or text that is not JSON throws DecodingError;
// unknown keys are ignored and null counts as absent for optional keys.
namespace ResponseDecoding {

LemonfoxTranscriptionResponse decodeLemonfoxResponse(const QByteArray& json);
MistralTranscriptionResponse decodeMistralResponse(const QByteArray& json);
MistralStreamEnvelope decodeStreamEnvelope(const QByteArray& json);
MistralStreamPayload decodeStreamPayload(const QByteArray& json);

} // namespace ResponseDecoding

} // namespace murmurly
