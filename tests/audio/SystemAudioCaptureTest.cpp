// Real audio through a private PulseAudio daemon: what is played into its sinks must come out of
// SystemAudioMonitor and PulseAudioInput, across device switches and a server that dies.

#include "audio/CaptureTestSupport.h"
#include "audio/PulseAudioInput.h"
#include "audio/SystemAudioMonitor.h"
#include "support/PulseFixture.h"

#include <QProcess>

#include <atomic>

using namespace murmurly;
using namespace murmurly::test;

namespace {

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PulseFixture::isAvailable()) << "run through ctest: the test needs the pulse fixture";
        // A fresh daemon: an earlier test may have switched defaults or killed it.
        ASSERT_TRUE(PulseFixture::restart()) << PulseFixture::lastError().toStdString();
        speech = makeSpeech();
        speechSamples = readMonoFile(speech, &speechRate);
        speechSpan = soundSpan(speechSamples, speechRate);
        ASSERT_TRUE(speechSpan.has_value());
    }

    // Plays the speech into `sink` while the capture runs, then lets half a second of silence
    // follow so that the end of the speech has been delivered.
    void playAndDrain(const std::function<std::size_t()>& blocks, const QString& sink,
                      float* maxLevel = nullptr, const std::function<float()>& level = {}) {
        auto player = PulseFixture::startPlaying(speech, sink);
        ASSERT_TRUE(player) << PulseFixture::lastError().toStdString();
        ASSERT_TRUE(waitFor([&] {
            if (maxLevel && level)
                *maxLevel = std::max(*maxLevel, level());
            return player->state() == QProcess::NotRunning;
        }));
        ASSERT_EQ(player->exitCode(), 0);
        const std::size_t after = blocks();
        ASSERT_TRUE(waitFor([&] { return blocks() >= after + 6; }));
    }

    QString speech;
    std::vector<float> speechSamples;
    double speechRate = 0;
    std::optional<double> speechSpan;
};

// The captured speech lasts as long as the played one (5 % either way).
void expectSpeechDuration(const std::vector<float>& captured, double rate, double expected) {
    const auto span = soundSpan(captured, rate);
    ASSERT_TRUE(span.has_value()) << "nothing audible was captured";
    EXPECT_NEAR(*span, expected, expected * 0.05);
}

TEST_F(CaptureTest, SystemAudioDeliversPlayedSpeechWithLevelUntilStopped) {
    SystemAudioMonitor monitor;
    ASSERT_TRUE(waitFor([&] { return monitor.permissionGranted(); }));
    BlockCollector collector;
    std::atomic<bool> onSampleQueue{true};
    monitor.onBuffer = [&](const PcmBuffer& buffer) {
        // The buffer comes on the capture thread, never on the main thread.
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            onSampleQueue = false;
        collector.add(buffer);
    };
    std::vector<float> levels;
    monitor.onLevel = [&](float level) {
        EXPECT_EQ(level, monitor.level()) << "onLevel comes after the published level";
        levels.push_back(level);
    };

    monitor.start();
    EXPECT_TRUE(monitor.isMonitoring());
    EXPECT_EQ(monitor.status(), QStringLiteral("Monitoring..."));
    ASSERT_TRUE(waitFor([&] { return collector.blockCount() > 2; }));
    collector.clear();

    float maxLevel = 0;
    playAndDrain([&] { return collector.blockCount(); }, QStringLiteral("speakers"), &maxLevel,
                 [&] { return monitor.level(); });
    EXPECT_GT(maxLevel, 0.05f);
    EXPECT_FALSE(levels.empty());

    monitor.stop();
    const std::size_t blocksAtStop = collector.blockCount();
    EXPECT_FALSE(monitor.isMonitoring());
    EXPECT_EQ(monitor.level(), 0.0f);
    EXPECT_EQ(monitor.status(), QStringLiteral("Stopped"));
    // Levels posted before the stop must not bring the meter back; no block arrives any more.
    QTest::qWait(400);
    EXPECT_EQ(monitor.level(), 0.0f);
    EXPECT_EQ(collector.blockCount(), blocksAtStop);
    EXPECT_TRUE(PulseFixture::recordingSources().isEmpty());

    EXPECT_TRUE(onSampleQueue);
    for (const AudioFormat& format : collector.formats())
        EXPECT_EQ(format, (AudioFormat{44100.0, 1, SampleType::Float32, false}));
    // Small fragments, so that a stop loses little and the two sources stay in step.
    for (std::uint32_t frames : collector.frameLengths())
        EXPECT_LE(frames, 2205u); // 50 ms
    expectSpeechDuration(collector.samples(), 44100.0, *speechSpan);
    // The mono speech plays on both channels of the sink and comes back as loud as it went in:
    // the monitor's channels are averaged into the one captured channel, not added up (PipeWire
    // adds them unless told otherwise, which reads 3 dB louder than PulseAudio).
    EXPECT_NEAR(energy(collector.samples(), 44100.0) / energy(speechSamples, speechRate), 1.0, 0.15);
}

