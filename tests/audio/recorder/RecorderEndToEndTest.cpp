// The recorder against a real sound server (the "pulse" fixture's private daemon) and the real
// Silero gate: speech played into the microphone sink and into the speakers ends up in the session
// file as it was played.
#include "audio/PulseAudioInput.h"
#include "audio/SessionRecorder.h"
#include "audio/SystemAudioMonitor.h"
#include "audio/vad/SileroVADGate.h"

#include "RecorderTestSupport.h"
#include "support/PulseFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace murmurly;
using namespace murmurly::test;

namespace {

// Index of the first sample louder than a tenth of the peak, and the length from there to the
// last such sample.
std::pair<std::size_t, std::size_t> span(const std::vector<float>& x) {
    float top = 0;
    for (float v : x)
        top = std::max(top, std::fabs(v));
    const auto loud = [&](float v) { return std::fabs(v) >= top * 0.1f; };
    const auto first = std::find_if(x.begin(), x.end(), loud);
    const auto last = std::find_if(x.rbegin(), x.rend(), loud).base();
    return {std::size_t(first - x.begin()), std::size_t(std::max(last - first, std::ptrdiff_t{0}))};
}

// The best normalised cross-correlation of `recorded` with `reference`, their loud starts lined up
// and the lag searched `reach` samples either way; `bestLag` gets the lag that gave it.
double correlation(const std::vector<float>& recorded, const std::vector<float>& reference, long* bestLag,
                   long reach = 1600) {
    const long a0 = long(span(recorded).first), b0 = long(span(reference).first);
    double best = 0;
    for (long lag = -reach; lag <= reach; lag += 2) {
        double xy = 0, xx = 0, yy = 0;
        for (long i = 0; i < long(reference.size()) - b0; ++i) {
            const long j = a0 + lag + i;
            if (j < 0 || j >= long(recorded.size()))
                continue;
            const double x = recorded[std::size_t(j)], y = reference[std::size_t(b0 + i)];
            xy += x * y, xx += x * x, yy += y * y;
        }
        if (xx > 0 && yy > 0 && xy / std::sqrt(xx * yy) > best) {
            best = xy / std::sqrt(xx * yy);
            *bestLag = lag;
        }
    }
    return best;
}

// One session through the private sound server: the microphone input and the system-audio source
// feed the recorder with the real gate, while the test plays into the sinks.
class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PulseFixture::isAvailable());
        if (!QFileInfo::exists(qEnvironmentVariable("MURMURLY_VAD_MODEL")))
            GTEST_SKIP() << "no VAD model at MURMURLY_VAD_MODEL (run scripts/setup.sh)";
        ASSERT_TRUE(PulseFixture::restart()) << qPrintable(PulseFixture::lastError());
        // The monitor asked the server for its permission when it was made, before the restart,
        // when an earlier test may have left the server without devices or dead.
        monitor.setPermissionGranted(true);
        recorder.onVADScoreChange = [this](std::optional<float>) { ++windows; };
        monitor.onBuffer = [this](const PcmBuffer& buffer) { recorder.ingestSystemBuffer(buffer); };
    }

    // Speech from espeak-ng as played (`played`) and as 16 kHz reference samples.
    std::vector<float> speech(const QString& text, const QString& name, QString* played) {
        const QString raw = QDir::temp().filePath(name + "-raw.wav");
        const QString reference = QDir::temp().filePath(name + "-16k.wav");
        *played = QDir::temp().filePath(name + ".wav");
        EXPECT_TRUE(PulseFixture::speak(text, raw)) << qPrintable(PulseFixture::lastError());
        EXPECT_EQ(QProcess::execute("sox", {raw, *played, "norm", "-3"}), 0);
        EXPECT_EQ(QProcess::execute("sox", {*played, "-r", "16000", reference}), 0);
        return readSamples(reference);
    }

    void start() {
        ASSERT_TRUE(QTest::qWaitFor([&] { return monitor.permissionGranted(); }, 10000));
        recorder.start(session);
        monitor.start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return windows > 2; }, 10000)) << qPrintable(monitor.status());
        started.start();
        analysedAtStart = windows;
    }
    // How far the analysed audio lags real time now, in seconds.
    double lag() const { return started.elapsed() / 1000.0 - double(windows - analysedAtStart) * 0.256; }
    std::vector<float> stop() {
        QTest::qWait(300);
        monitor.stop();
        recorder.stop().waitForFinished();
        return readSamples(session);
    }
    // The speech is in the file once, at its own length, and is the played speech (not cut into
    // pieces, not stretched by silences).
    static void expectFaithful(const std::vector<float>& recorded, const std::vector<float>& reference) {
        const double expected = double(span(reference).second);
        EXPECT_NEAR(double(span(recorded).second), expected, expected * 0.05);
        long lag = 0;
        EXPECT_GE(correlation(recorded, reference, &lag), 0.9);
    }

    SessionRecorder recorder{std::make_unique<PulseAudioInput>(), std::make_unique<SileroVADGate>()};
    SystemAudioMonitor monitor;
    std::atomic<int> windows{0};
    int analysedAtStart = 0;
    QElapsedTimer started;
    const QString session = QDir::temp().filePath("session.wav");
};

