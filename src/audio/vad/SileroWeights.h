#pragma once

#include <QString>

#include <array>
#include <string>
#include <vector>

namespace murmurly {

// The parameters of Silero VAD v6's 16 kHz network, taken from the official ONNX file. The file
// holds two networks (8 kHz and 16 kHz) behind a branch on the sample rate; only the 16 kHz one is
// read. Every tensor is checked against the shape the inference code assumes, so a foreign or
// damaged file is refused here rather than read out of bounds later.
struct SileroWeights {
    static constexpr int stftBins = 129; // real and imaginary rows: 2 × 129
    static constexpr int stftFilterLength = 256;
    static constexpr std::array<int, 4> encoderIn{129, 128, 64, 64};
    static constexpr std::array<int, 4> encoderOut{128, 64, 64, 128};
    static constexpr int kernelSize = 3;
    static constexpr int lstmSize = 128;

    std::vector<float> stftBasis;                    // [258][256]
    std::array<std::vector<float>, 4> encoderWeight; // [out][in][3]
    std::array<std::vector<float>, 4> encoderBias;   // [out]
    std::vector<float> lstmWeightIh;                 // [4 × 128][128], gates i, f, g, o
    std::vector<float> lstmWeightHh;                 // [4 × 128][128]
    std::vector<float> lstmBiasIh;                   // [4 × 128]
    std::vector<float> lstmBiasHh;                   // [4 × 128]
    std::vector<float> decoderWeight;                // [128] (1×1 convolution to one channel)
    float decoderBias = 0.0f;

    // Reads the file. Throws GateError(modelPackageMissing) when it does not exist and
    // SystemError naming the problem when it cannot be read, is not ONNX or lacks a tensor.
    static SileroWeights fromOnnxFile(const QString& path);
    // Same checks on the file's bytes; `origin` names the source in error messages.
    static SileroWeights fromOnnxBytes(const std::string& bytes, const QString& origin);
};

} // namespace murmurly
