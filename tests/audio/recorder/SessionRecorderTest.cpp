#include "audio/SessionRecorder.h"

#include "RecorderTestSupport.h"

#include <QCoroFuture>
#include <QCoroTask>
#include <QDir>
#include <QFileInfo>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using namespace murmurly;
using namespace murmurly::test;
using ::testing::ElementsAre;
using ::testing::FloatEq;
using ::testing::StartsWith;

namespace {

class SessionRecorderTest : public ::testing::Test {
protected:
    void make(std::string script, char afterScript = 'S', AudioFormat micFormat = AudioFormat::working()) {
        auto input = std::make_unique<ScriptedAudioInput>(micFormat);
        auto vad = std::make_unique<ScriptedVAD>(std::move(script), afterScript);
        m_input = input.get();
        m_vad = vad.get();
        recorder = std::make_unique<SessionRecorder>(std::move(input), std::move(vad));
        recorder->onLevel = [this](float level) {
            std::lock_guard lock(m_mutex);
            levels.push_back(level);
            levelThreads.push_back(std::this_thread::get_id());
        };
        recorder->onVADScoreChange = [this](std::optional<float> p) {
            std::lock_guard lock(m_mutex);
            scores.push_back(p);
            scoreThreads.push_back(std::this_thread::get_id());
        };
        recorder->onSilenceStateChange = [this](bool silent) {
            std::lock_guard lock(m_mutex);
            silence.push_back(silent);
        };
        recorder->onError = [this](const RecorderError& error) {
            std::lock_guard lock(m_mutex);
            errors.push_back(error);
            errorThreads.push_back(std::this_thread::get_id());
        };
    }

    static QString pathFor(const QString& name) { return QDir::temp().filePath(name); }

    void mic(float value, std::uint32_t frames = 4096) {
        ASSERT_TRUE(m_input->deliver(constantBuffer(value, frames)));
    }
    void sys(float value, std::uint32_t frames = 4096) {
        recorder->ingestSystemBuffer(constantBuffer(value, frames));
    }
    void finish() { recorder->stop().waitForFinished(); }

    ScriptedAudioInput* m_input = nullptr;
    ScriptedVAD* m_vad = nullptr;
    std::unique_ptr<SessionRecorder> recorder;

    std::mutex m_mutex;
    std::vector<float> levels;
    std::vector<std::thread::id> levelThreads;
    std::vector<std::optional<float>> scores;
    std::vector<std::thread::id> scoreThreads;
    std::vector<bool> silence;
    std::vector<RecorderError> errors;
    std::vector<std::thread::id> errorThreads;
};

} // namespace

TEST_F(SessionRecorderTest, MicrophoneAloneIsGatedAtHalfAmplitudeWithCallbacksOnTheirThreads) {
    make("NSSNNNNS");
    const QString path = pathFor("session.wav");
    recorder->start(path);
    EXPECT_TRUE(recorder->isRunning());
    EXPECT_EQ(m_input->tapBufferSize, 4096u);
    EXPECT_EQ(m_vad->prepares, 1);

    for (int i = 0; i < 8; ++i)
        mic(0.01f * static_cast<float>(i + 1));
    mic(0.3f, 1000); // a partial window: flushed unscaled, as the gate ends open
    finish();
    EXPECT_FALSE(recorder->isRunning());
    EXPECT_EQ(m_input->stops, 1);

    // Windows 1, 2 open the gate; 3-5 are the pause; 6 closes it; 7 is speech held at stop.
    const std::vector<float> samples = readSamples(path);
    ASSERT_EQ(samples.size(), 6u * 4096 + 1000);
    EXPECT_THAT(windowValues(samples),
                ElementsAre(FloatEq(0.01f), FloatEq(0.015f), FloatEq(0.02f), FloatEq(0.025f), FloatEq(0.03f),
                            FloatEq(0.04f), FloatEq(0.3f)));
    EXPECT_FLOAT_EQ(samples.back(), 0.3f);
    EXPECT_FLOAT_EQ(samples[5 * 4096 + 4095], 0.04f);

    // The gate was asked about each full window exactly once, the tail never.
    ASSERT_EQ(m_vad->windows.size(), 8u);
    EXPECT_FLOAT_EQ(m_vad->windows[3].front(), 0.02f);
    EXPECT_EQ(m_vad->resets, 2); // at start and at the end of the stop work

    std::lock_guard lock(m_mutex);
    ASSERT_EQ(levels.size(), 9u);
    EXPECT_NEAR(levels[0], 0.02f, 1e-5); // 2 × RMS of a constant 0.01 (summed in 32-bit floats)
    EXPECT_NEAR(levels[8], 0.6f, 1e-5);
    for (auto id : levelThreads)
        EXPECT_EQ(id, std::this_thread::get_id());

    ASSERT_EQ(scores.size(), 9u);
    EXPECT_THAT(scores[0], ::testing::Optional(FloatEq(0.1f)));
    EXPECT_THAT(scores[1], ::testing::Optional(FloatEq(0.9f)));
    EXPECT_EQ(scores.back(), std::nullopt);
    for (auto id : scoreThreads)
        EXPECT_NE(id, std::this_thread::get_id());
    EXPECT_THAT(silence, ElementsAre(true, false, true, false));
    EXPECT_TRUE(errors.empty());
}