TEST_F(CaptureTest, SystemAudioFollowsTheDefaultSinkToANewDeviceAndBackWhenItIsRemoved) {
    const int headphones = PulseFixture::loadNullSink(QStringLiteral("headphones"));
    ASSERT_GE(headphones, 0) << PulseFixture::lastError().toStdString();
    SystemAudioMonitor monitor;
    ASSERT_TRUE(waitFor([&] { return monitor.permissionGranted(); }));
    BlockCollector collector;
    monitor.onBuffer = [&](const PcmBuffer& buffer) { collector.add(buffer); };
    monitor.start();
    ASSERT_TRUE(waitFor([&] { return collector.blockCount() > 2; }));
    EXPECT_EQ(PulseFixture::recordingSources(), QStringList{QStringLiteral("speakers.monitor")});

    // A change of the default *source* makes the server move streams that were on the old default
    // along with it; the capture belongs on the default sink's monitor and has to go back there.
    ASSERT_TRUE(
        PulseFixture::pactl({QStringLiteral("set-default-source"), QStringLiteral("speakers.monitor")}));
    ASSERT_TRUE(
        PulseFixture::pactl({QStringLiteral("set-default-source"), QStringLiteral("mic_in.monitor")}));
    ASSERT_TRUE(waitFor([] { return PulseFixture::recordingSources() == QStringList{"speakers.monitor"}; }))
        << PulseFixture::recordingSources().join(u',').toStdString();

    // The user plugs in headphones: the capture has to move with the default output.
    ASSERT_TRUE(PulseFixture::setDefaultSink(QStringLiteral("headphones")));
    ASSERT_TRUE(waitFor([] { return PulseFixture::recordingSources() == QStringList{"headphones.monitor"}; }))
        << PulseFixture::recordingSources().join(u',').toStdString();

    // What still plays on the old device is no longer captured; what plays on the new one is.
    collector.clear();
    playAndDrain([&] { return collector.blockCount(); }, QStringLiteral("speakers"));
    EXPECT_FALSE(soundSpan(collector.samples(), 44100.0).has_value());
    collector.clear();
    playAndDrain([&] { return collector.blockCount(); }, QStringLiteral("headphones"));
    expectSpeechDuration(collector.samples(), 44100.0, *speechSpan);

    // The headphones are unplugged: the server picks another default, and the capture goes there.
    ASSERT_TRUE(PulseFixture::pactl({QStringLiteral("unload-module"), QString::number(headphones)}));
    // (PipeWire names no real sink, "@DEFAULT_SINK@", for a moment before it has picked one.)
    QString fallback;
    ASSERT_TRUE(waitFor([&] {
        PulseFixture::pactl({QStringLiteral("get-default-sink")}, &fallback);
        fallback = fallback.trimmed();
        return !fallback.isEmpty() && !fallback.startsWith(u'@');
    })) << fallback.toStdString();
    ASSERT_NE(fallback, QStringLiteral("headphones"));
    ASSERT_TRUE(waitFor([&] {
        return PulseFixture::recordingSources() == QStringList{fallback + ".monitor"};
    })) << PulseFixture::recordingSources().join(u',').toStdString();
    collector.clear();
    playAndDrain([&] { return collector.blockCount(); }, fallback);
    expectSpeechDuration(collector.samples(), 44100.0, *speechSpan);
    EXPECT_EQ(monitor.status(), QStringLiteral("Monitoring..."));
    monitor.stop();
}

