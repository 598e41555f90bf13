#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

namespace murmurly::test {

// Runs the ffmpeg tool to make a media file for a test: `arguments` are everything between the
// common options and the output file (inputs, codecs, container options). Fails the test when
// ffmpeg does.
inline void makeMedia(const QStringList& arguments, const QString& output) {
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 QStringList{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                             QStringLiteral("error"), QStringLiteral("-y")} +
                     arguments + QStringList{output});
    ASSERT_TRUE(ffmpeg.waitForFinished(120000)) << "ffmpeg did not finish: " << output.toStdString();
    ASSERT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
}

// Input arguments of a stereo tone: a 440 Hz sine at 0.8 on the left, silence on the right.
inline QStringList stereoTone(double seconds) {
    return {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
            QStringLiteral("aevalsrc=exprs=0.8*sin(2*PI*440*t)|0:s=44100:d=%1").arg(seconds)};
}

} // namespace murmurly::test
