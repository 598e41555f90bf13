#pragma once

#include "audio/vad/SileroNetwork.h"
#include "audio/vad/VADModel.h"

#include <QString>

#include <memory>

namespace murmurly {

// The Silero VAD network behind the named-feature interface: "audio_input" [1, 4160],
// "hidden_state" and "cell_state" [1, 128] in; "vad_output" [1, 1], "new_hidden_state" and
// "new_cell_state" [1, 128] out.
class SileroVADModel : public VADModel {
public:
    explicit SileroVADModel(const SileroWeights& weights,
                            SileroNetwork::Stft stft = SileroNetwork::Stft::automatic);

    // Loads the weights from an ONNX file; throws what SileroWeights::fromOnnxFile throws.
    static std::unique_ptr<SileroVADModel> load(const QString& path,
                                                SileroNetwork::Stft stft = SileroNetwork::Stft::automatic);

    const SileroNetwork& network() const { return m_network; }

    // Throws SystemError when an input is missing or has the wrong size.
    VADFeatures predict(const VADFeatures& inputs) override;

    // The same without the feature maps, for callers that already hold the arrays.
    float predict(const float* audioInput, float* hiddenState, float* cellState) {
        return m_network.predictWindow(audioInput, hiddenState, cellState);
    }

private:
    SileroNetwork m_network;
};

} // namespace murmurly
