// Silero VAD: one 256 ms window (8 network steps) through our network against ONNX Runtime running
// the same ONNX file step by step, both on one thread, measured in the same run on the same
// recording (tests/data/vad/vad-mix.wav). ONNX Runtime is timed by tools/vad-reference.mjs --bench
// (it needs `scripts/setup.sh --reference`); without it only our time is reported.
#include "audio/vad/SileroVADModel.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

QString sourceDir() {
    const QString overridden = qEnvironmentVariable("MURMURLY_SOURCE_DIR");
    return overridden.isEmpty() ? QStringLiteral(MURMURLY_BENCH_SOURCE_DIR) : overridden;
}

QString modelPath() {
    const QString overridden = qEnvironmentVariable("MURMURLY_VAD_MODEL");
    return overridden.isEmpty() ? QStringLiteral(MURMURLY_BENCH_MODEL_PATH) : overridden;
}

QString recordingPath() {
    return sourceDir() + QStringLiteral("/tests/data/vad/vad-mix.wav");
}

std::vector<float> readRecording() {
    SF_INFO info{};
    SNDFILE* file = sf_open(recordingPath().toLocal8Bit().constData(), SFM_READ, &info);
    if (!file || info.channels != 1) {
        std::fprintf(stderr, "bench_vad: cannot read %s\n", qUtf8Printable(recordingPath()));
        std::exit(1);
    }
    std::vector<float> samples(static_cast<std::size_t>(info.frames));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    return samples;
}

struct Timing {
    double wall = -1.0; // microseconds per window
    double cpu = -1.0;  // processor microseconds per window (steadier on a busy machine)
};

double threadCpuMicros() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// ONNX Runtime's time per window, or negative numbers when it cannot run here.
Timing onnxRuntimeTiming() {
    const QString reference = sourceDir() + QStringLiteral("/.deps/reference/node_modules/onnxruntime-node");
    if (!QFileInfo::exists(reference)) {
        std::printf(
            "ONNX Runtime reference not installed (scripts/setup.sh --reference): reporting ours only\n");
        return {};
    }
    QProcess node;
    node.start(QStringLiteral("node"), {sourceDir() + QStringLiteral("/tools/vad-reference.mjs"),
                                        QStringLiteral("--bench"), modelPath(), recordingPath()});
    if (!node.waitForFinished(10 * 60 * 1000) || node.exitCode() != 0) {
        std::printf("ONNX Runtime reference failed (%s): reporting ours only\n",
                    qUtf8Printable(QString::fromLocal8Bit(node.readAllStandardError()).trimmed()));
        return {};
    }
    const QJsonObject result = QJsonDocument::fromJson(node.readAllStandardOutput()).object();
    return {result.value(QStringLiteral("microsPerWindow")).toDouble(-1.0),
            result.value(QStringLiteral("cpuMicrosPerWindow")).toDouble(-1.0)};
}

Timing ort;
Timing ours;

void BM_SileroWindow(benchmark::State& state) {
    static const std::vector<float> samples = readRecording();
    static const auto model = murmurly::SileroVADModel::load(modelPath());
    // 64 samples of context before the first window, as after a reset.
    std::vector<float> audio(64, 0.0f);
    audio.insert(audio.end(), samples.begin(), samples.end());
    const std::size_t windows = samples.size() / 4096;
    std::vector<float> hidden(128, 0.0f);
    std::vector<float> cell(128, 0.0f);
    std::size_t w = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuMicros();
    for (auto _ : state) {
        benchmark::DoNotOptimize(model->predict(audio.data() + w * 4096, hidden.data(), cell.data()));
        w = (w + 1) % windows;
    }
    const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
    const auto iterations = static_cast<double>(state.iterations());
    ours = {elapsed.count() / iterations, (threadCpuMicros() - cpuStart) / iterations};
    state.counters["cpu_us"] = ours.cpu;
    if (ort.cpu > 0) {
        state.counters["ort_cpu_us"] = ort.cpu;
        state.counters["cpu_speedup_vs_ort"] = ort.cpu / ours.cpu;
        state.counters["wall_speedup_vs_ort"] = ort.wall / ours.wall;
    }
}
BENCHMARK(BM_SileroWindow)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    ort = onnxRuntimeTiming();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (ours.cpu > 0) {
        std::printf("Silero VAD, one 256 ms window, one thread: ours %.1f us processor time (%.1f us wall)\n",
                    ours.cpu, ours.wall);
    }
    if (ours.cpu > 0 && ort.cpu > 0) {
        std::printf("ONNX Runtime %.1f us processor time (%.1f us wall): ours is %.1fx faster (%.1fx by wall "
                    "clock)\n",
                    ort.cpu, ort.wall, ort.cpu / ours.cpu, ort.wall / ours.wall);
    }
    return 0;
}
