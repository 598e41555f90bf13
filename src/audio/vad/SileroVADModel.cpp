#include "audio/vad/SileroVADModel.h"

#include "common/Error.h"

#include <algorithm>

namespace murmurly {

namespace {

const std::vector<float>& input(const VADFeatures& inputs, const char* name, std::size_t count) {
    const auto found = inputs.find(name);
    if (found == inputs.end()) {
        throw SystemError(QStringLiteral("VAD model input %1 is missing").arg(QLatin1String(name)));
    }
    if (found->second.values.size() != count) {
        throw SystemError(QStringLiteral("VAD model input %1 has %2 values, expected %3")
                              .arg(QLatin1String(name))
                              .arg(found->second.values.size())
                              .arg(count));
    }
    return found->second.values;
}

} // namespace

SileroVADModel::SileroVADModel(const SileroWeights& weights, SileroNetwork::Stft stft)
    : m_network(weights, stft) {}

std::unique_ptr<SileroVADModel> SileroVADModel::load(const QString& path, SileroNetwork::Stft stft) {
    return std::make_unique<SileroVADModel>(SileroWeights::fromOnnxFile(path), stft);
}

VADFeatures SileroVADModel::predict(const VADFeatures& inputs) {
    using namespace vadfeature;
    const auto& audio = input(inputs, audioInput, audioInputSamples);
    VADFeature hidden{{1, stateSize}, input(inputs, hiddenState, stateSize)};
    VADFeature cell{{1, stateSize}, input(inputs, cellState, stateSize)};
    const float probability = m_network.predictWindow(audio.data(), hidden.values.data(), cell.values.data());

    VADFeatures outputs;
    outputs.emplace(vadOutput, VADFeature{{1, 1}, {probability}});
    outputs.emplace(newHiddenState, std::move(hidden));
    outputs.emplace(newCellState, std::move(cell));
    return outputs;
}

} // namespace murmurly
