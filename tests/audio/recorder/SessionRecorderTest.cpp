#include "audio/SessionRecorder.h"
#include "audio/WavHeaderRepair.h"

#include "RecorderTestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <string_view>
#include <sys/resource.h>
#include <tuple>

using namespace murmurly;
using namespace murmurly::test;
using namespace ::testing;

namespace {

class SessionRecorderTest : public ::testing::Test {
protected:
    void make(std::string script, char afterScript = 'S', AudioFormat micFormat = AudioFormat::working()) {
        auto input = std::make_unique<ScriptedAudioInput>();
        input->format = micFormat;
        auto vad = std::make_unique<ScriptedVAD>();
        vad->script = std::move(script);
        vad->after = afterScript;
        m_input = input.get();
        m_vad = vad.get();
        recorder = std::make_unique<SessionRecorder>(std::move(input), std::move(vad));
        recorder->onLevel = [this](float level) { note(levels, level, true); };
        recorder->onVADScoreChange = [this](std::optional<float> p) { note(scores, p, false); };
        recorder->onError = [this](const RecorderError& error) { note(errors, error, false); };
        recorder->onSilenceStateChange = [this](bool silent) { note(silence, silent, false); };
    }
    // Levels come on the capture thread (here: the test's, which delivers), the rest on the IO queue.
    template <typename T>
    void note(std::vector<T>& list, const T& value, bool onCaptureThread) {
        std::lock_guard lock(m_mutex);
        list.push_back(value);
        wrongThread += (std::this_thread::get_id() == testThread) != onCaptureThread ? 1 : 0;
    }

    static QString pathFor(const QString& name) { return QDir::temp().filePath(name); }
    void mic(float value, std::uint32_t frames = 4096) {
        ASSERT_TRUE(m_input->deliver(constantBuffer(value, frames)));
    }
    void sys(float value, std::uint32_t frames = 4096) {
        recorder->ingestSystemBuffer(constantBuffer(value, frames));
    }
    void finish() { recorder->stop().waitForFinished(); }
    void expectStartFails(const QString& path) {
        EXPECT_THAT([&] { recorder->start(path); },
                    ThrowsMessage<RecorderError>(StrEq("Failed to start audio engine")));
        EXPECT_FALSE(recorder->isRunning());
    }

    static inline const std::thread::id testThread = std::this_thread::get_id();
    ScriptedAudioInput* m_input = nullptr;
    ScriptedVAD* m_vad = nullptr;
    std::unique_ptr<SessionRecorder> recorder;
    std::mutex m_mutex;
    std::vector<float> levels;
    std::vector<std::optional<float>> scores;
    std::vector<bool> silence;
    std::vector<RecorderError> errors;
    int wrongThread = 0;
};

// Where each sample of a recording made with the microphone at 0.2 and the system at 0.6 came
// from: both (0.4 mixed), one alone (mixed with silence, or unscaled in the final tail).
struct Census {
    std::size_t both = 0, micOnly = 0, sysOnly = 0, other = 0, unscaled = 0;
    explicit Census(const std::vector<float>& samples) {
        for (float v : samples) {
            const auto is = [v](float x) { return std::fabs(v - x) < 1e-6f; };
            unscaled += is(0.2f) || is(0.6f) ? 1 : 0;
            ++(is(0.4f) ? both : is(0.1f) || is(0.2f) ? micOnly : is(0.3f) || is(0.6f) ? sysOnly : other);
        }
    }
};

} // namespace

