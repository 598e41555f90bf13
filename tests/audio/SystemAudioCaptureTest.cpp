// Real audio through a private sound server: what is played into its sinks must come out of
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

const AudioFormat kMonitorFormat{44100.0, 1, SampleType::Float32, false};

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PulseFixture::isAvailable()) << "run through ctest: the test needs the pulse fixture";
        // A fresh server: an earlier test may have switched defaults or killed it.
        ASSERT_TRUE(PulseFixture::restart()) << PulseFixture::lastError().toStdString();
        speech = QDir::temp().filePath(QStringLiteral("speech.wav"));
        ASSERT_TRUE(
            PulseFixture::speak(QStringLiteral("Murmurly keeps what you hear and what you say."), speech))
            << PulseFixture::lastError().toStdString();
        auto reader = AudioFileReader::open(speech);
        speechRate = reader->processingFormat().sampleRate;
        auto buffer = PcmBuffer::create(reader->processingFormat(), 1 << 20);
        reader->read(*buffer);
        speechSamples.assign(buffer->floatChannelData(0),
                             buffer->floatChannelData(0) + buffer->frameLength());
        ASSERT_TRUE(soundSpan(speechSamples, speechRate).has_value());
    }

    void startMonitor() {
        monitor.emplace();
        ASSERT_TRUE(waitFor([&] { return monitor->permissionGranted(); }));
        monitor->onBuffer = [&](const PcmBuffer& buffer) {
            if (QThread::currentThread() == QCoreApplication::instance()->thread())
                offMainThread = false;
            collector.add(buffer);
        };
        monitor->start();
        ASSERT_TRUE(waitFor([&] { return collector.blockCount() > 2; }));
    }

    // Plays the speech into `sink` while the capture runs, lets a few blocks of silence follow so
    // that its end has been delivered, and gives back what was captured meanwhile.
    std::vector<float> captureSpeech(const QString& sink, const std::function<void()>& whilePlaying = {}) {
        collector.clearSamples();
        auto player = PulseFixture::startPlaying(speech, sink);
        EXPECT_TRUE(player) << PulseFixture::lastError().toStdString();
        EXPECT_TRUE(player && waitFor([&] {
                        if (whilePlaying)
                            whilePlaying();
                        return player->state() == QProcess::NotRunning;
                    }));
        EXPECT_TRUE(player && player->exitCode() == 0);
        const std::size_t after = collector.blockCount();
        EXPECT_TRUE(waitFor([&] { return collector.blockCount() >= after + 6; }));
        return collector.samples();
    }

    // The captured speech lasts as long as the played one (5 % either way).
    void expectSpeech(const std::vector<float>& captured, double rate) {
        const auto span = soundSpan(captured, rate);
        ASSERT_TRUE(span.has_value()) << "nothing audible was captured";
        const double expected = *soundSpan(speechSamples, speechRate);
        EXPECT_NEAR(*span, expected, expected * 0.05);
    }

    void expectRecording(const QString& source) {
        EXPECT_TRUE(waitFor([&] { return PulseFixture::recordingSources() == QStringList{source}; }))
            << PulseFixture::recordingSources().join(u',').toStdString();
    }

    QString speech;
    std::vector<float> speechSamples;
    double speechRate = 0;
    BlockCollector collector;
    std::atomic<bool> offMainThread{true};
    std::optional<SystemAudioMonitor> monitor; // made after the server, stopped before the collector
};

TEST_F(CaptureTest, SystemAudioDeliversPlayedSpeechWithLevelUntilStopped) {
    startMonitor();
    std::vector<float> levels;
    monitor->onLevel = [&](float level) {
        EXPECT_EQ(level, monitor->level()) << "onLevel comes after the published level";
        levels.push_back(level);
    };
    EXPECT_TRUE(monitor->isMonitoring());
    EXPECT_EQ(monitor->status(), QStringLiteral("Monitoring..."));

    float maxLevel = 0;
    const std::vector<float> captured =
        captureSpeech(QStringLiteral("speakers"), [&] { maxLevel = std::max(maxLevel, monitor->level()); });
    EXPECT_GT(maxLevel, 0.05f);
    EXPECT_FALSE(levels.empty());
    EXPECT_TRUE(offMainThread) << "blocks come on the capture thread";

    monitor->stop();
    const std::size_t blocksAtStop = collector.blockCount();
    EXPECT_FALSE(monitor->isMonitoring());
    EXPECT_EQ(monitor->level(), 0.0f);
    EXPECT_EQ(monitor->status(), QStringLiteral("Stopped"));
    // Levels posted before the stop must not bring the meter back; no block arrives any more.
    QTest::qWait(400);
    EXPECT_EQ(monitor->level(), 0.0f);
    EXPECT_EQ(collector.blockCount(), blocksAtStop);
    EXPECT_TRUE(PulseFixture::recordingSources().isEmpty());

    EXPECT_EQ(collector.formats(), std::vector{kMonitorFormat});
    // Small fragments, so that a stop loses little and the two sources stay in step.
    EXPECT_LE(collector.longestBlock(), 2205u); // 50 ms
    expectSpeech(captured, 44100.0);
    // The mono speech plays on both channels of the sink and comes back as loud as it went in:
    // the monitor's channels are averaged into the one captured channel, not added up (PipeWire
    // adds them unless told otherwise, which reads 3 dB louder than PulseAudio).
    EXPECT_NEAR(energy(captured, 44100.0) / energy(speechSamples, speechRate), 1.0, 0.15);
}

