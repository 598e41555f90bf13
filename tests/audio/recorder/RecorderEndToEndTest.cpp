// The recorder against a real sound server (the "pulse" fixture's private daemon) and the real
// Silero gate: speech played into the microphone sink and into the speakers ends up in the session
// file, the long silences between do not.
#include "audio/PulseAudioInput.h"
#include "audio/SessionRecorder.h"
#include "audio/SpeechGate.h"
#include "audio/SystemAudioMonitor.h"
#include "audio/vad/SileroVADGate.h"

#include "RecorderTestSupport.h"
#include "support/PulseFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace murmurly;
using namespace murmurly::test;

namespace {

// The real gate, with a record of its answers (on the IO queue; read after the stop work).
class RecordingGate : public VoiceActivityDetector {
public:
    void prepareIfNeeded() override { m_gate.prepareIfNeeded(); }
    void reset() override { m_gate.reset(); }
    VADAnalysisResult analyze(const float* samples, std::size_t count) override {
        const VADAnalysisResult result = m_gate.analyze(samples, count);
        results.push_back(result);
        return result;
    }
    bool isLoaded() const { return m_gate.isLoaded(); }

    std::vector<VADAnalysisResult> results;

private:
    SileroVADGate m_gate;
};

bool sox(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("sox"), arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

float peak(const float* samples, std::size_t count) {
    float value = 0;
    for (std::size_t i = 0; i < count; ++i)
        value = std::max(value, std::fabs(samples[i]));
    return value;
}

} // namespace

TEST(RecorderEndToEnd, KeepsSpeechFromBothSourcesAndDropsTheSilencesBetween) {
    ASSERT_TRUE(PulseFixture::isAvailable());
    if (!QFileInfo::exists(qEnvironmentVariable("MURMURLY_VAD_MODEL")))
        GTEST_SKIP() << "no VAD model at MURMURLY_VAD_MODEL (run scripts/setup.sh)";
    ASSERT_TRUE(PulseFixture::restart()) << qPrintable(PulseFixture::lastError());

    // The microphone says one sentence at peak 0.8 after a second; the speakers say another at peak
    // 0.4 six seconds after the first one ends. Different loudness tells the sources apart.
    const QDir dir = QDir::temp();
    const QString micSpeech = dir.filePath("mic-speech.wav");
    const QString sysSpeech = dir.filePath("sys-speech.wav");
    ASSERT_TRUE(PulseFixture::speak(
        QStringLiteral("Good morning everyone, let us look at the quarterly numbers now."), micSpeech))
        << qPrintable(PulseFixture::lastError());
    ASSERT_TRUE(PulseFixture::speak(
        QStringLiteral("Thanks, the sales figures went up by twelve percent this year."), sysSpeech))
        << qPrintable(PulseFixture::lastError());
    const QString micTrack = dir.filePath("mic-track.wav");
    const QString sysTrack = dir.filePath("sys-track.wav");
    ASSERT_TRUE(sox({micSpeech, micTrack, "norm", "-1.94", "pad", "1", "1"}));
    const auto micReader = AudioFileReader::open(micTrack);
    const double micSeconds =
        static_cast<double>(micReader->length()) / micReader->processingFormat().sampleRate;
    ASSERT_TRUE(sox({sysSpeech, sysTrack, "norm", "-7.96", "pad", QString::number(micSeconds + 6.0), "2"}));

    auto micInput = std::make_unique<PulseAudioInput>();
    auto gate = std::make_unique<RecordingGate>();
    RecordingGate* vad = gate.get();
    SessionRecorder recorder(std::move(micInput), std::move(gate));

    std::mutex mutex;
    std::vector<float> levels;
    bool levelOffMainThread = true;
    std::vector<std::optional<float>> scores;
    std::vector<bool> silence;
    std::vector<QString> errors;
    const auto mainThread = std::this_thread::get_id();
    recorder.onLevel = [&](float level) {
        std::lock_guard lock(mutex);
        levels.push_back(level);
        levelOffMainThread = levelOffMainThread && std::this_thread::get_id() != mainThread;
    };
    recorder.onVADScoreChange = [&](std::optional<float> p) {
        std::lock_guard lock(mutex);
        scores.push_back(p);
    };
    recorder.onSilenceStateChange = [&](bool silent) {
        std::lock_guard lock(mutex);
        silence.push_back(silent);
    };
    recorder.onError = [&](const RecorderError& error) {
        std::lock_guard lock(mutex);
        errors.push_back(error.description());
    };

    SystemAudioMonitor monitor;
    monitor.onBuffer = [&](const PcmBuffer& buffer) { recorder.ingestSystemBuffer(buffer); };

    const QString session = dir.filePath("mixed-session.wav");
    recorder.start(session);
    ASSERT_TRUE(vad->isLoaded());
    monitor.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return monitor.isMonitoring(); }, 10000))
        << qPrintable(monitor.status());

    auto mic = PulseFixture::startPlaying(micTrack, QStringLiteral("mic_in"));
    auto sys = PulseFixture::startPlaying(sysTrack, QStringLiteral("speakers"));
    ASSERT_TRUE(mic && sys);
    ASSERT_TRUE(mic->waitForFinished(60000));
    ASSERT_TRUE(sys->waitForFinished(60000));
    QTest::qWait(500); // the last blocks through the server
    monitor.stop();
    recorder.stop().waitForFinished();

    // What the gate released, replayed from its own answers, is what the file holds (plus the
    // flushed tails, under a window each).
    SpeechGate replay;
    std::size_t released = 0;
    for (const VADAnalysisResult& result : vad->results)
        replay.process(SpeechGate::Window(4096), result, [&](const float*, std::size_t n) { released += n; });
    const std::vector<float> samples = readSamples(session);
    EXPECT_GE(samples.size(), released);
    EXPECT_LT(samples.size(), released + 2 * 4096);

    // Each source speaks for a few seconds; the gate keeps those stretches and not the 6 s pause,
    // the lead-in or the end: the file is far shorter than what was analysed, and no long run of
    // silence is in it.
    const std::size_t analysed = vad->results.size();
    ASSERT_GT(analysed, 40u);
    EXPECT_LT(samples.size(), analysed * 4096 / 2);
    std::size_t silentRun = 0, longestSilentRun = 0, micWindows = 0, sysWindows = 0;
    float loudest = 0;
    for (std::size_t begin = 0; begin + 4096 <= samples.size(); begin += 4096) {
        const float p = peak(samples.data() + begin, 4096);
        loudest = std::max(loudest, p);
        silentRun = p < 0.005f ? silentRun + 1 : 0;
        longestSilentRun = std::max(longestSilentRun, silentRun);
        // Every window is mixed at half amplitude: the microphone's sentence peaks near 0.4, the
        // speakers' near 0.2.
        if (p > 0.3f)
            ++micWindows;
        else if (p > 0.1f && p < 0.25f)
            ++sysWindows;
    }
    EXPECT_GE(micWindows, 6u);
    EXPECT_GE(sysWindows, 6u);
    EXPECT_LT(loudest, 0.46f); // never full amplitude
    EXPECT_LE(longestSilentRun, 8u);

    std::lock_guard lock(mutex);
    EXPECT_TRUE(errors.empty());
    ASSERT_FALSE(levels.empty());
    EXPECT_TRUE(levelOffMainThread);
    EXPECT_GT(*std::max_element(levels.begin(), levels.end()), 0.1f);
    ASSERT_EQ(scores.size(), analysed + 1);
    EXPECT_EQ(scores.back(), std::nullopt);
    EXPECT_TRUE(scores.front().has_value());
    ASSERT_GE(silence.size(), 2u);
    for (std::size_t i = 1; i < silence.size(); ++i)
        EXPECT_NE(silence[i], silence[i - 1]);
    EXPECT_FALSE(silence.back());
}