TEST_F(SessionRecorderTest, MicrophoneAloneIsGatedAtHalfAmplitudeWithCallbacksOnTheirThreads) {
    make("NSSNNNNSSN", 'N');
    const QString path = pathFor("session.wav");
    recorder->start(path);
    EXPECT_TRUE(recorder->isRunning());
    EXPECT_EQ(m_vad->prepares, 1);
    for (int i = 0; i < 8; ++i)
        mic(0.01f * float(i + 1));
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

    // Stopped while waiting for speech (a lone 'S' then 'N'): the tail is not written.
    const QString quiet = pathFor("quiet.wav");
    recorder->start(quiet);
    mic(0.1f);
    mic(0.1f);
    mic(0.1f, 2000);
    sys(0.1f, 100);
    finish();
    EXPECT_TRUE(readSamples(quiet).empty());

    std::lock_guard lock(m_mutex);
    ASSERT_EQ(levels.size(), 10u);       // one per 4096 frames: the partial ones made none yet
    EXPECT_NEAR(levels[0], 0.02f, 1e-5); // 2 × RMS of a constant 0.01 (summed in 32-bit floats)
    ASSERT_EQ(scores.size(), 12u);
    EXPECT_THAT(scores[0], Optional(FloatEq(0.1f)));
    EXPECT_THAT(scores[1], Optional(FloatEq(0.9f)));
    EXPECT_EQ(scores[8], std::nullopt); // each stop work ends the score
    EXPECT_EQ(scores.back(), std::nullopt);
    EXPECT_EQ(wrongThread, 0);
    EXPECT_THAT(silence, ElementsAre(true, false, true, false, true, false)); // the stop work clears it
    EXPECT_TRUE(errors.empty());
}

TEST_F(SessionRecorderTest, SourcesOfTheSameMomentShareAWindowThroughLateStartsAndStalls) {
    make("");
    const QString path = pathFor("aligned.wav");
    recorder->start(path);
    const auto rounds = [&](int n, bool withSys, bool withMic, std::uint32_t frames = 480) {
        for (int i = 0; i < n; ++i) {
            if (withSys)
                sys(0.6f, frames);
            if (withMic)
                mic(0.2f, frames);
        }
    };
    rounds(8, true, false, 512); // the microphone starts a window late
    rounds(40, true, true);      // 30 ms fragments, as the sound server sends them
    rounds(40, false, true);     // the output is suspended: the microphone must not wait for it
    recorder->waitForStopWork();
    // The file lags the microphone by at most a window, the allowed imbalance and a fragment.
    EXPECT_LE(4096 + 80 * 480, m_vad->windows.size() * 4096 + 4096 + WindowMixer::kMaxImbalance + 480);
    rounds(43, true, true); // and back
    mic(0.2f, 2000);        // the last words, which the output had no time to deliver
    finish();
    const std::size_t micTotal = 123 * 480 + 2000, sysTotal = 8 * 512 + 83 * 480;
    const std::vector<float> samples = readSamples(path);
    // One timeline: every sample of either source is in the file exactly once, nothing doubled.
    ASSERT_EQ(samples.size(), 4096 + micTotal);
    EXPECT_LT(samples.size() - m_vad->windows.size() * 4096, 4096u); // every full window was analysed
    EXPECT_THAT(windowValues(samples)[0], FloatEq(0.3f));            // the system alone, at half amplitude
    for (std::size_t i = 4096; i < 4 * 4096; ++i)
        ASSERT_FLOAT_EQ(samples[i], 0.4f) << i; // both at once, sample for sample
    // The output comes back at the present, beside the microphone's newest fragment (the 80th),
    // not where it had left off.
    const std::size_t resumed = 4096 + 79 * 480;
    EXPECT_FLOAT_EQ(samples[resumed - 1], 0.1f);
    EXPECT_FLOAT_EQ(samples[resumed], 0.4f);
    const Census census(samples);
    EXPECT_EQ(census.other, 0u);
    EXPECT_EQ(census.both + census.sysOnly, sysTotal);
    EXPECT_EQ(census.both + census.micOnly, micTotal);
    // Analysed windows are mixed; after them, the last words alone go in unscaled.
    const std::size_t windowed = m_vad->windows.size() * 4096;
    EXPECT_EQ(Census({samples.begin(), samples.begin() + long(windowed)}).unscaled, 0u);
    EXPECT_GE(census.unscaled, 2000u);

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

    // Fragments that come late are not a source coming back: after a window both filled, the
    // microphone's next two arrive before the system's, which still go beside them.
    const QString late = pathFor("late.wav");
    recorder->start(late);
    for (int i = 0; i < 2; ++i)
        sys(0.6f, 2048), mic(0.2f, 2048);
    mic(0.2f, 480), mic(0.2f, 480);
    sys(0.6f, 480), sys(0.6f, 480);
    finish();
    EXPECT_EQ(Census(readSamples(late)).both, 4096u + 960u);

    // Clocks that drift apart are realigned with silence, keeping the lag bounded. The
    // microphone's clock runs 2 % fast: it delivers 490 samples for every 480 of the system.
    const std::size_t before = m_vad->windows.size();
    recorder->start(pathFor("drift.wav"));
    std::size_t worstLag = 0;
    for (std::size_t i = 1; i <= 1500; ++i) {
        sys(0.6f, 480);
        mic(0.2f, 490);
        if (i % 50 == 0) {
            recorder->waitForStopWork();
            worstLag = std::max(worstLag, i * 490 - (m_vad->windows.size() - before) * 4096);
        }
    }
    finish();
    EXPECT_LE(worstLag, 4096 + WindowMixer::kMaxImbalance + 490);
    // Every sample of either source is in the file exactly once; the slower one got silence.
    const Census drifted(readSamples(pathFor("drift.wav")));
    EXPECT_EQ(drifted.other, 0u);
    EXPECT_EQ(drifted.both + drifted.micOnly, 1500u * 490);
    EXPECT_EQ(drifted.both + drifted.sysOnly, 1500u * 480);
    EXPECT_LT(drifted.sysOnly, 2 * 490u);
}

