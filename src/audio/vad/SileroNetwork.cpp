#include "audio/vad/SileroNetwork.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

// The kernels are built twice, for AVX2+FMA and for the baseline x86-64, and the loader picks one
// for the CPU at hand: distributions build for the baseline, and the network is compute-bound.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MURMURLY_VAD_KERNEL __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define MURMURLY_VAD_KERNEL
#endif

namespace murmurly {

namespace {

// Eight floats; GCC and Clang lower it to one AVX register or two SSE ones.
using Vec8 = float __attribute__((vector_size(32)));

inline Vec8 load8(const float* p) {
    Vec8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store8(float* p, Vec8 v) {
    std::memcpy(p, &v, sizeof v);
}

// C[M][N] = bias[m] + Σₖ A[M][K] · B[K][N]. A row-major (the weights as stored), B the im2col
// matrix with N (time columns) contiguous. 64 / N rows are computed together so that eight
// vector accumulators stay in registers while B's row is loaded once for all of them.
template <int N>
inline __attribute__((always_inline)) void gemmBody(const float* a, const float* bias, const float* b,
                                                    float* c, int m, int k) {
    constexpr int vectors = N / 8;
    constexpr int rows = 64 / N;
    assert(m % rows == 0);
    for (int row = 0; row < m; row += rows) {
        Vec8 acc[rows][vectors];
#pragma GCC unroll 8
        for (int r = 0; r < rows; ++r) {
            const float start = bias ? bias[row + r] : 0.0f;
#pragma GCC unroll 4
            for (int v = 0; v < vectors; ++v) {
                acc[r][v] = Vec8{} + start;
            }
        }
        const float* aRow = a + static_cast<std::size_t>(row) * k;
        for (int i = 0; i < k; ++i) {
            Vec8 bv[vectors];
#pragma GCC unroll 4
            for (int v = 0; v < vectors; ++v) {
                bv[v] = load8(b + i * N + 8 * v);
            }
#pragma GCC unroll 8
            for (int r = 0; r < rows; ++r) {
                const float x = aRow[r * k + i];
#pragma GCC unroll 4
                for (int v = 0; v < vectors; ++v) {
                    acc[r][v] += x * bv[v];
                }
            }
        }
#pragma GCC unroll 8
        for (int r = 0; r < rows; ++r) {
#pragma GCC unroll 4
            for (int v = 0; v < vectors; ++v) {
                store8(c + (row + r) * N + 8 * v, acc[r][v]);
            }
        }
    }
}

MURMURLY_VAD_KERNEL void gemm32(const float* a, const float* bias, const float* b, float* c, int m, int k) {
    gemmBody<32>(a, bias, b, c, m, k);
}

MURMURLY_VAD_KERNEL void gemm16(const float* a, const float* bias, const float* b, float* c, int m, int k) {
    gemmBody<16>(a, bias, b, c, m, k);
}

MURMURLY_VAD_KERNEL void gemm8(const float* a, const float* bias, const float* b, float* c, int m, int k) {
    gemmBody<8>(a, bias, b, c, m, k);
}

// gates[512] = start[512] + Wᵀ·h, with W stored transposed ([128][512]) so each h[k] scales one
// contiguous row; 64 gates at a time stay in registers.
MURMURLY_VAD_KERNEL void recurrentGates(const float* weightT, const float* start, const float* h,
                                        float* gates) {
    constexpr int width = 4 * 128;
    for (int block = 0; block < width; block += 64) {
        Vec8 acc[8];
#pragma GCC unroll 8
        for (int v = 0; v < 8; ++v) {
            acc[v] = load8(start + block + 8 * v);
        }
        for (int i = 0; i < 128; ++i) {
            const float x = h[i];
            const float* row = weightT + i * width + block;
#pragma GCC unroll 8
            for (int v = 0; v < 8; ++v) {
                acc[v] += x * load8(row + 8 * v);
            }
        }
#pragma GCC unroll 8
        for (int v = 0; v < 8; ++v) {
            store8(gates + block + 8 * v, acc[v]);
        }
    }
}

// The STFT of 32 frames at once by a radix-2 FFT, for a basis that is a windowed DFT. Rows are
// samples (frequencies after the transform) and the 32 frames run along each row, so every
// butterfly is four 8-wide vector operations. `re` and `im` are [256][32] scratch; the magnitude
// of bins 0…128 goes to `magnitude` ([129][32]).
MURMURLY_VAD_KERNEL void fftMagnitude32(const float* frames, const float* window, const int* bitReverse,
                                        const float* cosTable, const float* sinTable, float* re, float* im,
                                        float* magnitude) {
    constexpr int n = SileroWeights::stftFilterLength;
    constexpr int cols = 32;
    for (int k = 0; k < n; ++k) {
        const float w = window[k];
        float* row = re + bitReverse[k] * cols;
#pragma GCC unroll 4
        for (int v = 0; v < cols; v += 8) {
            store8(row + v, w * load8(frames + k * cols + v));
        }
    }
    std::fill(im, im + n * cols, 0.0f);
    for (int size = 2; size <= n; size *= 2) {
        const int half = size / 2;
        const int stride = n / size;
        for (int start = 0; start < n; start += size) {
            for (int j = 0; j < half; ++j) {
                // Twiddle e^(−2πi·j/size) = c − i·s.
                const float c = cosTable[j * stride];
                const float s = sinTable[j * stride];
                float* ar = re + (start + j) * cols;
                float* ai = im + (start + j) * cols;
                float* br = ar + half * cols;
                float* bi = ai + half * cols;
#pragma GCC unroll 4
                for (int v = 0; v < cols; v += 8) {
                    const Vec8 xr = load8(br + v);
                    const Vec8 xi = load8(bi + v);
                    const Vec8 tr = xr * c + xi * s;
                    const Vec8 ti = xi * c - xr * s;
                    const Vec8 yr = load8(ar + v);
                    const Vec8 yi = load8(ai + v);
                    store8(br + v, yr - tr);
                    store8(bi + v, yi - ti);
                    store8(ar + v, yr + tr);
                    store8(ai + v, yi + ti);
                }
            }
        }
    }
    for (int i = 0; i < SileroWeights::stftBins * cols; ++i) {
        magnitude[i] = std::sqrt(re[i] * re[i] + im[i] * im[i]);
    }
}

inline float sigmoid(float x) {
    return 1.0f / (1.0f + std::exp(-x));
}

// tanh through the same exp: libm's tanhf goes through expm1f, which is several times slower, and
// the absolute error (about 1e-7) is far below what the probability can notice.
inline float fastTanh(float x) {
    return 2.0f / (1.0f + std::exp(-2.0f * x)) - 1.0f;
}

void relu(float* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = std::max(values[i], 0.0f);
    }
}

// Lays out a kernel-3, padding-1 convolution's input as a [channels × 3][steps × outFrames]
// matrix. Each step is padded on its own: the network runs on 576-sample chunks independently.
void im2col(const float* input, int channels, int inFrames, int stride, float* columns) {
    constexpr int steps = SileroNetwork::steps;
    const int outFrames = (inFrames - 1) / stride + 1;
    const int width = steps * outFrames;
    for (int c = 0; c < channels; ++c) {
        const float* in = input + c * steps * inFrames;
        for (int j = 0; j < 3; ++j) {
            float* out = columns + (c * 3 + j) * width;
            for (int s = 0; s < steps; ++s) {
                for (int u = 0; u < outFrames; ++u) {
                    const int t = u * stride + j - 1;
                    out[s * outFrames + u] = (t >= 0 && t < inFrames) ? in[s * inFrames + t] : 0.0f;
                }
            }
        }
    }
}

} // namespace

namespace {

// The window w if basis[f][k] = w[k]·cos(2πfk/256) and basis[129 + f][k] = ±w[k]·sin(2πfk/256)
// for every element (to float precision); empty otherwise.
std::vector<float> dftWindow(const std::vector<float>& basis) {
    constexpr int n = SileroWeights::stftFilterLength;
    constexpr int bins = SileroWeights::stftBins;
    constexpr double tolerance = 1e-5;
    std::vector<float> window(basis.begin(), basis.begin() + n); // row 0: cos(0) = 1
    double cosError = 0.0;
    double sinErrorPlus = 0.0;
    double sinErrorMinus = 0.0;
    for (int f = 0; f < bins; ++f) {
        for (int k = 0; k < n; ++k) {
            const double angle = 2.0 * M_PI * ((f * k) % n) / n;
            const double w = window[static_cast<std::size_t>(k)];
            const double re = basis[static_cast<std::size_t>(f * n + k)];
            const double im = basis[static_cast<std::size_t>((bins + f) * n + k)];
            cosError = std::max(cosError, std::abs(re - w * std::cos(angle)));
            sinErrorPlus = std::max(sinErrorPlus, std::abs(im - w * std::sin(angle)));
            sinErrorMinus = std::max(sinErrorMinus, std::abs(im + w * std::sin(angle)));
        }
    }
    if (cosError > tolerance || std::min(sinErrorPlus, sinErrorMinus) > tolerance) {
        return {};
    }
    return window;
}

} // namespace

SileroNetwork::SileroNetwork(const SileroWeights& weights, Stft stft)
    : m_basis(weights.stftBasis)
    , m_convWeight(weights.encoderWeight)
    , m_convBias(weights.encoderBias)
    , m_weightIh(weights.lstmWeightIh)
    , m_weightHhT(weights.lstmWeightHh.size())
    , m_biasSum(weights.lstmBiasIh.size())
    , m_decoderWeight(weights.decoderWeight)
    , m_decoderBias(weights.decoderBias)
    , m_columns(static_cast<std::size_t>(3 * bins * steps * frames))
    , m_spectrum(static_cast<std::size_t>(2 * filterLength * steps * frames))
    , m_gatesIh(static_cast<std::size_t>(4 * lstm * steps)) {
    for (int g = 0; g < 4 * lstm; ++g) {
        for (int i = 0; i < lstm; ++i) {
            m_weightHhT[i * 4 * lstm + g] = weights.lstmWeightHh[g * lstm + i];
        }
        m_biasSum[g] = weights.lstmBiasIh[g] + weights.lstmBiasHh[g];
    }
    for (auto& buffer : m_activations) {
        buffer.resize(static_cast<std::size_t>(bins * steps * frames));
    }
    if (stft == Stft::automatic) {
        m_window = dftWindow(m_basis);
        m_useFft = !m_window.empty();
    }
    if (m_useFft) {
        for (int j = 0; j < filterLength / 2; ++j) {
            m_cos.push_back(static_cast<float>(std::cos(2.0 * M_PI * j / filterLength)));
            m_sin.push_back(static_cast<float>(std::sin(2.0 * M_PI * j / filterLength)));
        }
        for (int k = 0; k < filterLength; ++k) {
            int reversed = 0;
            for (int bit = 1, mirror = filterLength / 2; bit < filterLength; bit <<= 1, mirror >>= 1) {
                if (k & bit) {
                    reversed |= mirror;
                }
            }
            m_bitReverse.push_back(reversed);
        }
    }
}

float SileroNetwork::predictWindow(const float* audio, float* hidden, float* cell) {
    constexpr int columns = steps * frames; // 32 STFT frames per window

    // STFT frames as columns: frame t of step s starts t × 128 samples into the step's 576-sample
    // chunk, which is extended by reflecting its last 64 samples (without repeating the edge).
    float* x = m_columns.data();
    for (int s = 0; s < steps; ++s) {
        const float* chunk = audio + s * stepSamples;
        for (int t = 0; t < frames; ++t) {
            const int column = s * frames + t;
            for (int i = 0; i < filterLength; ++i) {
                const int p = t * hop + i;
                const int source =
                    p < contextSamples + stepSamples ? p : 2 * (contextSamples + stepSamples) - 2 - p;
                x[i * columns + column] = chunk[source];
            }
        }
    }
    float* magnitude = m_activations[0].data();
    if (m_useFft) {
        float* re = m_spectrum.data();
        fftMagnitude32(x, m_window.data(), m_bitReverse.data(), m_cos.data(), m_sin.data(), re,
                       re + filterLength * columns, magnitude);
    } else {
        gemm32(m_basis.data(), nullptr, x, m_spectrum.data(), 2 * bins, filterLength);
        for (int i = 0; i < bins * columns; ++i) {
            const float re = m_spectrum[i];
            const float im = m_spectrum[bins * columns + i];
            magnitude[i] = std::sqrt(re * re + im * im);
        }
    }

    // Encoder: frames per step 4 → 4 → 2 → 1 → 1.
    static constexpr int strides[4] = {1, 2, 2, 1};
    int inFrames = frames;
    int current = 0;
    for (int layer = 0; layer < 4; ++layer) {
        const int in = SileroWeights::encoderIn[layer];
        const int out = SileroWeights::encoderOut[layer];
        const int outFrames = (inFrames - 1) / strides[layer] + 1;
        im2col(m_activations[current].data(), in, inFrames, strides[layer], m_columns.data());
        float* result = m_activations[1 - current].data();
        const float* w = m_convWeight[layer].data();
        const float* b = m_convBias[layer].data();
        switch (outFrames) {
        case 4:
            gemm32(w, b, m_columns.data(), result, out, 3 * in);
            break;
        case 2:
            gemm16(w, b, m_columns.data(), result, out, 3 * in);
            break;
        default:
            gemm8(w, b, m_columns.data(), result, out, 3 * in);
            break;
        }
        relu(result, static_cast<std::size_t>(out * steps * outFrames));
        current = 1 - current;
        inFrames = outFrames;
    }

    // LSTM input projection for all steps at once: [512][8].
    gemm8(m_weightIh.data(), m_biasSum.data(), m_activations[current].data(), m_gatesIh.data(), 4 * lstm,
          lstm);

    float start[4 * lstm];
    float gates[4 * lstm];
    float pNone = 1.0f;
    for (int s = 0; s < steps; ++s) {
        for (int g = 0; g < 4 * lstm; ++g) {
            start[g] = m_gatesIh[g * steps + s];
        }
        recurrentGates(m_weightHhT.data(), start, hidden, gates);
        float logit = m_decoderBias;
        for (int i = 0; i < lstm; ++i) {
            const float inputGate = sigmoid(gates[i]);
            const float forgetGate = sigmoid(gates[lstm + i]);
            const float candidate = fastTanh(gates[2 * lstm + i]);
            const float outputGate = sigmoid(gates[3 * lstm + i]);
            cell[i] = forgetGate * cell[i] + inputGate * candidate;
            hidden[i] = outputGate * fastTanh(cell[i]);
            logit += m_decoderWeight[i] * std::max(hidden[i], 0.0f);
        }
        pNone *= 1.0f - sigmoid(logit);
    }
    return 1.0f - pNone;
}

} // namespace murmurly