TEST_F(CaptureTest, SystemAudioFollowsTheDefaultSinkToANewDeviceAndBackWhenItIsRemoved) {
    const int headphones = PulseFixture::loadNullSink(QStringLiteral("headphones"));
    ASSERT_GE(headphones, 0) << PulseFixture::lastError().toStdString();
    startMonitor();
    expectRecording(QStringLiteral("speakers.monitor"));

    // A change of the default *source* makes the server move streams that were on the old default
    // along with it; the capture belongs on the default sink's monitor and has to go back there.
    ASSERT_TRUE(
        PulseFixture::pactl({QStringLiteral("set-default-source"), QStringLiteral("speakers.monitor")}));
    ASSERT_TRUE(
        PulseFixture::pactl({QStringLiteral("set-default-source"), QStringLiteral("mic_in.monitor")}));
    expectRecording(QStringLiteral("speakers.monitor"));

    // The user plugs in headphones: the capture moves with the default output. What still plays
    // on the old device is no longer captured; what plays on the new one is.
    ASSERT_TRUE(PulseFixture::setDefaultSink(QStringLiteral("headphones")));
    expectRecording(QStringLiteral("headphones.monitor"));
    EXPECT_FALSE(soundSpan(captureSpeech(QStringLiteral("speakers")), 44100.0).has_value());
    expectSpeech(captureSpeech(QStringLiteral("headphones")), 44100.0);

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
    expectRecording(fallback + QStringLiteral(".monitor"));
    expectSpeech(captureSpeech(fallback), 44100.0);
    EXPECT_EQ(monitor->status(), QStringLiteral("Monitoring..."));
}

TEST_F(CaptureTest, SystemAudioSurvivesTheServerDyingAndResumesWhenItReturns) {
    startMonitor();
    ASSERT_TRUE(PulseFixture::kill());
    const QString lost = QStringLiteral("Sound server connection lost");
    ASSERT_TRUE(waitFor([&] { return monitor->status().startsWith(lost); }))
        << monitor->status().toStdString();
    EXPECT_TRUE(monitor->isMonitoring()) << "the capture stays on while the server is away";
    EXPECT_EQ(monitor->level(), 0.0f);
    // Retries against a missing server go on quietly.
    QTest::qWait(1200);
    EXPECT_TRUE(monitor->status().startsWith(lost));

    ASSERT_TRUE(PulseFixture::start()) << PulseFixture::lastError().toStdString();
    ASSERT_TRUE(waitFor([&] { return monitor->status() == QStringLiteral("Monitoring..."); }))
        << monitor->status().toStdString();
    const std::size_t blocks = collector.blockCount();
    ASSERT_TRUE(waitFor([&] { return collector.blockCount() > blocks + 2; }));
    expectSpeech(captureSpeech(QStringLiteral("speakers")), 44100.0);
}

// mic_in is a stereo null sink; its monitor is the default source.
TEST_F(CaptureTest, MicrophoneTapsTheDefaultSourceInItsFormatAndFollowsTheUsersChoice) {
    ASSERT_GE(PulseFixture::loadNullSink(QStringLiteral("usb_mic")), 0)
        << PulseFixture::lastError().toStdString();
    PulseAudioInput input;
    const AudioFormat format = input.inputFormat();
    EXPECT_EQ(format, (AudioFormat{PulseFixture::sourceRate(QStringLiteral("mic_in.monitor")), 2,
                                   SampleType::Float32, true}));
    input.installTap(4096, [&](const PcmBuffer& buffer) { collector.add(buffer); });
    input.start();
    ASSERT_TRUE(waitFor([&] { return collector.blockCount() > 2; }));
    expectRecording(QStringLiteral("mic_in.monitor"));
    expectSpeech(captureSpeech(QStringLiteral("mic_in")), format.sampleRate);

    // The tap keeps the format the session started with; the server converts for the new device.
    ASSERT_TRUE(
        PulseFixture::pactl({QStringLiteral("set-default-source"), QStringLiteral("usb_mic.monitor")}));
    expectRecording(QStringLiteral("usb_mic.monitor"));
    expectSpeech(captureSpeech(QStringLiteral("usb_mic")), format.sampleRate);
    input.stop();
    const std::size_t blocksAtStop = collector.blockCount();
    QTest::qWait(300);
    EXPECT_EQ(collector.blockCount(), blocksAtStop) << "no tap call after stop()";
    EXPECT_EQ(collector.formats(), std::vector{format});
    EXPECT_LE(collector.longestBlock(), 2205u); // 50 ms, as for system audio

    // With the output's monitor as the default input the microphone adds nothing: the system
    // audio capture records that already, and it would be in the recording twice.
    ASSERT_TRUE(
        PulseFixture::pactl({QStringLiteral("set-default-source"), QStringLiteral("speakers.monitor")}));
    input.start();
    EXPECT_TRUE(PulseFixture::recordingSources().isEmpty())
        << PulseFixture::recordingSources().join(u',').toStdString();
}

} // namespace
