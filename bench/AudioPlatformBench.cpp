// Costs of the audio platform services on the blocks the recorder sees (4096 frames), each as a
// ratio against a reference measured in the same run:
//  - level meter against a plain copy of the same samples (the floor for one pass over memory);
//  - converter (48 kHz stereo float to 16 kHz mono) against libsoxr alone on the already-mixed
//    mono block, i.e. what our wrapper (mixing, pulling, layout) adds to the resampler;
//  - WAV writer against writing the same bytes with a plain QFile.
// Each is also given as a fraction of the block's real-time duration.
#include "audio/AudioConverter.h"
#include "audio/AudioFileWriter.h"
#include "audio/AudioLevelComputer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <soxr.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace murmurly;

namespace {

constexpr std::uint32_t kBlock = 4096;
std::map<std::string, double> nanosPerBlock;

template <typename Body>
void timed(benchmark::State& state, const char* name, Body body) {
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        body();
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    nanosPerBlock[name] = elapsed.count() / static_cast<double>(state.iterations());
}

PcmBuffer stereoBlock() {
    auto buffer = PcmBuffer::create({48000, 2, SampleType::Float32, false}, kBlock);
    for (std::uint32_t i = 0; i < kBlock; ++i) {
        buffer->floatChannelData(0)[i] = 0.5f * std::sin(0.05f * static_cast<float>(i));
        buffer->floatChannelData(1)[i] = 0.3f * std::sin(0.07f * static_cast<float>(i));
    }
    buffer->setFrameLength(kBlock);
    return *buffer;
}

void BM_LevelMeter(benchmark::State& state) {
    const PcmBuffer block = stereoBlock();
    timed(state, "level", [&] { benchmark::DoNotOptimize(AudioLevelComputer::rmsLevel(block)); });
}
BENCHMARK(BM_LevelMeter);

void BM_LevelReferenceCopy(benchmark::State& state) {
    const PcmBuffer block = stereoBlock();
    std::vector<float> target(2 * kBlock);
    timed(state, "copy", [&] {
        std::memcpy(target.data(), block.floatChannelData(0), kBlock * sizeof(float));
        std::memcpy(target.data() + kBlock, block.floatChannelData(1), kBlock * sizeof(float));
        benchmark::ClobberMemory();
    });
}
BENCHMARK(BM_LevelReferenceCopy);

void BM_Converter(benchmark::State& state) {
    const PcmBuffer block = stereoBlock();
    auto converter = AudioConverter::create(block.format(), AudioFormat::working());
    auto output = PcmBuffer::create(AudioFormat::working(), kBlock);
    timed(state, "converter", [&] {
        bool given = false;
        converter->convert(*output, [&](AudioConverter::InputStatus& status) -> const PcmBuffer* {
            status = given ? AudioConverter::InputStatus::NoDataNow : AudioConverter::InputStatus::HaveData;
            given = true;
            return &block;
        });
        benchmark::DoNotOptimize(output->frameLength());
    });
}
BENCHMARK(BM_Converter);

void BM_SoxrAlone(benchmark::State& state) {
    std::vector<float> mono(kBlock, 0.0f);
    const PcmBuffer block = stereoBlock();
    for (std::uint32_t i = 0; i < kBlock; ++i)
        mono[i] = 0.5f * (block.floatChannelData(0)[i] + block.floatChannelData(1)[i]);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t soxr = soxr_create(48000, 16000, 1, nullptr, &io, &quality, nullptr);
    std::vector<float> out(kBlock);
    timed(state, "soxr", [&] {
        std::size_t used = 0, made = 0;
        soxr_process(soxr, mono.data(), kBlock, &used, out.data(), kBlock, &made);
        benchmark::DoNotOptimize(made);
    });
    soxr_delete(soxr);
}
BENCHMARK(BM_SoxrAlone);

void BM_WavWriter(benchmark::State& state) {
    QTemporaryDir dir;
    std::vector<float> samples(kBlock, 0.25f);
    auto writer = AudioFileWriter::create(dir.filePath(QStringLiteral("bench.wav")), AudioFormat::working());
    timed(state, "writer", [&] { writer->write(samples.data(), samples.size()); });
}
BENCHMARK(BM_WavWriter);

void BM_PlainFileWrite(benchmark::State& state) {
    QTemporaryDir dir;
    std::vector<float> samples(kBlock, 0.25f);
    QFile file(dir.filePath(QStringLiteral("bench.raw")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        state.SkipWithError("cannot write the reference file");
    timed(state, "file",
          [&] { file.write(reinterpret_cast<const char*>(samples.data()), kBlock * sizeof(float)); });
}
BENCHMARK(BM_PlainFileWrite);

void report(const char* what, const char* ours, const char* reference, const char* referenceName,
            double blockSeconds) {
    if (!nanosPerBlock.count(ours) || !nanosPerBlock.count(reference))
        return;
    const double o = nanosPerBlock[ours];
    const double r = nanosPerBlock[reference];
    std::printf("%-34s %8.0f ns/block = %6.2fx %s, %.5f of real time\n", what, o, o / r, referenceName,
                o * 1e-9 / blockSeconds);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\nPer 4096-frame block:\n");
    report("level meter (48 kHz stereo float)", "level", "copy", "a plain copy", kBlock / 48000.0);
    report("converter (48 kHz stereo -> 16 kHz)", "converter", "soxr", "soxr alone", kBlock / 48000.0);
    report("WAV writer (16 kHz mono float)", "writer", "file", "a plain file write", kBlock / 16000.0);
    return 0;
}
