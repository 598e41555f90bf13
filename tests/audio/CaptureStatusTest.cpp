// What the capture objects tell the user: status texts, start/stop semantics and the permission
// stand-in, against a real (private) sound server that is there, gone, stripped or hung.

#include "audio/CaptureTestSupport.h"
#include "audio/MicRecorder.h"
#include "audio/PulseAudioInput.h"
#include "audio/SystemAudioMonitor.h"
#include "audio/pulse/SoundSettings.h"
#include "common/Error.h"
#include "support/PulseFixture.h"

#include <QFile>
#include <QSignalSpy>

using namespace murmurly;
using namespace murmurly::test;

namespace {

class CaptureStatusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PulseFixture::isAvailable()) << "run through ctest: the test needs the pulse fixture";
        ASSERT_TRUE(PulseFixture::restart()) << PulseFixture::lastError().toStdString();
    }
    void TearDown() override { PulseFixture::thaw(); }

    static void pointAtNoServer() {
        qputenv("PULSE_SERVER", QFile::encodeName(QDir::temp().filePath("no-such-socket")));
    }
};

TEST_F(CaptureStatusTest, StartWithoutPermissionTwiceAndStopWhenIdleChangeNothingTheyShouldNot) {
    SystemAudioMonitor monitor;
    QSignalSpy statusChanges(&monitor, &SystemAudioMonitor::statusChanged);

    // Stop when idle: no "Stopped".
    monitor.stop();
    EXPECT_TRUE(monitor.status().isNull());
    EXPECT_EQ(statusChanges.count(), 0);

    // Without permission nothing is captured.
    monitor.setPermissionGranted(false);
    monitor.start();
    EXPECT_EQ(monitor.status(), QStringLiteral("Screen recording permission is not granted"));
    EXPECT_FALSE(monitor.isMonitoring());
    QTest::qWait(300);
    EXPECT_TRUE(PulseFixture::recordingSources().isEmpty());

    // A second start while monitoring changes nothing and opens no second stream.
    monitor.setPermissionGranted(true);
    monitor.start();
    ASSERT_TRUE(waitFor([] { return !PulseFixture::recordingSources().isEmpty(); }));
    const int changes = statusChanges.count();
    monitor.start();
    QTest::qWait(300);
    EXPECT_EQ(statusChanges.count(), changes);
    EXPECT_EQ(monitor.status(), QStringLiteral("Monitoring..."));
    EXPECT_EQ(PulseFixture::recordingSources().size(), 1);
    monitor.stop();
    EXPECT_EQ(monitor.status(), QStringLiteral("Stopped"));
}

TEST_F(CaptureStatusTest, StopDuringASlowSetupLeavesNoStreamRunning) {
    SystemAudioMonitor monitor;
    std::atomic<int> buffers{0};
    monitor.onBuffer = [&](const PcmBuffer&) { ++buffers; };
    ASSERT_TRUE(waitFor([&] { return monitor.permissionGranted(); }));
    // A frozen server keeps the setup waiting; the stop arrives meanwhile.
    ASSERT_TRUE(PulseFixture::freeze());
    monitor.start();
    QTest::qWait(200);
    monitor.stop();
    EXPECT_EQ(monitor.status(), QStringLiteral("Stopped"));
    ASSERT_TRUE(PulseFixture::thaw());
    QTest::qWait(1000);
    EXPECT_TRUE(PulseFixture::recordingSources().isEmpty())
        << PulseFixture::recordingSources().join(u',').toStdString();
    EXPECT_EQ(buffers, 0);
    EXPECT_EQ(monitor.status(), QStringLiteral("Stopped"));
    EXPECT_FALSE(monitor.isMonitoring());

    // And a start/stop in a row on a live server too.
    monitor.start();
    monitor.stop();
    QTest::qWait(500);
    EXPECT_TRUE(PulseFixture::recordingSources().isEmpty());
    EXPECT_EQ(buffers, 0);
}

TEST_F(CaptureStatusTest, StartFailsWithTheServersReasonWhenThereIsNoServer) {
    SystemAudioMonitor monitor;
    ASSERT_TRUE(waitFor([&] { return monitor.permissionGranted(); }));
    pointAtNoServer();
    monitor.start();
    EXPECT_EQ(monitor.status(), QStringLiteral("Monitoring..."));
    ASSERT_TRUE(waitFor([&] { return !monitor.isMonitoring(); }));
    EXPECT_TRUE(monitor.status().startsWith(QStringLiteral("Failed to start: ")))
        << monitor.status().toStdString();
    EXPECT_GT(monitor.status().size(), QStringLiteral("Failed to start: ").size());

    PulseAudioInput input;
    EXPECT_FALSE(input.inputFormat().isValid());
    EXPECT_THROW(input.start(), SystemError);
}

