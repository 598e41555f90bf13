#include "audio/SessionRecorder.h"

#include "RecorderTestSupport.h"

#include <QCoroFuture>
#include <QCoroTask>
#include <QDir>
#include <QFileInfo>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
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
    mic(0.3f, 3000); // a partial window: flushed unscaled, as the gate ends open
    finish();
    EXPECT_FALSE(recorder->isRunning());
    EXPECT_EQ(m_input->stops, 1);

    // Windows 1, 2 open the gate; 3-5 are the pause; 6 closes it; 7 is speech held at stop.
    const std::vector<float> samples = readSamples(path);
    ASSERT_EQ(samples.size(), 6u * 4096 + 3000);
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
    ASSERT_EQ(levels.size(), 8u);        // one per 4096 frames: the last 3000 made none yet
    EXPECT_NEAR(levels[0], 0.02f, 1e-5); // 2 × RMS of a constant 0.01 (summed in 32-bit floats)
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

// Where each sample of a recording made with the microphone at 0.2 and the system at 0.6 came
// from: both (0.4 mixed), one alone (mixed with silence, or unscaled in the final tail).
struct Census {
    std::size_t both = 0, micOnly = 0, sysOnly = 0, other = 0, unscaled = 0;
    explicit Census(const std::vector<float>& samples) {
        for (float v : samples) {
            const auto is = [v](float x) { return std::fabs(v - x) < 1e-6f; };
            unscaled += is(0.2f) || is(0.6f) ? 1 : 0;
            std::size_t& slot = is(0.4f)               ? both
                                : is(0.1f) || is(0.2f) ? micOnly
                                : is(0.3f) || is(0.6f) ? sysOnly
                                                       : other;
            ++slot;
        }
    }
};

TEST_F(SessionRecorderTest, SourcesOfTheSameMomentShareAWindowThroughLateStartsAndStalls) {
    make("");
    const QString path = pathFor("aligned.wav");
    recorder->start(path);
    const auto rounds = [&](int n, bool withSys, bool withMic) {
        for (int i = 0; i < n; ++i) {
            if (withSys)
                sys(0.6f, 480); // 30 ms fragments, as the sound server sends them
            if (withMic)
                mic(0.2f, 480);
        }
    };
    rounds(10, true, false); // the microphone starts late
    rounds(40, true, true);
    rounds(40, false, true); // the output is suspended: the microphone must not wait for it
    recorder->waitForStopWork();
    // The file lags the microphone by at most a window, the allowed imbalance and a fragment.
    EXPECT_GE(m_vad->windows.size() * 4096 + 4096 + WindowMixer::kMaxImbalance + 480, 90u * 480);
    rounds(43, true, true); // and back
    mic(0.2f, 2000);        // the last words, which the output had no time to deliver
    finish();
    // Every full window was analysed, the stop's included; only the tail after it was not.
    const std::size_t total = 133 * 480 + 2000;
    EXPECT_LT(total - m_vad->windows.size() * 4096, 4096u);

    const std::vector<float> samples = readSamples(path);
    ASSERT_EQ(samples.size(), total); // one timeline: nothing doubled, nothing lost
    for (std::size_t i = 2 * 4096; i < 4 * 4096; ++i)
        ASSERT_FLOAT_EQ(samples[i], 0.4f) << i; // both at once, sample for sample
    const Census census(samples);
    EXPECT_EQ(census.other, 0u);
    EXPECT_EQ(census.both + census.sysOnly, 93u * 480);
    EXPECT_NEAR(double(census.sysOnly), 10 * 480, 480);
    EXPECT_NEAR(double(census.micOnly), 40 * 480 + 2000, 480);
    EXPECT_EQ(census.unscaled, total - m_vad->windows.size() * 4096);

    // At stop the microphone holds a full window the system never completed: that window is
    // still analysed and mixed; only what follows it goes in as the unscaled tail.
    const QString last = pathFor("last.wav");
    const std::size_t analysed = m_vad->windows.size();
    recorder->start(last);
    sys(0.6f, 3000);
    mic(0.2f, 4500);
    finish();
    EXPECT_EQ(m_vad->windows.size(), analysed + 1);
    const Census tail(readSamples(last));
    EXPECT_EQ(tail.both, 3000u);
    EXPECT_EQ(tail.micOnly, 1500u);
    EXPECT_EQ(tail.unscaled, 404u);
}

TEST_F(SessionRecorderTest, DriftingClocksAreRealignedWithSilenceKeepingTheLagBounded) {
    make("");
    const QString path = pathFor("drift.wav");
    recorder->start(path);
    // The microphone's clock runs 2 % fast: it delivers 490 samples for every 480 of the system.
    std::size_t micTotal = 0, sysTotal = 0, worstLag = 0;
    for (int i = 1; i <= 1500; ++i) {
        sys(0.6f, 480);
        mic(0.2f, 490);
        sysTotal += 480;
        micTotal += 490;
        if (i % 50 == 0) {
            recorder->waitForStopWork();
            worstLag = std::max(worstLag, micTotal - m_vad->windows.size() * 4096);
        }
    }
    finish();
    EXPECT_LE(worstLag, 4096 + WindowMixer::kMaxImbalance + 490);
    // Every sample of either source is in the file exactly once; the slower one got silence.
    const Census census(readSamples(path));
    EXPECT_EQ(census.other, 0u);
    EXPECT_EQ(census.both + census.micOnly, micTotal);
    EXPECT_EQ(census.both + census.sysOnly, sysTotal);
    EXPECT_LT(census.sysOnly, 2 * 490u);
}

// A 48 kHz stereo microphone in 20 ms fragments: the resampler runs on from one fragment to the
// next, so the result is the ideal 16 kHz sine everywhere, with no trace of the edges, and the
// stop flushes what the filter held (exactly a third of the frames).
TEST_F(SessionRecorderTest, ResamplesEachSourceAsOneContinuousStream) {
    const AudioFormat stereo{48000.0, 2, SampleType::Float32, true};
    make("", 'S', stereo);
    const QString path = pathFor("sine.wav");
    recorder->start(path);
    constexpr std::uint32_t fragment = 960;
    for (std::uint32_t i = 0; i < 150; ++i)
        ASSERT_TRUE(m_input->deliver(sineBuffer(stereo, fragment, 440.0, 0.5f, fragment * i)));
    finish();
    const std::vector<float> samples = readSamples(path);
    ASSERT_EQ(samples.size(), 150u * fragment / 3);
    // Whole windows are mixed at half amplitude, the tail after the last one goes in unscaled.
    const std::size_t tail = samples.size() / 4096 * 4096;
    double worst = 0;
    for (std::size_t n = fragment / 3; n < samples.size() - fragment / 3; ++n) {
        const double ideal = 0.5 * std::sin(2.0 * M_PI * 440.0 * double(n) / 16000.0);
        worst = std::max(worst, std::fabs((n < tail ? 2.0 : 1.0) * samples[n] - ideal));
    }
    EXPECT_LT(worst, 1e-3);
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
    // instead of 1486; the old one's last samples are handed over before the new one starts.
    const double expected = 10 * 4096 / 3.0 + 10 * 4096 * 16000.0 / 44100.0;
    EXPECT_NEAR(static_cast<double>(readSamples(path).size()), expected, 2.0);
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
        ASSERT_EQ(errors.size(), 1u); // one report for the whole stretch of failed windows
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
