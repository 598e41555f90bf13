#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace murmurly {

// One named model input or output: a dense 32-bit float array and its shape.
struct VADFeature {
    std::vector<std::int64_t> shape;
    std::vector<float> values;
};

// Named features in, named features out, as a neural-model runtime exchanges them. The gate
// talks to the model only through these names, so a test can stand in a model whose outputs
// are missing or short.
using VADFeatures = std::map<std::string, VADFeature, std::less<>>;

// Feature names and sizes of the Silero VAD window model.
namespace vadfeature {
inline constexpr const char* audioInput = "audio_input";          // [1, 4160]
inline constexpr const char* hiddenState = "hidden_state";        // [1, 128]
inline constexpr const char* cellState = "cell_state";            // [1, 128]
inline constexpr const char* vadOutput = "vad_output";            // [1, 1]
inline constexpr const char* newHiddenState = "new_hidden_state"; // [1, 128]
inline constexpr const char* newCellState = "new_cell_state";     // [1, 128]

inline constexpr int windowSamples = 4096;
inline constexpr int contextSamples = 64;
inline constexpr int audioInputSamples = contextSamples + windowSamples;
inline constexpr int stateSize = 128;
} // namespace vadfeature

// A loaded voice-activity model. predict() may throw (an Error subclass) for inputs it cannot
// take; it is called from one thread at a time.
class VADModel {
public:
    virtual ~VADModel() = default;
    virtual VADFeatures predict(const VADFeatures& inputs) = 0;
};

} // namespace murmurly