TEST_F(SessionRecorderTest, ResamplesEachSourceAsOneContinuousStreamAndAfreshWhenItsRateChanges) {
    // A 48 kHz stereo microphone in 20 ms fragments: the resampler runs on from one fragment to
    // the next, so the result is the ideal 16 kHz sine everywhere, with no trace of the edges, and
    // the stop flushes what the filter held (exactly a third of the frames).
    const AudioFormat stereo{48000.0, 2, SampleType::Float32, true};
    make("", 'S', stereo);
    const QString path = pathFor("sine.wav");
    recorder->start(path);
    constexpr std::uint32_t fragment = 960;
    for (std::uint32_t i = 0; i < 150; ++i)
        ASSERT_TRUE(m_input->deliver(sineBuffer(stereo, fragment, 440.0, fragment * i)));
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

    // The system audio switches from 48 kHz mono to 44.1 kHz stereo. A converter kept from the
    // first would turn each 44.1 kHz buffer into 1365 frames instead of 1486; the old one's last
    // samples are handed over before the new one starts.
    const QString switched = pathFor("switch.wav");
    recorder->start(switched);
    for (const AudioFormat& format : {AudioFormat{48000.0, 1, SampleType::Float32, true},
                                      AudioFormat{44100.0, 2, SampleType::Float32, true}})
        for (std::uint32_t i = 0; i < 10; ++i)
            recorder->ingestSystemBuffer(sineBuffer(format, 4096, 300.0, 4096u * i));
    finish();
    EXPECT_NEAR(double(readSamples(switched).size()), 10 * 4096 / 3.0 + 10 * 4096 * 16000.0 / 44100.0, 2.0);
}