const QString kFirst = QStringLiteral(
    "Good morning everyone. Let us look at the quarterly numbers now, and then at the plans for the "
    "next year, which the team prepared last week.");
const QString kSecond = QStringLiteral(
    "Thanks. The sales figures went up by twelve percent this year, mostly in the northern region.");

} // namespace

// System audio while the microphone runs silent.
TEST_F(EndToEnd, SystemAudioAloneIsRecordedFaithfully) {
    QString played;
    const std::vector<float> reference = speech(kFirst, "first", &played);
    start();
    ASSERT_TRUE(PulseFixture::play(played, QStringLiteral("speakers")));
    expectFaithful(stop(), reference);
}

// Two voices at once: both are in the file, each at its own moment, and the file lasts as long as
// the longer one (windows that alternated between the sources would double it).
TEST_F(EndToEnd, BothSourcesTalkingAtOnceShareTheirWindows) {
    QString micPlayed, sysPlayed;
    const std::vector<float> micVoice = speech(kFirst, "mic", &micPlayed);
    const std::vector<float> sysVoice = speech(kSecond, "sys", &sysPlayed);
    start();
    auto micPlayer = PulseFixture::startPlaying(micPlayed, QStringLiteral("mic_in"));
    auto sysPlayer = PulseFixture::startPlaying(sysPlayed, QStringLiteral("speakers"));
    ASSERT_TRUE(micPlayer && sysPlayer && micPlayer->waitForFinished(60000) &&
                sysPlayer->waitForFinished(60000));
    const std::vector<float> recorded = stop();
    // Equal loudness: each voice alone explains about half the mix.
    long micLag = 0, sysLag = 0;
    EXPECT_GE(correlation(recorded, micVoice, &micLag, 8000), 0.5);
    EXPECT_GE(correlation(recorded, sysVoice, &sysLag, 8000), 0.5);
    // The file spans from the first voice's start to the last one's end (the players start a few
    // tens of milliseconds apart, more on a busy machine); windows that alternated between the
    // sources would double that.
    const double micEnd = double(micLag) + double(span(micVoice).second);
    const double sysEnd = double(sysLag) + double(span(sysVoice).second);
    const double expected = std::max(micEnd, sysEnd) - double(std::min(micLag, sysLag));
    EXPECT_NEAR(double(span(recorded).second), expected, expected * 0.05) << micLag << " " << sysLag;
}

// The output is suspended mid-session (and comes back): the microphone's speech keeps flowing
// into the file, never more than half a second behind real time.
TEST_F(EndToEnd, ASuspendedOutputDoesNotHoldTheMicrophoneBack) {
    QString played;
    const std::vector<float> reference = speech(kFirst, "voice", &played);
    start();
    auto player = PulseFixture::startPlaying(played, QStringLiteral("mic_in"));
    ASSERT_TRUE(player);
    double worstLag = 0;
    for (int tick = 0; player->state() != QProcess::NotRunning; ++tick) {
        if (tick == 10 || tick == 40) {
            ASSERT_TRUE(PulseFixture::pactl({"suspend-sink", "speakers", tick == 10 ? "1" : "0"}));
        }
        QTest::qWait(100);
        worstLag = std::max(worstLag, lag());
    }
    EXPECT_LT(worstLag, 0.5);
    expectFaithful(stop(), reference);
}
