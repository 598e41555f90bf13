#pragma once

#include "audio/AudioFormat.h"
#include "audio/PcmBuffer.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace murmurly {

// Converts PCM between formats: sample rate (libsoxr, high quality, no priming: output starts with
// the first input sample), sample type, layout and channel count. Channel reduction to mono
// averages the channels; other channel changes take the first channels (or repeat a mono one).
//
// Contract (as the recorder and the Opus encoder use it):
//  - convert() fills `output` (up to its capacity, in the output format) and pulls input through
//    `input`, which answers HaveData with a buffer in the input format, NoDataNow, or EndOfStream.
//  - It returns HaveData when the output filled up (call again for more), InputRanDry when the
//    callback answered NoDataNow, EndOfStream once the end of input was reached and everything
//    buffered inside the resampler was drained into `output`, or Error (with `error` set).
//  - After EndOfStream, reset() before converting another stream; reset() drops all internal state.
class AudioConverter {
public:
    enum class InputStatus { HaveData, NoDataNow, EndOfStream };
    enum class OutputStatus { HaveData, InputRanDry, EndOfStream, Error };
    using InputBlock = std::function<const PcmBuffer*(InputStatus& status)>;

    // Null when the formats are invalid or the resampler cannot be created.
    static std::unique_ptr<AudioConverter> create(const AudioFormat& input, const AudioFormat& output);
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    const AudioFormat& inputFormat() const { return m_input; }
    const AudioFormat& outputFormat() const { return m_output; }

    void reset();
    OutputStatus convert(PcmBuffer& output, const InputBlock& input, QString* error = nullptr);

private:
    AudioConverter(const AudioFormat& input, const AudioFormat& output);

    AudioFormat m_input;
    AudioFormat m_output;
    // Implementation state (resampler handle, pending input, drain flags) lives in the .cpp.
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace murmurly
