// Costs on the capture side, per second of audio, each as a ratio against sox converting the same
// second (48 kHz stereo float to 16 kHz mono), timed in the same run:
//  - the capture callback path: filling the reused 4096-frame block from the server's fragment
//    (the one copy) and measuring its level over the raw samples, for the system-audio stream
//    (44.1 kHz mono) and a 48 kHz stereo microphone;
//  - our AudioConverter converting one second of 48 kHz stereo float to the 16 kHz mono working
//    format (one-shot: convert, drain, reset).
// sox is timed twice: on a one-second file (process start included, what a one-shot conversion
// by a tool costs) and on a 30-second file divided by 30 (its resampling cost per second).
#include "audio/AudioConverter.h"
#include "audio/AudioLevelComputer.h"
#include "audio/PcmBuffer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
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
// Seconds of our own work per second of audio, by benchmark.
std::map<std::string, double> secondsPerAudioSecond;

template <typename Body>
void timed(benchmark::State& state, const char* name, double audioSecondsPerIteration, Body body) {
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        body();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    secondsPerAudioSecond[name] =
        elapsed.count() / static_cast<double>(state.iterations()) / audioSecondsPerIteration;
}

// The capture callback: copy a fragment into the reused block, then the level over the raw
// interleaved samples, bounded by the block's bytes, as SystemAudioMonitor measures it.
void captureCallback(benchmark::State& state, const char* name, double rate, std::uint32_t channels) {
    const AudioFormat format{rate, channels, SampleType::Float32, channels > 1};
    auto block = PcmBuffer::create(format, kBlock);
    std::vector<float> fragment(std::size_t{kBlock} * channels);
    for (std::size_t i = 0; i < fragment.size(); ++i)
        fragment[i] = 0.4f * std::sin(0.031f * static_cast<float>(i));
    timed(state, name, kBlock / rate, [&] {
        std::memcpy(block->bufferData(0), fragment.data(), fragment.size() * sizeof(float));
        block->setFrameLength(kBlock);
        const std::size_t count =
            std::min(std::size_t{block->frameLength()} * channels, block->bufferByteSize() / sizeof(float));
        benchmark::DoNotOptimize(AudioLevelComputer::rmsLevelFromRawFloat(block->floatChannelData(0), count));
        benchmark::ClobberMemory();
    });
}

void BM_CaptureCallbackSystemAudio(benchmark::State& state) {
    captureCallback(state, "system", 44100.0, 1);
}
BENCHMARK(BM_CaptureCallbackSystemAudio);

void BM_CaptureCallbackMicrophone(benchmark::State& state) {
    captureCallback(state, "microphone", 48000.0, 2);
}
BENCHMARK(BM_CaptureCallbackMicrophone);

void BM_ConvertOneSecond(benchmark::State& state) {
    const AudioFormat input{48000.0, 2, SampleType::Float32, false};
    auto second = PcmBuffer::create(input, 48000);
    for (std::uint32_t i = 0; i < 48000; ++i) {
        second->floatChannelData(0)[i] = 0.5f * std::sin(0.0576f * static_cast<float>(i));
        second->floatChannelData(1)[i] = 0.3f * std::sin(0.0864f * static_cast<float>(i));
    }
    second->setFrameLength(48000);
    auto converter = AudioConverter::create(input, AudioFormat::working());
    auto output = PcmBuffer::create(AudioFormat::working(), 20000);
    if (!converter || !second || !output) {
        state.SkipWithError("cannot create the converter");
        return;
    }
    timed(state, "converter", 1.0, [&] {
        bool given = false;
        std::uint64_t frames = 0;
        for (;;) {
            const auto status =
                converter->convert(*output, [&](AudioConverter::InputStatus& in) -> const PcmBuffer* {
                    in = given ? AudioConverter::InputStatus::EndOfStream
                               : AudioConverter::InputStatus::HaveData;
                    const bool first = !given;
                    given = true;
                    return first ? &*second : nullptr;
                });
            frames += output->frameLength();
            if (status != AudioConverter::OutputStatus::HaveData)
                break;
        }
        converter->reset();
        benchmark::DoNotOptimize(frames);
    });
}
BENCHMARK(BM_ConvertOneSecond);

bool run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// The median wall time of `runs` sox conversions of `input`, in seconds; negative when sox fails.
double timeSox(const QString& input, const QString& output, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!run(QStringLiteral("sox"), {input, QStringLiteral("-r"), QStringLiteral("16000"),
                                         QStringLiteral("-c"), QStringLiteral("1"), output}))
            return -1;
        times.push_back(static_cast<double>(timer.nsecsElapsed()) * 1e-9);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

double makeAndTimeSox(const QTemporaryDir& dir, int seconds, int runs) {
    const QString input = dir.filePath(QStringLiteral("in-%1s.wav").arg(seconds));
    if (!run(QStringLiteral("sox"),
             {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"), QStringLiteral("-c"),
              QStringLiteral("2"), QStringLiteral("-e"), QStringLiteral("floating-point"),
              QStringLiteral("-b"), QStringLiteral("32"), input, QStringLiteral("synth"),
              QString::number(seconds), QStringLiteral("sine"), QStringLiteral("440"), QStringLiteral("sine"),
              QStringLiteral("660")}))
        return -1;
    return timeSox(input, dir.filePath(QStringLiteral("out.wav")), runs);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    QTemporaryDir dir(QStringLiteral("/tmp/murmurly-capture-bench-XXXXXX"));
    const double soxOneSecond = makeAndTimeSox(dir, 1, 15);
    const double soxThirty = makeAndTimeSox(dir, 30, 5);
    if (soxOneSecond <= 0 || soxThirty <= 0) {
        std::printf("\nsox is not available: no reference, no ratios\n");
        return 1;
    }
    const double soxPerSecond = soxThirty / 30.0;
    std::printf("\nReference: sox 48 kHz stereo float -> 16 kHz mono: %.2f ms for a 1 s file (process "
                "included), %.3f ms per second of audio on a 30 s file\n",
                soxOneSecond * 1e3, soxPerSecond * 1e3);
    std::printf("%-44s %12s %14s %14s\n", "per second of audio", "ours (us)", "/ sox 1 s file",
                "/ sox per s");
    const std::pair<const char*, const char*> rows[] = {
        {"system", "capture callback, 44.1 kHz mono"},
        {"microphone", "capture callback, 48 kHz stereo"},
        {"converter", "AudioConverter 48 kHz stereo -> 16 kHz mono"},
    };
    for (const auto& [key, label] : rows) {
        if (!secondsPerAudioSecond.count(key))
            continue;
        const double ours = secondsPerAudioSecond[key];
        std::printf("%-44s %12.1f %14.5f %14.4f\n", label, ours * 1e6, ours / soxOneSecond,
                    ours / soxPerSecond);
    }
    return 0;
}
