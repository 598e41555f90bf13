// Ogg/Opus encoding read back through libsndfile, and the Opus copy that stands for a recording:
// it appears at its place only complete, whatever interrupts its encoding, and only one
// preparation of a copy runs at a time.
#include "audio/OpusCopy.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "audio/OpusEncoder.h"
#include "support/MediaSamples.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <future>
#include <thread>
#include <tuple>

#include <sys/resource.h>

namespace murmurly {
namespace {

using namespace ::testing;

// The stream as a player reads it (the encoder's delay skipped, always at 48 kHz): its channels and
// seconds.
std::pair<std::uint32_t, double> played(const QString& path) {
    const auto reader = AudioFileReader::open(path);
    return {reader->processingFormat().channelCount, double(reader->length()) / 48000.0};
}

TEST(OpusCopy, EncodesAtTheInputsLengthAndACopyAppearsOnlyCompleteAndOneAtATime) {
    const QTemporaryDir dir;
    const auto path = [&](const char* name) { return dir.filePath(QString::fromUtf8(name)); };
    const auto partFiles = [&] {
        return QDir(dir.path()).entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden);
    };
    const QString source = path("mixed-X.wav"), target = path("mixed-X.opus");
    const auto prepare = [&](const CancellationToken& token) {
        OpusCopy::write(source, target, OpusCopy::Existing::replace, token);
    };
    // 20 s of noise, so that encoding takes its full time (a few hundredths of that).
    test::makeMedia(QStringLiteral("-f lavfi -i anoisesrc=r=16000:a=0.3 -t 20 -c:a pcm_f32le").split(u' '),
                    source);

    // Called off before its first block (the encoder then holds nothing to drain).
    CancellationToken early;
    early.cancel();
    EXPECT_THROW(prepare(early), OperationCancelled);

    // Cancelled half-way: the encoding stops and nothing appears at the copy's place.
    CancellationToken token;
    auto encoding = std::async(std::launch::async, [&] { prepare(token); });
    while (partFiles().isEmpty() && !QFile::exists(target))
        std::this_thread::yield();
    token.cancel();
    EXPECT_THROW(encoding.get(), OperationCancelled);
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_TRUE(partFiles().isEmpty());

    // A leftover of an encoding killed with its process goes with the next preparation.
    test::writeFile(dir.filePath(QStringLiteral(".mixed-X.opus.dead.part")), {});
    ASSERT_EQ(OpusCopy::write(source, target, OpusCopy::Existing::replace), target);
    EXPECT_EQ(QFile::permissions(target),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    EXPECT_TRUE(partFiles().isEmpty());

    // The disk fills up while a new copy is written: the copy in place stays as it was.
    const QByteArray complete = test::readFile(target);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    // One byte short of the copy: the encoding fails at its very end, when the last pages go out.
    const rlimit full{rlim_t(complete.size() - 1), saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    EXPECT_THAT([&] { OpusCopy::write(source, target, OpusCopy::Existing::replace); },
                ThrowsMessage<OpusError>(StartsWith("Opus encoding failed: ")));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(test::readFile(target), complete);
    EXPECT_TRUE(partFiles().isEmpty());

    // As an encoding cut off in place (by an earlier version) leaves it: the first half of a copy.
    ASSERT_EQ(OpusCopy::write(source, target, OpusCopy::Existing::replace), target);
    const QByteArray whole = test::readFile(target);
    test::writeFile(target, whole.left(whole.size() / 2));

    std::atomic<bool> done{false};
    qsizetype mostAtOnce = 0;
    std::thread watcher([&] {
        while (!done) {
            mostAtOnce = std::max(mostAtOnce, partFiles().size());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    // The first encodes the copy again (the half is no copy); the second waits for it and then takes
    // its copy as it is.
    std::thread first([&] { OpusCopy::write(source, target, OpusCopy::Existing::reuse); });
    std::thread second([&] { OpusCopy::write(source, target, OpusCopy::Existing::reuse); });
    first.join();
    second.join();
    done = true;
    watcher.join();
    EXPECT_EQ(mostAtOnce, 1);
    EXPECT_TRUE(OpusCopy::isComplete(target, source));

    // A preparation waiting for the copy can be called off while it waits.
    CancellationToken waiting;
    std::thread holder([&] { OpusCopy::write(source, target, OpusCopy::Existing::replace); });
    while (partFiles().isEmpty())
        std::this_thread::yield();
    auto waiter = std::async(std::launch::async, [&] { prepare(waiting); });
    waiting.cancel();
    EXPECT_THROW(waiter.get(), OperationCancelled);
    EXPECT_EQ(partFiles().size(), 1); // the holder is still at work: the waiter never started
    holder.join();

    // Mono stays mono; stereo and anything wider become stereo. The length must be the input's: a
    // resampler that drops its tail or pads the start shows up here, and the 20 s of the source cross
    // many of the 4096-frame blocks. A failed encoding says why and leaves no file.
    test::makeMedia(test::stereoTone(2.5) + QStringLiteral("-c:a pcm_f32le").split(u' '), path("stereo.wav"));
    test::makeMedia(QStringLiteral("-f lavfi -i sine=r=16000 -t 2.5 -ac 4 -c:a pcm_f32le").split(u' '),
                    path("four.wav"));
    const std::tuple<QString, std::uint32_t, double> cases[] = {
        {source, 1, 20.0}, {path("stereo.wav"), 2, 2.5}, {path("four.wav"), 2, 2.5}};
    for (const auto& [input, channels, seconds] : cases) {
        EXPECT_EQ(OpusEncoder::encodeToOpus(input, input + ".opus"), input + ".opus");
        const auto [playedChannels, playedSeconds] = played(input + ".opus");
        EXPECT_EQ(playedChannels, channels) << input.toStdString();
        EXPECT_NEAR(playedSeconds, seconds, 0.020) << input.toStdString();
    }

    // A header without samples leaves nothing behind; libopusenc reports a file it cannot create
    // as OPE_CANNOT_OPEN.
    AudioFileWriter::create(path("empty.wav"), AudioFormat::working())->close();
    const std::tuple<QString, QString, const char*> failures[] = {
        {path("empty.wav"), path("empty.opus"), "Audio file has no readable samples."},
        {source, path("no/such/folder/out.opus"), "Failed to create Opus encoder: cannot open file"}};
    for (const auto& [input, output, text] : failures) {
        EXPECT_THAT([&] { OpusEncoder::encodeToOpus(input, output); }, ThrowsMessage<OpusError>(StrEq(text)));
        EXPECT_FALSE(QFile::exists(output));
    }
    // An unreadable input: the reader's error is passed on.
    test::writeFile(path("garbage.wav"), "this is not audio at all");
    EXPECT_THROW(OpusEncoder::encodeToOpus(path("garbage.wav"), path("g.opus")), SystemError);
}

} // namespace
} // namespace murmurly
