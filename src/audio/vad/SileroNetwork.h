#pragma once

#include "audio/vad/SileroWeights.h"

#include <vector>

namespace murmurly {

// Silero VAD v6 (16 kHz) in plain C++, for one 256 ms window at a time.
//
// The network sees 512 new samples per step, preceded by the 64 samples before them: it pads
// those 576 samples by reflection to 640, takes a 4-frame STFT magnitude (a fixed 258×256 basis,
// hop 128), runs four conv+ReLU layers (strides 1, 2, 2, 1) down to one 128-wide frame, one LSTM
// cell step, ReLU, a 1×1 convolution and a sigmoid. A window is 8 such steps with the LSTM state
// carried through them; its probability is the chance that any step holds speech, 1 − Π(1 − pᵢ).
//
// Only the LSTM is recurrent, so the STFT and the encoder run for all 8 steps at once as small
// matrix products (which keeps the weights in cache and the inner loops long and contiguous);
// the LSTM's input projection is batched too, and only its recurrent half runs step by step.
// The STFT basis of the official model is a Hann-windowed DFT; when the loaded basis is one (checked
// element by element), the STFT runs as an FFT, otherwise as the product with the basis.
class SileroNetwork {
public:
    enum class Stft {
        automatic, // FFT if the basis is a windowed DFT, else the matrix product
        matrix,    // always the matrix product with the basis as stored
    };

    static constexpr int steps = 8;
    static constexpr int stepSamples = 512;
    static constexpr int contextSamples = 64;
    static constexpr int inputSamples = contextSamples + steps * stepSamples; // 4160

    explicit SileroNetwork(const SileroWeights& weights, Stft stft = Stft::automatic);

    bool usesFft() const { return m_useFft; }

    // `audio`: 4160 samples (64 of context, then the window). `hidden` and `cell`: 128 floats
    // each, read as the state before the window and overwritten with the state after it.
    // Returns the window's speech probability.
    float predictWindow(const float* audio, float* hidden, float* cell);

private:
    static constexpr int frames = 4; // STFT frames per step
    static constexpr int hop = 128;
    static constexpr int paddedLength = 640; // 576 + 64 reflected
    static constexpr int bins = SileroWeights::stftBins;
    static constexpr int filterLength = SileroWeights::stftFilterLength;
    static constexpr int lstm = SileroWeights::lstmSize;

    std::vector<float> m_basis; // [258][256]
    bool m_useFft = false;
    std::vector<float> m_window; // the basis' window, for the FFT
    std::vector<float> m_cos;    // cos(2π·j/256), j < 128
    std::vector<float> m_sin;
    std::vector<int> m_bitReverse;
    std::array<std::vector<float>, 4> m_convWeight; // [out][in × 3], as stored
    std::array<std::vector<float>, 4> m_convBias;
    std::vector<float> m_weightIh;  // [512][128]
    std::vector<float> m_weightHhT; // [128][512]: transposed for the step loop
    std::vector<float> m_biasSum;   // bias_ih + bias_hh
    std::vector<float> m_decoderWeight;
    float m_decoderBias;

    // Scratch, sized once.
    std::vector<float> m_columns;  // im2col matrices, [K][N]
    std::vector<float> m_spectrum; // [2][256][32]
    std::vector<float> m_activations[2];
    std::vector<float> m_gatesIh; // [512][8]
};

} // namespace murmurly
