#include "audio/vad/SileroVADGate.h"

#include "audio/vad/GateError.h"
#include "audio/vad/SileroVADModel.h"
#include "audio/vad/VADModelLocation.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cmath>

namespace murmurly {

Q_LOGGING_CATEGORY(lcSileroVADGate, "com.murmurly.app.SileroVADGate")

namespace {

std::unique_ptr<VADModel> loadSileroModel() {
    const QString path = VADModelLocation::resolve();
    if (path.isEmpty()) {
        qCDebug(lcSileroVADGate, "No VAD model at %s",
                qUtf8Printable(VADModelLocation::candidates().join(QStringLiteral(", "))));
        throw GateError(GateError::Code::modelPackageMissing);
    }
    qCDebug(lcSileroVADGate, "Loading VAD model %s", qUtf8Printable(path));
    return SileroVADModel::load(path);
}

// The first `count` elements of an output; fewer is a model that does not fit the gate.
const float* readMultiArray(const VADFeature& feature, std::size_t expectedCount) {
    if (feature.values.size() < expectedCount) {
        throw GateError(GateError::Code::modelOutputInvalid);
    }
    return feature.values.data();
}

const VADFeature& output(const VADFeatures& outputs, const char* name) {
    const auto found = outputs.find(name);
    if (found == outputs.end()) {
        throw GateError(GateError::Code::modelOutputInvalid);
    }
    return found->second;
}

QString describe(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Error*>(&error)) {
        return own->description();
    }
    return QString::fromLocal8Bit(error.what());
}

} // namespace

SileroVADGate::SileroVADGate()
    : SileroVADGate(&loadSileroModel) {}

SileroVADGate::SileroVADGate(ModelLoader loader)
    : m_loader(std::move(loader)) {}

void SileroVADGate::prepareIfNeeded() {
    if (m_model) {
        return;
    }
    try {
        m_model = m_loader();
        if (!m_model) {
            throw GateError(GateError::Code::modelPackageMissing);
        }
        qCInfo(lcSileroVADGate, "Silero VAD loaded");
    } catch (const std::exception& error) {
        m_model.reset();
        qCCritical(lcSileroVADGate, "Silero VAD failed to load: %s", qUtf8Printable(describe(error)));
    }
}

void SileroVADGate::reset() {
    m_hiddenState.fill(0.0f);
    m_cellState.fill(0.0f);
    m_context.fill(0.0f);
    m_pendingSamples16k.clear();
    m_hasVadDecision = false;
    m_lastProbability.reset();
    m_isSpeech = true;
}

VADAnalysisResult SileroVADGate::analyze(const float* samples, std::size_t count) {
    if (!m_model) {
        // Nothing is kept: without a model there is no decision, and the recorder writes nothing.
        return {true, std::nullopt, false};
    }
    if (count > 0) {
        m_pendingSamples16k.insert(m_pendingSamples16k.end(), samples, samples + count);
    }
    std::size_t consumed = 0;
    while (m_pendingSamples16k.size() - consumed >= windowSamples) {
        const float* window = m_pendingSamples16k.data() + consumed;
        consumed += windowSamples;
        float p = 0.0f;
        try {
            p = predictProbability(*m_model, window, windowSamples);
        } catch (const std::exception& error) {
            qCCritical(lcSileroVADGate, "VAD processing failed: %s", qUtf8Printable(describe(error)));
            break;
        }
        if (!(p > 0.0f)) { // NaN included
            p = 0.0f;
        } else if (p > 1.0f) {
            p = 1.0f;
        }
        m_hasVadDecision = true;
        m_lastProbability = p;
        if (p >= speechOnThreshold) {
            m_isSpeech = true;
        } else if (p < speechOffThreshold) {
            m_isSpeech = false;
        }
    }
    m_pendingSamples16k.erase(m_pendingSamples16k.begin(),
                              m_pendingSamples16k.begin() + static_cast<std::ptrdiff_t>(consumed));
    return {m_isSpeech, m_lastProbability, m_hasVadDecision};
}

float SileroVADGate::predictProbability(VADModel& model, const float* chunk, std::size_t count) {
    using namespace vadfeature;
    // A short window is padded with its last sample (silence if empty); a long one is cut.
    // A NaN or infinity in the mix becomes silence before it reaches the network or the context
    // carried into the next window: either would poison every later probability of the session.
    std::vector<float> window(chunk, chunk + std::min(count, windowSamples));
    for (float& x : window)
        x = std::isfinite(x) ? x : 0.0f;
    window.resize(windowSamples, window.empty() ? 0.0f : window.back());

    VADFeatures inputs;
    VADFeature& audio = inputs[audioInput];
    audio.shape = {1, audioInputSamples};
    audio.values.reserve(audioInputSamples);
    audio.values.insert(audio.values.end(), m_context.begin(), m_context.end());
    audio.values.insert(audio.values.end(), window.begin(), window.end());
    inputs[hiddenState] = {{1, stateSize}, {m_hiddenState.begin(), m_hiddenState.end()}};
    inputs[cellState] = {{1, stateSize}, {m_cellState.begin(), m_cellState.end()}};

    const VADFeatures outputs = model.predict(inputs);
    const VADFeature& probability = output(outputs, vadOutput);
    const VADFeature& hidden = output(outputs, newHiddenState);
    const VADFeature& cell = output(outputs, newCellState);

    const float p = *readMultiArray(probability, 1);
    const float* newHidden = readMultiArray(hidden, stateSize);
    std::copy_n(newHidden, stateSize, m_hiddenState.begin());
    const float* newCell = readMultiArray(cell, stateSize);
    std::copy_n(newCell, stateSize, m_cellState.begin());

    std::copy(window.end() - contextSamples, window.end(), m_context.begin());
    return p;
}

} // namespace murmurly