TEST(RecorderEndToEnd, FailsToStartWithoutASoundServerAndSurvivesOneThatVanishes) {
    ASSERT_TRUE(PulseFixture::isAvailable());
    ASSERT_TRUE(PulseFixture::restart()) << qPrintable(PulseFixture::lastError());
    SessionRecorder recorder; // the default microphone and the Silero gate
    std::atomic<int> levels{0};
    recorder.onLevel = [&](float) { ++levels; };

    // No server: the engine cannot start, the file made for the session stays (empty).
    ASSERT_TRUE(PulseFixture::kill()) << qPrintable(PulseFixture::lastError());
    const QString orphan = QDir::temp().filePath("no-server.wav");
    try {
        recorder.start(orphan);
        ADD_FAILURE() << "start should fail without a sound server";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error.description(), QStringLiteral("Failed to start audio engine"));
    }
    EXPECT_FALSE(recorder.isRunning());
    EXPECT_TRUE(QFileInfo::exists(orphan));

    // A server that goes away mid-session: the session still ends with a complete, readable file.
    ASSERT_TRUE(PulseFixture::start()) << qPrintable(PulseFixture::lastError());
    const QString session = QDir::temp().filePath("vanishing.wav");
    recorder.start(session);
    ASSERT_TRUE(QTest::qWaitFor([&] { return levels.load() > 3; }, 10000));
    ASSERT_TRUE(PulseFixture::kill()) << qPrintable(PulseFixture::lastError());
    QTest::qWait(300);
    recorder.stop().waitForFinished();
    EXPECT_NO_THROW(readSamples(session));
    ASSERT_TRUE(PulseFixture::start()) << qPrintable(PulseFixture::lastError());
}
