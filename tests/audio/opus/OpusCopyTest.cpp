// The Opus copy that stands for a recording: it appears at its place only complete, whatever
// interrupts its encoding, and only one preparation of a copy runs at a time.
#include "audio/OpusCopy.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "audio/OpusEncoder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <random>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>

namespace murmurly {
namespace {

class OpusCopyTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString source = dir.filePath(QStringLiteral("mixed-X.wav"));
    QString target = dir.filePath(QStringLiteral("mixed-X.opus"));

    // 20 s of noise, so that encoding takes its full time (a few hundredths of that).
    void SetUp() override {
        auto writer = AudioFileWriter::create(source, AudioFormat::working());
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
        std::vector<float> samples(16000 * 20);
        std::generate(samples.begin(), samples.end(), [&] { return noise(rng); });
        writer->write(samples.data(), samples.size());
        writer->close();
    }

    QStringList partFiles() const {
        return QDir(dir.path()).entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden);
    }
    static double seconds(const QString& path) {
        const auto reader = AudioFileReader::open(path);
        return static_cast<double>(reader->length()) / reader->processingFormat().sampleRate;
    }
    static QByteArray bytes(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // A preparation on its own thread that notes whether it was called off.
    std::thread preparation(CancellationToken& token, std::atomic<bool>& cancelled) {
        return std::thread([this, &token, &cancelled] {
            try {
                OpusCopy::write(source, target, OpusCopy::Existing::replace, token);
            } catch (const OperationCancelled&) {
                cancelled = true;
            }
        });
    }
};

TEST_F(OpusCopyTest, ACopyAppearsOnlyCompleteWhateverCutsItsEncodingShort) {
    // Called off before its first block (the encoder then holds nothing to drain).
    CancellationToken early;
    early.cancel();
    EXPECT_THROW(OpusCopy::write(source, target, OpusCopy::Existing::replace, early), OperationCancelled);

    // Cancelled half-way: the encoding stops and nothing appears at the copy's place.
    CancellationToken token;
    std::atomic<bool> cancelled{false};
    std::thread encoding = preparation(token, cancelled);
    while (partFiles().isEmpty() && !QFile::exists(target))
        std::this_thread::yield();
    token.cancel();
    encoding.join();
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_TRUE(partFiles().isEmpty());

    // A leftover of an encoding killed with its process goes with the next preparation.
    QFile leftover(dir.filePath(QStringLiteral(".mixed-X.opus.dead.part")));
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.close();
    ASSERT_EQ(OpusCopy::write(source, target, OpusCopy::Existing::replace), target);
    EXPECT_NEAR(seconds(target), 20.0, 0.05);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(partFiles().isEmpty());

    // The disk fills up while a new copy is written: the copy in place stays as it was.
    const QByteArray complete = bytes(target);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit saved = limit;
    // One byte short of the copy: the encoding fails at its very end, when the last pages go out.
    limit.rlim_cur = static_cast<rlim_t>(complete.size() - 1);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::optional<OpusError> failure;
    try {
        OpusCopy::write(source, target, OpusCopy::Existing::replace);
    } catch (const OpusError& error) {
        failure = error;
    }
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), OpusError::Kind::encodingFailed);
    EXPECT_TRUE(failure->description().startsWith(QStringLiteral("Opus encoding failed: ")));
    EXPECT_EQ(bytes(target), complete);
    EXPECT_TRUE(partFiles().isEmpty());
}

TEST_F(OpusCopyTest, AShortCopyIsNeverTakenAndTwoPreparationsDoNotEncodeSideBySide) {
    // As an encoding cut off in place (by an earlier version) leaves it: the first half of a copy.
    ASSERT_EQ(OpusCopy::write(source, target, OpusCopy::Existing::replace), target);
    const QByteArray whole = bytes(target);
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(whole.left(whole.size() / 2));
    file.close();
    EXPECT_FALSE(OpusCopy::isComplete(target, source));

    std::atomic<bool> done{false};
    qsizetype mostAtOnce = 0;
    std::thread watcher([&] {
        while (!done) {
            mostAtOnce = std::max(mostAtOnce, partFiles().size());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    // The first encodes the copy again; the second waits for it and then takes its copy as it is.
    std::thread first([&] { OpusCopy::write(source, target, OpusCopy::Existing::reuse); });
    std::thread second([&] { OpusCopy::write(source, target, OpusCopy::Existing::reuse); });
    first.join();
    second.join();
    done = true;
    watcher.join();
    EXPECT_EQ(mostAtOnce, 1);
    EXPECT_TRUE(OpusCopy::isComplete(target, source));
    EXPECT_NEAR(seconds(target), 20.0, 0.05);

    // A preparation waiting for the copy can be called off while it waits.
    CancellationToken token;
    std::atomic<bool> cancelled{false};
    std::thread holder([&] { OpusCopy::write(source, target, OpusCopy::Existing::replace); });
    while (partFiles().isEmpty())
        std::this_thread::yield();
    std::thread waiter = preparation(token, cancelled);
    token.cancel();
    waiter.join();
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(partFiles().size(), 1); // the holder is still at work: the waiter never started
    holder.join();
}

} // namespace
} // namespace murmurly
