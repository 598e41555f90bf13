// Capture through a private sound server (PulseAudio, or PipeWire's pulse server): what is played
// into its sinks must come out of SystemAudioMonitor and PulseAudioInput across device switches and
// a server that dies, and the capture objects must tell the user what is going on (status texts,
// start/stop, the permission stand-in) while the server is there, gone, stripped or hung.

#include "audio/AudioFileReader.h"
#include "audio/MicRecorder.h"
#include "audio/PulseAudioInput.h"
#include "audio/SystemAudioMonitor.h"
#include "audio/pulse/SoundSettings.h"
#include "common/Error.h"
#include "support/PulseFixture.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

using namespace murmurly;
using namespace murmurly::test;

namespace {

// Collects what a capture thread delivers: the number of blocks and the first channel of each.
class BlockCollector {
public:
    void add(const PcmBuffer& block) {
        std::lock_guard lock(m_mutex);
        ++m_blocks;
        const std::uint32_t stride = block.format().interleaved ? block.format().channelCount : 1;
        for (std::uint32_t i = 0; i < block.frameLength(); ++i)
            m_samples.push_back(block.floatChannelData(0)[i * stride]);
    }
    std::size_t blocks() const {
        std::lock_guard lock(m_mutex);
        return m_blocks;
    }
    std::vector<float> samples() const {
        std::lock_guard lock(m_mutex);
        return m_samples;
    }

private:
    mutable std::mutex m_mutex;
    std::size_t m_blocks = 0;
    std::vector<float> m_samples;
};

// From the first to the last sample louder than a tenth of the signal's peak, in seconds; none
// for a silent signal. Pauses between words stay inside the span.
std::optional<double> soundSpan(const std::vector<float>& samples, double sampleRate) {
    float peak = 0;
    for (float s : samples)
        peak = std::max(peak, std::abs(s));
    if (peak < 1e-3f)
        return std::nullopt;
    const auto loud = [peak](float s) { return std::abs(s) >= peak * 0.1f; };
    const auto first = std::find_if(samples.begin(), samples.end(), loud);
    const auto last = std::find_if(samples.rbegin(), samples.rend(), loud);
    return double(std::distance(first, last.base())) / sampleRate;
}

// The signal's energy per second: the same sound at another rate has the same energy, one 3 dB
// louder has twice as much.
double energy(const std::vector<float>& samples, double sampleRate) {
    double sum = 0;
    for (float s : samples)
        sum += double(s) * s;
    return sum / sampleRate;
}

// Waits (processing events) until `condition` holds. The time-out only bounds a hang; no result
// depends on how fast anything happens.
template <typename Condition>
bool waitFor(Condition condition) {
    return QTest::qWaitFor(condition, 10000);
}

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PulseFixture::isAvailable()) << "run through ctest: the test needs the pulse fixture";
        // A fresh server: an earlier test may have switched defaults, frozen or killed it.
        ASSERT_TRUE(PulseFixture::restart()) << PulseFixture::lastError().toStdString();
        monitor.emplace(); // it asks the server whether there is anything to monitor when it is made
        ASSERT_TRUE(waitFor([&] { return monitor->permissionGranted(); }));
        monitor->onBuffer = [&](const PcmBuffer& buffer) {
            EXPECT_NE(QThread::currentThread(), QCoreApplication::instance()->thread())
                << "not on the capture thread";
            EXPECT_EQ(buffer.format(), (AudioFormat{44100.0, 1, SampleType::Float32, false}));
            // Small fragments, so that a stop loses little and the two sources stay in step.
            EXPECT_LE(buffer.frameLength(), 2646u); // 60 ms
            collector.add(buffer);
        };
    }
    void TearDown() override { PulseFixture::thaw(); }

    void startMonitor() {
        monitor->start();
        ASSERT_TRUE(waitFor([&] { return collector.blocks() > 2; }));
    }

    // Plays speech into `sink` while the capture runs, lets a few blocks of silence follow so that
    // its end has been delivered, and gives back what was captured meanwhile.
    std::vector<float> captureSpeech(const QString& sink) {
        if (speechSamples.empty()) {
            const QString text = QStringLiteral("Murmurly keeps what you hear and what you say.");
            EXPECT_TRUE(PulseFixture::speak(text, speech)) << PulseFixture::lastError().toStdString();
            auto reader = AudioFileReader::open(speech);
            speechRate = reader->processingFormat().sampleRate;
            auto buffer = PcmBuffer::create(reader->processingFormat(), 1 << 20);
            reader->read(*buffer);
            speechSamples.assign(buffer->floatChannelData(0),
                                 buffer->floatChannelData(0) + buffer->frameLength());
        }
        const std::size_t from = collector.samples().size();
        auto player = PulseFixture::startPlaying(speech, sink);
        EXPECT_TRUE(player && waitFor([&] { return player->state() == QProcess::NotRunning; }) &&
                    player->exitCode() == 0)
            << PulseFixture::lastError().toStdString();
        const std::size_t after = collector.blocks();
        EXPECT_TRUE(waitFor([&] { return collector.blocks() >= after + 6; }));
        const std::vector<float> samples = collector.samples();
        return {samples.begin() + std::ptrdiff_t(from), samples.end()};
    }

    // The captured speech lasts as long as the played one (5 % either way).
    void expectSpeech(const std::vector<float>& captured, double rate) {
        const auto span = soundSpan(captured, rate);
        const auto expected = soundSpan(speechSamples, speechRate);
        ASSERT_TRUE(span && expected) << "nothing audible was captured";
        EXPECT_NEAR(*span, *expected, *expected * 0.05);
    }

    static bool setDefaultSource(const char* name) {
        return PulseFixture::pactl({QStringLiteral("set-default-source"), QString::fromLatin1(name)});
    }

    static void expectRecording(const QString& source) {
        EXPECT_TRUE(waitFor([&] { return PulseFixture::recordingSources() == QStringList{source}; }))
            << PulseFixture::recordingSources().join(u',').toStdString();
    }

    const QString speech = QDir::temp().filePath(QStringLiteral("speech.wav"));
    std::vector<float> speechSamples;
    double speechRate = 0;
    BlockCollector collector;
    std::optional<SystemAudioMonitor> monitor; // stopped before the collector goes
};