TEST_F(CaptureTest, SystemAudioSurvivesTheServerDyingAndResumesWhenItReturns) {
    SystemAudioMonitor monitor;
    ASSERT_TRUE(waitFor([&] { return monitor.permissionGranted(); }));
    BlockCollector collector;
    monitor.onBuffer = [&](const PcmBuffer& buffer) { collector.add(buffer); };
    monitor.start();
    ASSERT_TRUE(waitFor([&] { return collector.blockCount() > 2; }));

    ASSERT_TRUE(PulseFixture::kill());
    ASSERT_TRUE(waitFor([&] {
        return monitor.status().startsWith(QStringLiteral("Sound server connection lost"));
    })) << monitor.status().toStdString();
    EXPECT_TRUE(monitor.isMonitoring()) << "the capture stays on while the server is away";
    EXPECT_EQ(monitor.level(), 0.0f);
    // Retries against a missing server go on quietly.
    QTest::qWait(1200);
    EXPECT_TRUE(monitor.status().startsWith(QStringLiteral("Sound server connection lost")));

    ASSERT_TRUE(PulseFixture::start()) << PulseFixture::lastError().toStdString();
    ASSERT_TRUE(waitFor([&] { return monitor.status() == QStringLiteral("Monitoring..."); }))
        << monitor.status().toStdString();
    collector.clear();
    ASSERT_TRUE(waitFor([&] { return collector.blockCount() > 2; }));
    collector.clear();
    playAndDrain([&] { return collector.blockCount(); }, QStringLiteral("speakers"));
    expectSpeechDuration(collector.samples(), 44100.0, *speechSpan);
    monitor.stop();
    EXPECT_EQ(monitor.status(), QStringLiteral("Stopped"));
}

TEST_F(CaptureTest, MicrophoneTapsTheDefaultSourceInItsOwnFormat) {
    PulseAudioInput input;
    // mic_in is a stereo null sink; its monitor is the default source.
    const AudioFormat format = input.inputFormat();
    EXPECT_EQ(format, (AudioFormat{PulseFixture::sourceRate(QStringLiteral("mic_in.monitor")), 2,
                                   SampleType::Float32, true}));
    BlockCollector collector;
    input.installTap(4096, [&](const PcmBuffer& buffer) { collector.add(buffer); });
    input.start();
    ASSERT_TRUE(waitFor([&] { return collector.blockCount() > 2; }));
    EXPECT_EQ(PulseFixture::recordingSources(), QStringList{QStringLiteral("mic_in.monitor")});
    collector.clear();

    playAndDrain([&] { return collector.blockCount(); }, QStringLiteral("mic_in"));
    input.stop();
    const std::size_t blocksAtStop = collector.blockCount();
    QTest::qWait(300);
    EXPECT_EQ(collector.blockCount(), blocksAtStop) << "no tap call after stop()";

    for (const AudioFormat& blockFormat : collector.formats())
        EXPECT_EQ(blockFormat, format);
    // Small fragments, so that a stop loses little and the two sources stay in step.
    for (std::uint32_t frames : collector.frameLengths())
        EXPECT_LE(frames, 2205u); // 50 ms
    expectSpeechDuration(collector.samples(), format.sampleRate, *speechSpan);
}

TEST_F(CaptureTest, MicrophoneFollowsTheDefaultSourceWhenTheUserPicksAnother) {
    ASSERT_GE(PulseFixture::loadNullSink(QStringLiteral("usb_mic")), 0)
        << PulseFixture::lastError().toStdString();
    PulseAudioInput input;
    const AudioFormat format = input.inputFormat();
    BlockCollector collector;
    input.installTap(4096, [&](const PcmBuffer& buffer) { collector.add(buffer); });
    input.start();
    ASSERT_TRUE(waitFor([&] { return collector.blockCount() > 2; }));

    ASSERT_TRUE(
        PulseFixture::pactl({QStringLiteral("set-default-source"), QStringLiteral("usb_mic.monitor")}));
    ASSERT_TRUE(waitFor([] { return PulseFixture::recordingSources() == QStringList{"usb_mic.monitor"}; }))
        << PulseFixture::recordingSources().join(u',').toStdString();
    collector.clear();
    playAndDrain([&] { return collector.blockCount(); }, QStringLiteral("usb_mic"));
    input.stop();
    // The tap keeps the format the session started with; the server converts for the new device.
    for (const AudioFormat& blockFormat : collector.formats())
        EXPECT_EQ(blockFormat, format);
    expectSpeechDuration(collector.samples(), format.sampleRate, *speechSpan);
}

} // namespace