TEST_F(SessionRecorderTest, MixesBothSourcesWindowByWindowAndFlushesUnequalTails) {
    make("");
    const QString path = pathFor("mixed.wav");
    recorder->start(path);
    mic(0.2f);       // a full mic window alone: the system side is silence
    sys(0.4f);       // and the other way round
    mic(0.3f, 3000); // a partial mic window waits...
    sys(0.6f);       // ...while a full system window is cut without it
    mic(0.3f, 1096); // now the mic window is complete
    sys(0.8f, 4096); // each source's window as it completes
    mic(0.8f, 4096);
    mic(0.6f, 1000); // tails at stop: 1000 mic, 300 system
    sys(0.2f, 300);
    finish();

    const std::vector<float> samples = readSamples(path);
    ASSERT_EQ(samples.size(), 6u * 4096 + 1000);
    EXPECT_THAT(windowValues(samples),
                ElementsAre(FloatEq(0.1f), FloatEq(0.2f), FloatEq(0.3f), FloatEq(0.15f), FloatEq(0.4f),
                            FloatEq(0.4f), FloatEq(0.4f)));
    const std::size_t tail = 6 * 4096;
    for (std::size_t i = 0; i < 300; ++i)
        ASSERT_FLOAT_EQ(samples[tail + i], 0.4f) << i; // (0.6 + 0.2) × 0.5
    for (std::size_t i = 300; i < 1000; ++i)
        ASSERT_FLOAT_EQ(samples[tail + i], 0.6f) << i; // the longer tail at full amplitude
}

TEST_F(SessionRecorderTest, StopWhileWaitingWritesNoTailAndClearsTheSilentFlag) {
    make("SN");
    const QString path = pathFor("quiet.wav");
    recorder->start(path);
    mic(0.1f);
    mic(0.1f);
    mic(0.1f, 2000);
    sys(0.1f, 100);
    finish();
    EXPECT_TRUE(readSamples(path).empty());
    std::lock_guard lock(m_mutex);
    EXPECT_THAT(silence, ElementsAre(true, false)); // the stop work clears it
    EXPECT_EQ(scores.back(), std::nullopt);
}

TEST_F(SessionRecorderTest, PassesWorkingFormatThroughAndConvertsOtherFormats) {
    // 16 kHz mono float arrives sample for sample (at half amplitude, the system side silent).
    make("");
    const QString exact = pathFor("exact.wav");
    recorder->start(exact);
    const PcmBuffer sine = sineBuffer(AudioFormat::working(), 4096, 440.0, 0.8f);
    ASSERT_TRUE(m_input->deliver(sine));
    ASSERT_TRUE(m_input->deliver(sine));
    finish();
    const std::vector<float> samples = readSamples(exact);
    ASSERT_EQ(samples.size(), 8192u);
    for (std::size_t i = 0; i < 4096; ++i)
        ASSERT_EQ(samples[i], sine.floatChannelData(0)[i] * 0.5f) << i;

    // A 48 kHz stereo microphone is resampled to a third of its frames.
    const AudioFormat stereo{48000.0, 2, SampleType::Float32, false};
    make("", 'S', stereo);
    const QString converted = pathFor("converted.wav");
    recorder->start(converted);
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(m_input->deliver(sineBuffer(stereo, 4096, 440.0, 0.5f, 4096u * i)));
    finish();
    const double expected = 12 * 4096 / 3.0;
    EXPECT_NEAR(static_cast<double>(readSamples(converted).size()), expected, 12 * 2.0);
}