TEST_F(SessionRecorderTest, StartStopAndFailuresAcrossSessions) {
    make("");
    EXPECT_TRUE(recorder->stop().isFinished()); // stop without start: nothing at all
    EXPECT_EQ(m_input->stops, 0);
    m_vad->analyzeDelay = std::chrono::milliseconds(10); // keep the IO queue busy behind stop()
    const QString first = pathFor("first.wav");
    recorder->start(first);
    recorder->start(pathFor("ignored.wav")); // already running: ignored
    EXPECT_FALSE(QFileInfo::exists(pathFor("ignored.wav")));
    EXPECT_EQ(m_input->starts, 1);
    EXPECT_EQ(m_vad->prepares, 1);
    for (int i = 0; i < 30; ++i)
        mic(0.1f);
    recorder->stop();
    recorder->stop(); // a second stop does nothing either
    EXPECT_EQ(m_input->stops, 1);
    // Straight into the next session: the first file must be closed before this one opens, and
    // none of the first session's windows may land in the second file.
    const QString second = pathFor("second.wav");
    recorder->start(second);
    EXPECT_EQ(readSamples(first).size(), 30u * 4096); // header complete, nothing missing
    mic(0.7f);
    mic(0.7f);
    finish();
    EXPECT_THAT(readSamples(second), AllOf(SizeIs(8192u), Each(FloatEq(0.35f))));
    m_vad->analyzeDelay = {};

    // The file cannot be created: the writer's error, unchanged, and nothing started.
    EXPECT_THROW(recorder->start(pathFor("missing-folder/x.wav")), SystemError);
    EXPECT_FALSE(recorder->isRunning());
    EXPECT_EQ(m_input->starts, 2);

    // Capture cannot start: the empty file stays, the tap is gone.
    m_input->failStart = true;
    const QString orphan = pathFor("orphan.wav");
    expectStartFails(orphan);
    EXPECT_TRUE(QFileInfo::exists(orphan));
    EXPECT_FALSE(m_input->deliver(constantBuffer(0.1f, 4096)));
    sys(0.1f); // ignored while stopped
    recorder->waitForStopWork();
    EXPECT_EQ(m_vad->windows.size(), 32u);

    // A recorder destroyed mid-session finishes its file without calling back into its owner
    // (no "no score" from its stop work).
    m_input->failStart = false;
    const QString abandoned = pathFor("abandoned.wav");
    recorder->start(abandoned);
    for (int i = 0; i < 6; ++i)
        mic(0.1f);
    const auto scoresEnded = [&] {
        std::lock_guard lock(m_mutex);
        return std::count(scores.begin(), scores.end(), std::nullopt);
    };
    const auto ended = scoresEnded();
    recorder.reset();
    EXPECT_EQ(readSamples(abandoned).size(), 6u * 4096); // flushed and closed, header complete
    EXPECT_EQ(scoresEnded(), ended);

    // No device (the input has no format): the same failure, and capture is not even tried.
    make("", 'S', AudioFormat{});
    expectStartFails(pathFor("no-device.wav"));
    EXPECT_EQ(m_input->starts, 0);

    // Write failures are reported once, and recording goes on.
    make("");
    const QString path = pathFor("full.wav");
    recorder->start(path);
    mic(0.1f);
    mic(0.1f);
    recorder->waitForStopWork(); // both written
    // The disk "fills up": writes beyond this size fail with EFBIG instead of killing us.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit full{rlim_t(QFileInfo(path).size()), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    for (int i = 0; i < 3; ++i)
        mic(0.2f);
    recorder->waitForStopWork();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0); // space again
    mic(0.3f);
    mic(0.3f);
    finish();
    EXPECT_EQ(m_vad->windows.size(), 7u);
    EXPECT_THAT(windowValues(readSamples(path)),
                ElementsAre(FloatEq(0.05f), FloatEq(0.05f), FloatEq(0.15f), FloatEq(0.15f)));
    std::lock_guard lock(m_mutex);
    ASSERT_EQ(errors.size(), 1u); // one report for the whole stretch of failed windows
    EXPECT_EQ(errors[0].kind(), RecorderError::Kind::fileWriteFailed);
    EXPECT_EQ(errors[0].filePath(), path);
    ASSERT_NE(errors[0].underlying(), nullptr);
    EXPECT_FALSE(errors[0].underlying()->description().isEmpty());
    EXPECT_EQ(errors[0].description(),
              "Failed to write to full.wav: " + errors[0].underlying()->description());
    EXPECT_EQ(wrongThread, 0);
}

