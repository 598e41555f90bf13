// The session recorder's cost per second of two-source audio: the microphone at 48 kHz stereo and
// the system audio at 44.1 kHz mono, in 4096-frame blocks, through conversion, mixing, the Silero
// gate and the WAV writes, everything the IO queue does plus the capture-side copy. Reported as a
// fraction of one core (processor time of the whole process over audio time) and as a multiple of
// real time (audio time over wall time), next to two references from the same run: the Silero
// inference alone on the same number of windows, and the recorder with a gate that costs nothing.
//
// The audio is tests/data/vad/vad-mix.wav (speech, music, noise, silence): 20 s from its start for
// the microphone, 20 s from 40 s on for the system side.
#include "audio/AudioConverter.h"
#include "audio/AudioFileReader.h"
#include "audio/SessionRecorder.h"
#include "audio/vad/SileroVADGate.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace murmurly;

namespace {

constexpr double kSeconds = 20.0;
constexpr std::uint32_t kBlock = 4096;

QString sourceDir() {
    const QString overridden = qEnvironmentVariable("MURMURLY_SOURCE_DIR");
    return overridden.isEmpty() ? QStringLiteral(MURMURLY_BENCH_SOURCE_DIR) : overridden;
}

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// `seconds` of the recording from `offset`, converted to `format`, cut into 4096-frame blocks.
std::vector<PcmBuffer> blocks(const AudioFormat& format, double offset, double seconds) {
    auto reader = AudioFileReader::open(sourceDir() + QStringLiteral("/tests/data/vad/vad-mix.wav"));
    const double rate = reader->processingFormat().sampleRate;
    reader->setFramePosition(static_cast<std::int64_t>(offset * rate));
    PcmBuffer input =
        *PcmBuffer::create(reader->processingFormat(), static_cast<std::uint32_t>(seconds * rate));
    reader->read(input);
    auto converter = AudioConverter::create(input.format(), format);
    PcmBuffer all = *PcmBuffer::create(format, static_cast<std::uint32_t>(seconds * format.sampleRate) + 64);
    bool given = false;
    converter->convert(all, [&](AudioConverter::InputStatus& status) -> const PcmBuffer* {
        status = given ? AudioConverter::InputStatus::EndOfStream : AudioConverter::InputStatus::HaveData;
        const PcmBuffer* out = given ? nullptr : &input;
        given = true;
        return out;
    });
    std::vector<PcmBuffer> result;
    const std::uint32_t channels = format.channelCount;
    for (std::uint32_t start = 0; start + kBlock <= all.frameLength(); start += kBlock) {
        PcmBuffer block = *PcmBuffer::create(format, kBlock);
        block.setFrameLength(kBlock);
        for (int b = 0; b < block.bufferCount(); ++b) {
            const std::size_t perFrame = format.interleaved ? channels : 1;
            std::copy_n(all.floatChannelData(b) + std::size_t{start} * perFrame,
                        std::size_t{kBlock} * perFrame, block.floatChannelData(b));
        }
        result.push_back(std::move(block));
    }
    return result;
}

const std::vector<PcmBuffer>& micBlocks() {
    static const std::vector<PcmBuffer> value =
        blocks({48000.0, 2, SampleType::Float32, true}, 0.0, kSeconds);
    return value;
}

const std::vector<PcmBuffer>& systemBlocks() {
    static const std::vector<PcmBuffer> value =
        blocks({44100.0, 1, SampleType::Float32, false}, 40.0, kSeconds);
    return value;
}

// The microphone, driven by the benchmark thread (which plays the capture thread).
class BlockInput : public AudioInput {
public:
    AudioFormat inputFormat() override { return micBlocks().front().format(); }
    void installTap(std::uint32_t, TapBlock block) override { tap = std::move(block); }
    void removeTap() override { tap = nullptr; }
    void start() override {}
    void stop() override {}
    TapBlock tap;
};

// The real Silero inference, and every window treated as speech: the most the recorder writes.
class AlwaysOpenSilero : public VoiceActivityDetector {
public:
    void prepareIfNeeded() override { m_gate.prepareIfNeeded(); }
    void reset() override { m_gate.reset(); }
    VADAnalysisResult analyze(const float* samples, std::size_t count) override {
        VADAnalysisResult result = m_gate.analyze(samples, count);
        result.isSpeech = true;
        result.hasDecision = true;
        return result;
    }

private:
    SileroVADGate m_gate;
};

class FreeGate : public VoiceActivityDetector {
public:
    void prepareIfNeeded() override {}
    void reset() override {}
    VADAnalysisResult analyze(const float*, std::size_t) override { return {true, 1.0f, true}; }
};

void report(benchmark::State& state, double cpu, double wall, double audio) {
    state.counters["core_pct"] = 100.0 * cpu / audio;
    state.counters["x_realtime"] = audio / wall;
}

// Interleaves the two sources as they arrive live: a microphone block, then the system blocks that
// cover the same time.
void runSession(benchmark::State& state, std::unique_ptr<VoiceActivityDetector> vad) {
    auto input = std::make_unique<BlockInput>();
    BlockInput* mic = input.get();
    SessionRecorder recorder(std::move(input), std::move(vad));
    std::size_t windows = 0;
    recorder.onVADScoreChange = [&](std::optional<float> p) { windows += p.has_value() ? 1 : 0; };
    const QString path = QDir::temp().filePath(QStringLiteral("murmurly-bench-recorder.wav"));
    const auto& micData = micBlocks();
    const auto& sysData = systemBlocks();
    recorder.start(path); // loads the model outside the measurement
    recorder.stop().waitForFinished();
    windows = 0;
    double cpu = 0, wall = 0, audio = 0;
    for (auto _ : state) {
        const double cpu0 = processCpuSeconds();
        const auto wall0 = std::chrono::steady_clock::now();
        recorder.start(path);
        std::size_t s = 0;
        for (std::size_t m = 0; m < micData.size(); ++m) {
            mic->tap(micData[m]);
            const double until = static_cast<double>(m + 1) * kBlock / 48000.0;
            while (s < sysData.size() && static_cast<double>(s + 1) * kBlock / 44100.0 <= until)
                recorder.ingestSystemBuffer(sysData[s++]);
        }
        recorder.stop().waitForFinished();
        cpu += processCpuSeconds() - cpu0;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        audio += static_cast<double>(micData.size()) * kBlock / 48000.0;
    }
    report(state, cpu, wall, audio);
    state.counters["windows_per_s"] = static_cast<double>(windows) / audio;
    QFile::remove(path);
}

void BM_RecorderWithSilero(benchmark::State& state) {
    runSession(state, std::make_unique<SileroVADGate>());
}

void BM_RecorderWithSileroAllWritten(benchmark::State& state) {
    runSession(state, std::make_unique<AlwaysOpenSilero>());
}

void BM_RecorderWithoutInference(benchmark::State& state) {
    runSession(state, std::make_unique<FreeGate>());
}

// Reference: the inference alone on as many windows as the recorder analyses for the same audio.
void BM_SileroInferenceAlone(benchmark::State& state) {
    SileroVADGate gate;
    gate.prepareIfNeeded();
    std::vector<float> mixed;
    for (const PcmBuffer& block : micBlocks())
        for (std::uint32_t i = 0; i < kBlock; i += 3)
            mixed.push_back(block.floatChannelData(0)[2 * i] * 0.5f);
    const std::size_t windows = static_cast<std::size_t>(state.range(0));
    double cpu = 0, wall = 0, audio = 0;
    for (auto _ : state) {
        const double cpu0 = processCpuSeconds();
        const auto wall0 = std::chrono::steady_clock::now();
        gate.reset();
        for (std::size_t w = 0; w < windows; ++w) {
            const std::size_t at = (w * 4096) % (mixed.size() - 4096);
            benchmark::DoNotOptimize(gate.analyze(mixed.data() + at, 4096));
        }
        cpu += processCpuSeconds() - cpu0;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        audio += kSeconds;
    }
    report(state, cpu, wall, audio);
}

} // namespace

BENCHMARK(BM_RecorderWithSilero)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(BM_RecorderWithSileroAllWritten)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_RecorderWithoutInference)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
// 20 s of audio: 78 windows if the sources were mixed into one stream, 156 when every window holds
// one source (the live case: see windows_per_s above).
BENCHMARK(BM_SileroInferenceAlone)
    ->Arg(78)
    ->Arg(156)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(
        QStringLiteral("com.murmurly.app.*.debug=false\ncom.murmurly.app.*.info=false"));
    if (qEnvironmentVariableIsEmpty("MURMURLY_VAD_MODEL"))
        qputenv("MURMURLY_VAD_MODEL", QByteArrayLiteral(MURMURLY_BENCH_MODEL_PATH));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