TEST_F(SessionRecorderTest, RebuildsASourcesConverterWhenItsRateChanges) {
    make("");
    const QString path = pathFor("switch.wav");
    recorder->start(path);
    const AudioFormat at48{48000.0, 1, SampleType::Float32, false};
    const AudioFormat at44{44100.0, 2, SampleType::Float32, true};
    for (int i = 0; i < 10; ++i)
        recorder->ingestSystemBuffer(sineBuffer(at48, 4096, 300.0, 0.5f, 4096u * i));
    for (int i = 0; i < 10; ++i)
        recorder->ingestSystemBuffer(sineBuffer(at44, 4096, 300.0, 0.5f, 4096u * i));
    finish();
    // A converter kept from the 48 kHz buffers would turn each 44.1 kHz buffer into 1365 frames
    // instead of 1486.
    const double expected = 10 * 4096 / 3.0 + 10 * 4096 * 16000.0 / 44100.0;
    EXPECT_NEAR(static_cast<double>(readSamples(path).size()), expected, 20 * 2.0);
}

TEST_F(SessionRecorderTest, StartAndStopAreIdempotentAndFailuresLeaveItStopped) {
    make("");
    // Stop without start: nothing at all.
    EXPECT_TRUE(recorder->stop().isFinished());
    EXPECT_EQ(m_input->stops, 0);

    const QString first = pathFor("first.wav");
    const QString second = pathFor("second.wav");
    recorder->start(first);
    recorder->start(second); // already running: ignored
    EXPECT_FALSE(QFileInfo::exists(second));
    EXPECT_EQ(m_input->starts, 1);
    EXPECT_EQ(m_vad->prepares, 1);
    mic(0.1f);
    mic(0.1f);
    finish();
    EXPECT_EQ(readSamples(first).size(), 8192u);
    recorder->stop(); // a second stop does nothing either
    EXPECT_EQ(m_input->stops, 1);

    // The file cannot be created: the writer's error, unchanged, and nothing started.
    EXPECT_THROW(recorder->start(pathFor("missing-folder/x.wav")), SystemError);
    EXPECT_FALSE(recorder->isRunning());
    EXPECT_EQ(m_input->starts, 1);

    // Capture cannot start: the empty file stays, the tap is gone.
    m_input->failStart = true;
    const QString orphan = pathFor("orphan.wav");
    try {
        recorder->start(orphan);
        ADD_FAILURE() << "start should fail";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error.kind(), RecorderError::Kind::failedToStart);
        EXPECT_EQ(error.description(), QStringLiteral("Failed to start audio engine"));
    }
    EXPECT_FALSE(recorder->isRunning());
    EXPECT_TRUE(QFileInfo::exists(orphan));
    EXPECT_FALSE(m_input->deliver(constantBuffer(0.1f, 4096)));
    recorder->ingestSystemBuffer(constantBuffer(0.1f, 4096)); // ignored while stopped
    recorder->waitForStopWork();
    EXPECT_EQ(m_vad->windows.size(), 2u);

    // No device (the input has no format): the same failure, and capture is not even tried.
    make("", 'S', AudioFormat{});
    EXPECT_THROW(recorder->start(pathFor("no-device.wav")), RecorderError);
    EXPECT_EQ(m_input->starts, 0);
    EXPECT_FALSE(recorder->isRunning());
}

