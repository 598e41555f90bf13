// Feeds arbitrary bytes to the event-stream accumulator as the lines of one answer: it must not
// crash, the text it keeps must be exactly the pieces it told the callback (until a final event
// replaces it), and the result must be a transcript or the one invalid-answer error.
#include "transcription/StreamAccumulator.h"
#include "transcription/TranscriptionErrors.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace murmurly;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QString told;
    StreamAccumulator accumulator([&told](const QString& piece) {
        if (piece.isEmpty())
            std::abort();
        told += piece;
    });
    for (const QByteArray& line : bytes.split('\n'))
        accumulator.consume(QString::fromUtf8(line));
    accumulator.processCurrentEvent();
    if (!accumulator.done() && accumulator.text() != told)
        std::abort();
    try {
        const LemonfoxTranscriptionResponse result = accumulator.result();
        if (accumulator.done() == std::nullopt && result.text != accumulator.text())
            std::abort();
    } catch (const TranscriptionError& error) {
        if (error.kind() != TranscriptionError::Kind::invalidResponse || accumulator.done() ||
            !accumulator.text().isEmpty() || !accumulator.segments().isEmpty())
            std::abort();
    }
    return 0;
}
