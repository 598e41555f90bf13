#include "audio/WavHeaderRepair.h"

#include "RecorderTestSupport.h"

#include <QDir>
#include <QProcess>

#include <gtest/gtest.h>

using namespace murmurly;
using namespace murmurly::test;

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