TEST_F(SessionRecorderTest, StopWorkIsOrderedBeforeReadersAndTheNextSession) {
    make("");
    m_vad->analyzeDelay = std::chrono::milliseconds(10); // keep the IO queue busy behind stop()
    const QString first = pathFor("one.wav");
    const QString second = pathFor("two.wav");
    recorder->start(first);
    for (int i = 0; i < 30; ++i)
        mic(0.1f);
    recorder->stop();
    // Straight into the next session: the first file must be closed before this one opens, and
    // none of the first session's windows may land in the second file.
    recorder->start(second);
    EXPECT_EQ(readSamples(first).size(), 30u * 4096); // header complete, nothing missing
    m_vad->analyzeDelay = std::chrono::milliseconds(0);
    mic(0.7f);
    mic(0.7f);
    finish();
    const std::vector<float> next = readSamples(second);
    ASSERT_EQ(next.size(), 8192u);
    EXPECT_FLOAT_EQ(next.front(), 0.35f);

    // A coroutine awaits the stop work, then reads.
    const QString third = pathFor("three.wav");
    recorder->start(third);
    m_vad->analyzeDelay = std::chrono::milliseconds(10);
    for (int i = 0; i < 20; ++i)
        mic(0.2f);
    auto readAfterStop = [&]() -> QCoro::Task<std::size_t> {
        co_await recorder->stop();
        co_return readSamples(third).size();
    };
    EXPECT_EQ(QCoro::waitFor(readAfterStop()), 20u * 4096);
}

TEST_F(SessionRecorderTest, UndecidedAudioIsHeldUpToAMinuteKeepingTheNewest) {
    // One speech decision, then the model gives none: everything after is held while confirming,
    // and the flush at stop keeps what the bound let stay.
    make("S", '?');
    const QString path = pathFor("held.wav");
    recorder->start(path);
    const int windows = 300;
    for (int i = 0; i < windows; ++i)
        mic(0.001f * static_cast<float>(i + 1));
    finish();
    const std::vector<float> values = windowValues(readSamples(path));
    ASSERT_EQ(values.size(), SpeechGate::kMaxHeldWindows);
    const int firstKept = windows - static_cast<int>(SpeechGate::kMaxHeldWindows);
    for (std::size_t k = 0; k < values.size(); ++k)
        ASSERT_FLOAT_EQ(values[k], 0.0005f * static_cast<float>(firstKept + static_cast<int>(k) + 1)) << k;
}

TEST_F(SessionRecorderTest, WriteFailuresAreReportedAndRecordingGoesOn) {
    make("");
    const QString path = pathFor("full.wav");
    recorder->start(path);
    mic(0.1f);
    mic(0.1f);
    recorder->waitForStopWork(); // both written
    // The disk "fills up": writes beyond this size fail with EFBIG instead of killing us.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit saved = limit;
    limit.rlim_cur = static_cast<rlim_t>(QFileInfo(path).size());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    mic(0.2f);
    mic(0.2f);
    mic(0.2f);
    recorder->waitForStopWork();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0); // space again
    mic(0.3f);
    mic(0.3f);
    finish();

    {
        std::lock_guard lock(m_mutex);
        ASSERT_EQ(errors.size(), 3u);
        for (const RecorderError& error : errors) {
            EXPECT_EQ(error.kind(), RecorderError::Kind::fileWriteFailed);
            EXPECT_EQ(error.filePath(), path);
            ASSERT_NE(error.underlying(), nullptr);
            EXPECT_EQ(error.description(),
                      QStringLiteral("Failed to write to full.wav: ") + error.underlying()->description());
            EXPECT_FALSE(error.underlying()->description().isEmpty());
        }
        EXPECT_NE(errorThreads[0], std::this_thread::get_id());
    }
    EXPECT_EQ(m_vad->windows.size(), 7u);
    const std::vector<float> values = windowValues(readSamples(path));
    EXPECT_THAT(values, ElementsAre(FloatEq(0.05f), FloatEq(0.05f), FloatEq(0.15f), FloatEq(0.15f)));
}

TEST_F(SessionRecorderTest, DestroyingARunningRecorderFinishesTheFileWithoutCallingBack) {
    make("");
    const QString path = pathFor("abandoned.wav");
    recorder->start(path);
    for (int i = 0; i < 6; ++i)
        mic(0.1f);
    recorder.reset();
    EXPECT_EQ(readSamples(path).size(), 6u * 4096); // flushed and closed, header complete
    std::lock_guard lock(m_mutex);
    for (const auto& score : scores)
        EXPECT_TRUE(score.has_value()); // the stop work's "no score" never reached the owner
}