TEST_F(CaptureStatusTest, MicrophoneStartFailsWhenItsSourceVanishedSinceTheFormatWasRead) {
    PulseAudioInput input;
    ASSERT_TRUE(input.inputFormat().isValid());
    ASSERT_TRUE(PulseFixture::kill());
    try {
        input.start();
        FAIL() << "start() without a server must throw";
    } catch (const SystemError& error) {
        EXPECT_TRUE(error.description().startsWith(QStringLiteral("Microphone unavailable: ")))
            << error.description().toStdString();
    }
}

TEST_F(CaptureStatusTest, PermissionFollowsWhatTheServerOffers) {
    MicRecorder mic;
    SystemAudioMonitor monitor;
    // Each asks the server in the background when it is made.
    EXPECT_TRUE(waitFor([&] { return mic.permissionGranted() && monitor.permissionGranted(); }));
    EXPECT_FALSE(mic.isRecording());
    EXPECT_EQ(mic.level(), 0.0f);

    mic.requestPermission();
    monitor.requestPermission();
    ASSERT_TRUE(waitFor([&] { return !mic.status().isNull() && !monitor.status().isNull(); }));
    EXPECT_EQ(mic.status(), QStringLiteral("Permission granted"));
    EXPECT_EQ(monitor.status(), QStringLiteral("Permission granted"));

    // A server without any device: nothing to capture from, nothing to monitor.
    ASSERT_TRUE(PulseFixture::pactl({QStringLiteral("unload-module"), QStringLiteral("module-null-sink")}))
        << PulseFixture::lastError().toStdString();
    QSignalSpy micStatus(&mic, &MicRecorder::statusChanged);
    QSignalSpy monitorStatus(&monitor, &SystemAudioMonitor::statusChanged);
    mic.requestPermission();
    monitor.requestPermission();
    ASSERT_TRUE(waitFor([&] { return micStatus.count() == 1 && monitorStatus.count() == 1; }));
    EXPECT_FALSE(mic.permissionGranted());
    EXPECT_EQ(mic.status(), QStringLiteral("Microphone access denied. Enable in System Settings."));
    EXPECT_FALSE(monitor.permissionGranted());
    EXPECT_EQ(monitor.status(), QStringLiteral("Permission denied"));
}

TEST_F(CaptureStatusTest, AHungServerMakesMicrophonePermissionUnavailableNotAHang) {
    ASSERT_TRUE(PulseFixture::freeze());
    MicRecorder mic; // the probe gives up after its time-out
    EXPECT_FALSE(mic.permissionGranted());
    mic.requestPermission();
    ASSERT_TRUE(waitFor([&] { return !mic.status().isNull(); }));
    EXPECT_EQ(mic.status(), QStringLiteral("Microphone permission unavailable."));
}

// The settings action starts the first installed tool, detached, with its sound page.
TEST(SoundSettings, OpensTheFirstInstalledSettingsTool) {
    const QDir bin(QDir::temp().filePath(QStringLiteral("bin")));
    ASSERT_TRUE(QDir().mkpath(bin.path()));
    const QString log = QDir::temp().filePath(QStringLiteral("launched.txt"));
    const auto install = [&](const QString& name) {
        QFile script(bin.filePath(name));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\necho \"%1 $*\" >> '%2'\n").arg(name, log).toUtf8());
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    qputenv("PATH", QFile::encodeName(bin.path()));
    // A launched tool has written its line, not just created the file.
    const auto lines = [&] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
    };

    EXPECT_FALSE(SoundSettings::find().has_value());
    EXPECT_FALSE(SoundSettings::open());

    install(QStringLiteral("systemsettings"));
    install(QStringLiteral("gnome-control-center"));
    ASSERT_TRUE(SoundSettings::find().has_value());
    EXPECT_EQ(SoundSettings::find()->arguments, QStringList{QStringLiteral("sound")});
    MicRecorder().openMicrophoneSettings();
    ASSERT_TRUE(waitFor([&] { return lines() == 1; }));

    install(QStringLiteral("pavucontrol"));
    SystemAudioMonitor().openScreenRecordingSettings();
    ASSERT_TRUE(waitFor([&] { return lines() == 2; }));
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()),
              QStringLiteral("gnome-control-center sound\npavucontrol \n"));
}

} // namespace