TEST_F(CaptureTest, SystemAudioDeliversPlayedSpeechWithLevelUntilStopped) {
    monitor->stop();
    EXPECT_TRUE(monitor->status().isNull()) << "no \"Stopped\" when nothing ran";
    monitor->setPermissionGranted(false);
    monitor->start();
    EXPECT_EQ(monitor->status(), QStringLiteral("Screen recording permission is not granted"));
    EXPECT_FALSE(monitor->isMonitoring());

    monitor->setPermissionGranted(true);
    startMonitor();
    monitor->start(); // a second start opens no second stream
    expectRecording(QStringLiteral("speakers.monitor"));

    float lastLevel = 0;
    monitor->onLevel = [&](float level) {
        EXPECT_EQ(level, monitor->level()) << "onLevel comes after the published level";
        lastLevel = level;
    };
    const std::vector<float> captured = captureSpeech(QStringLiteral("speakers"));

    // Stopped while speech plays, with levels queued up behind a busy main thread: none of them
    // may bring the meter back.
    lastLevel = 0;
    auto player = PulseFixture::startPlaying(speech, QStringLiteral("speakers"));
    ASSERT_TRUE(player && waitFor([&] { return lastLevel > 0.05f; }));
    QThread::msleep(300);
    monitor->stop();
    const std::size_t blocksAtStop = collector.blocks();
    EXPECT_FALSE(monitor->isMonitoring());
    EXPECT_EQ(monitor->status(), QStringLiteral("Stopped"));
    // No block arrives any more.
    QTest::qWait(400);
    EXPECT_EQ(monitor->level(), 0.0f);
    EXPECT_EQ(collector.blocks(), blocksAtStop);
    EXPECT_TRUE(PulseFixture::recordingSources().isEmpty());

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
    ASSERT_TRUE(setDefaultSource("speakers.monitor"));
    ASSERT_TRUE(setDefaultSource("mic_in.monitor"));
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

TEST_F(CaptureTest, SystemAudioRidesOutTheServerDyingWhileStartsWithoutItFailWithTheReason) {
    PulseAudioInput input;
    ASSERT_TRUE(input.inputFormat().isValid());
    startMonitor();
    ASSERT_TRUE(PulseFixture::kill());
    const QString lost = QStringLiteral("Sound server connection lost");
    ASSERT_TRUE(waitFor([&] { return monitor->status().startsWith(lost); }))
        << monitor->status().toStdString();
    EXPECT_TRUE(monitor->isMonitoring()) << "the capture stays on while the server is away";
    EXPECT_EQ(monitor->level(), 0.0f);

    // The microphone's source vanished since its format was read; a new one finds no server.
    try {
        input.start();
        ADD_FAILURE() << "start() without a server must throw";
    } catch (const SystemError& error) {
        EXPECT_TRUE(error.description().startsWith(QStringLiteral("Microphone unavailable: ")))
            << error.description().toStdString();
    }
    EXPECT_THROW(PulseAudioInput().start(), SystemError);
    SystemAudioMonitor second;
    second.setPermissionGranted(true);
    second.start();
    ASSERT_TRUE(waitFor([&] { return !second.isMonitoring(); }));
    const QString failed = QStringLiteral("Failed to start: ");
    EXPECT_TRUE(second.status().startsWith(failed) && second.status().size() > failed.size())
        << second.status().toStdString();
    // Retries against a missing server go on quietly.
    EXPECT_TRUE(monitor->status().startsWith(lost));

    ASSERT_TRUE(PulseFixture::start()) << PulseFixture::lastError().toStdString();
    ASSERT_TRUE(waitFor([&] { return monitor->status() == QStringLiteral("Monitoring..."); }))
        << monitor->status().toStdString();
    expectSpeech(captureSpeech(QStringLiteral("speakers")), 44100.0);
}

TEST_F(CaptureTest, StopDuringASlowSetupLeavesNoStreamRunning) {
    // A frozen server keeps the setup waiting; the stop arrives meanwhile.
    ASSERT_TRUE(PulseFixture::freeze());
    monitor->start();
    QTest::qWait(200);
    monitor->stop();
    ASSERT_TRUE(PulseFixture::thaw());
    QTest::qWait(1000);
    EXPECT_EQ(monitor->status(), QStringLiteral("Stopped"));
    EXPECT_FALSE(monitor->isMonitoring());
    EXPECT_TRUE(PulseFixture::recordingSources().isEmpty())
        << PulseFixture::recordingSources().join(u',').toStdString();
    EXPECT_EQ(collector.blocks(), 0u);
}

// mic_in is a stereo null sink; its monitor is the default source.
TEST_F(CaptureTest, MicrophoneTapsTheDefaultSourceInItsFormatAndFollowsTheUsersChoice) {
    ASSERT_GE(PulseFixture::loadNullSink(QStringLiteral("usb_mic")), 0)
        << PulseFixture::lastError().toStdString();
    PulseAudioInput input;
    const AudioFormat format = input.inputFormat();
    EXPECT_EQ(format, (AudioFormat{PulseFixture::sourceRate(QStringLiteral("mic_in.monitor")), 2,
                                   SampleType::Float32, true}));
    input.installTap(4096, [&](const PcmBuffer& buffer) {
        EXPECT_EQ(buffer.format(), format) << "the format the session started with";
        EXPECT_LE(buffer.frameLength(), format.sampleRate * 0.06); // as for system audio
        collector.add(buffer);
    });
    input.start();
    expectRecording(QStringLiteral("mic_in.monitor"));
    expectSpeech(captureSpeech(QStringLiteral("mic_in")), format.sampleRate);

    // The server converts for the new device: the tap keeps its format.
    ASSERT_TRUE(setDefaultSource("usb_mic.monitor"));
    expectRecording(QStringLiteral("usb_mic.monitor"));
    expectSpeech(captureSpeech(QStringLiteral("usb_mic")), format.sampleRate);
    input.stop();
    const std::size_t blocksAtStop = collector.blocks();
    QTest::qWait(300);
    EXPECT_EQ(collector.blocks(), blocksAtStop) << "no tap call after stop()";

    // With the output's monitor as the default input the microphone adds nothing: the system
    // audio capture records that already, and it would be in the recording twice.
    ASSERT_TRUE(setDefaultSource("speakers.monitor"));
    input.start();
    EXPECT_TRUE(PulseFixture::recordingSources().isEmpty())
        << PulseFixture::recordingSources().join(u',').toStdString();
}

TEST_F(CaptureTest, PermissionFollowsWhatTheServerOffers) {
    MicRecorder mic;
    EXPECT_TRUE(waitFor([&] { return mic.permissionGranted(); })) << "asked in the background when made";
    // On request each asks the server again and says what it found.
    const auto ask = [&] {
        QSignalSpy micStatus(&mic, &MicRecorder::statusChanged);
        QSignalSpy monitorStatus(&*monitor, &SystemAudioMonitor::statusChanged);
        mic.requestPermission();
        monitor->requestPermission();
        return waitFor([&] { return micStatus.count() == 1 && monitorStatus.count() == 1; });
    };
    ASSERT_TRUE(ask());
    EXPECT_EQ(mic.status(), QStringLiteral("Permission granted"));
    EXPECT_EQ(monitor->status(), QStringLiteral("Permission granted"));

    // A server without any device: nothing to capture from, nothing to monitor.
    ASSERT_TRUE(PulseFixture::pactl({QStringLiteral("unload-module"), QStringLiteral("module-null-sink")}))
        << PulseFixture::lastError().toStdString();
    ASSERT_TRUE(ask());
    EXPECT_FALSE(mic.permissionGranted());
    EXPECT_EQ(mic.status(), QStringLiteral("Microphone access denied. Enable in System Settings."));
    EXPECT_FALSE(monitor->permissionGranted());
    EXPECT_EQ(monitor->status(), QStringLiteral("Permission denied"));

    // A hung server: the probe gives up after its time-out instead of holding up the caller.
    ASSERT_TRUE(PulseFixture::freeze());
    MicRecorder hung;
    hung.requestPermission();
    ASSERT_TRUE(waitFor([&] { return !hung.status().isNull(); }));
    EXPECT_FALSE(hung.permissionGranted());
    EXPECT_EQ(hung.status(), QStringLiteral("Microphone permission unavailable."));
}

// The settings action starts the first installed tool, detached, with its sound page.
TEST(SoundSettings, OpensTheFirstInstalledSettingsTool) {
    const QDir bin(QDir::temp().filePath(QStringLiteral("bin")));
    ASSERT_TRUE(QDir().mkpath(bin.path()));
    qputenv("PATH", QFile::encodeName(bin.path()));
    // Each tool installed here writes its name and arguments to the log.
    const QString log = QDir::temp().filePath(QStringLiteral("launched.txt"));
    const auto install = [&](const char* name) {
        QFile script(bin.filePath(QLatin1String(name)));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(
            QStringLiteral("#!/bin/sh\necho \"%1 $*\" >> '%2'\n").arg(QLatin1String(name), log).toUtf8());
        script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    };
    const auto launched = [&](const char* expected) {
        return waitFor([&] {
            QFile file(log);
            return file.open(QIODevice::ReadOnly) && file.readAll() == expected;
        });
    };
    install("systemsettings");
    install("gnome-control-center");
    MicRecorder().openMicrophoneSettings();
    EXPECT_TRUE(launched("gnome-control-center sound\n"));
    install("pavucontrol");
    SystemAudioMonitor().openScreenRecordingSettings();
    EXPECT_TRUE(launched("gnome-control-center sound\npavucontrol \n"));
}

} // namespace