TEST(RecorderCrashSafety, ReleasedAudioSurvivesTheProcessBeingKilled) {
    const QString path = QDir::temp().filePath("killed.wav");
    QProcess helper;
    helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper.start(QStringLiteral(RECORDER_CRASH_HELPER), {path});
    ASSERT_TRUE(helper.waitForStarted());

    // Let it release about 20 s of audio (80 windows), then kill it without warning.
    int released = 0;
    while (released < 80) {
        ASSERT_TRUE(helper.waitForReadyRead(30000)) << "the helper stopped reporting";
        while (helper.canReadLine()) {
            const QByteArray line = helper.readLine().trimmed();
            ASSERT_TRUE(line.startsWith("released ")) << line.constData();
            released = line.mid(9).toInt();
        }
    }
    helper.kill(); // SIGKILL
    ASSERT_TRUE(helper.waitForFinished());
    ASSERT_EQ(helper.exitStatus(), QProcess::CrashExit);

    // Even unrepaired, the header is at most about a second (16000 frames, plus the window in
    // flight) behind what had been released.
    const std::int64_t stated = AudioFileReader::open(path)->length();
    EXPECT_GE(stated + 16000 + 4096, std::int64_t{released} * 4096);

    WavHeaderRepair::repairIfNeeded(path);
    const std::vector<float> samples = readSamples(path);
    ASSERT_GE(samples.size(), std::size_t(released) * 4096);
    // Whole windows, in order, nothing torn: every released window is intact.
    for (std::size_t w = 0; w < std::size_t(released); ++w) {
        ASSERT_FLOAT_EQ(samples[w * 4096], crashWindowValue(int(w)) * 0.5f) << "window " << w;
        ASSERT_FLOAT_EQ(samples[w * 4096 + 4095], crashWindowValue(int(w)) * 0.5f) << "window " << w;
    }
}

TEST(SpeechGate, ReleasesWindowsAsThePatternDictates) {
    // One 4096-sample window per script character ('S' speech, 'N' none, '?' undecided); window i
    // holds the value i. Returns the windows released, in order.
    const auto run = [](SpeechGate& gate, std::string_view script, bool stop = false) {
        std::string written;
        const auto write = [&](const float* samples, std::size_t count) {
            written += char('0' + int(samples[0]));
            EXPECT_EQ(count, 4096u);
        };
        for (std::size_t i = 0; i < script.size(); ++i)
            gate.process(SpeechGate::Window(4096, float(i)), ScriptedVAD::resultFor(script[i]), write);
        if (stop)
            gate.flush({}, {}, write);
        return written;
    };
    // Script, windows written, state at the end.
    const std::tuple<const char*, const char*, GateState> patterns[] = {
        // A lone speech window is not enough; it is dropped with the next non-speech one.
        {"SN", "", GateState::waitingForSpeech},
        {"SS", "01", GateState::recording},
        {"NNSNSS", "45", GateState::recording},
        // Three non-speech windows after speech are kept, the fourth closes the gate.
        {"SSNNNN", "01234", GateState::waitingForSpeech},
        {"SSNNN", "01234", GateState::recording},
        // Speech in the pause starts the count again.
        {"SSNNNSNNNN", "012345678", GateState::waitingForSpeech},
        // After closing, confirmation starts from nothing.
        {"SSNNNNSN", "01234", GateState::waitingForSpeech},
        {"SSNNNNSS", "0123467", GateState::recording},
        // Undecided windows while confirming count towards the half second and are released with it.
        {"S?S", "012", GateState::recording},
        // Undecided windows while waiting are superseded by the first speech window.
        {"??SS", "23", GateState::recording},
        // Undecided windows while recording are held, never written, and forgotten on closing.
        {"SS??NNNN", "01456", GateState::waitingForSpeech},
    };
    for (const auto& [script, written, finalState] : patterns) {
        SpeechGate gate;
        EXPECT_EQ(run(gate, script), written) << script;
        EXPECT_EQ(gate.state(), finalState) << script;
    }
    // One speech decision, then the model gives none: what follows is held while confirming, up
    // to the bound, the newest kept; the stop writes what stayed.
    SpeechGate bounded(3);
    EXPECT_EQ(run(bounded, "S??????", true), "456");
}
