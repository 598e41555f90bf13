// Feeds arbitrary bytes to one service's answer decoder (Lemonfox, or Mistral with FUZZ_MISTRAL):
// it either gives its value or throws DecodingError, and never crashes.
#include "transcription/ResponseDecoding.h"
#include "transcription/TranscriptionErrors.h"

#include <cstddef>
#include <cstdint>

using namespace murmurly;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray json(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
#ifdef FUZZ_MISTRAL
        ResponseDecoding::decodeMistralResponse(json).asLemonfoxShape();
#else
        ResponseDecoding::decodeLemonfoxResponse(json);
#endif
    } catch (const DecodingError&) {
    }
    return 0;
}
