#include "audio/MediaFileDecoder.h"
#include "support/MediaSamples.h"
#include "support/TestFiles.h"

#include <QDir>

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

using namespace murmurly;
using namespace murmurly::test;
using Reason = MediaDecodeError::Reason;

namespace {

// How many samples a file decodes to, the sum of their squares, and the progress after each block.
struct Decoded {
    std::size_t samples = 0;
    double squares = 0;
    std::vector<double> progress;
};

Decoded decodeAll(const QString& path) {
    Decoded result;
    auto decoder = MediaFileDecoder::open(path);
    std::vector<float> block;
    while (decoder->read(block)) {
        result.samples += block.size();
        for (float s : block)
            result.squares += double(s) * s;
        result.progress.push_back(decoder->progress());
    }
    EXPECT_EQ(decoder->samplesRead(), std::int64_t(result.samples));
    return result;
}

// The reason a file is refused, whether at opening or while reading; none if it decodes.
std::optional<Reason> refusal(const QString& path) {
    try {
        decodeAll(path);
    } catch (const MediaDecodeError& error) {
        return error.reason();
    }
    return std::nullopt;
}

QStringList args(const char* line) {
    return QString::fromLatin1(line).split(u' ');
}

} // namespace

TEST(MediaFileDecoder, CommonFormatsBecomeSessionAudioAndFilesWithoutUsableAudioAreRefused) {
    const auto path = [](const char* name) { return QDir::temp().filePath(QString::fromLatin1(name)); };
    const std::pair<const char*, QStringList> formats[] = {
        {"talk.mp3", stereoTone(3) + args("-c:a libmp3lame")},
        {"talk.m4a", stereoTone(3) + args("-c:a aac")},
        {"talk.flac", stereoTone(3)},
        // The video comes first: the audio is not the container's first stream.
        {"talk.webm", args("-f lavfi -i testsrc=size=64x48:rate=10:duration=3") + stereoTone(3) +
                          args("-map 0:v -map 1:a -c:v libvpx -c:a libopus")},
    };
    for (const auto& [name, arguments] : formats) {
        SCOPED_TRACE(name);
        makeMedia(arguments, path(name));
        const Decoded decoded = decodeAll(path(name));

        // 3 s at 16 kHz, within 20 ms (encoder delay and padding must be trimmed, the resampler's
        // tail kept).
        EXPECT_NEAR(double(decoded.samples), 48000.0, 320.0);
        // The tone on one channel and silence on the other average to half the tone:
        // 0.4 peak, 0.283 RMS.
        EXPECT_NEAR(std::sqrt(decoded.squares / double(decoded.samples)), 0.4 / std::sqrt(2.0), 0.02);

        // Halfway through the audio is halfway through the file; the end is the end.
        ASSERT_FALSE(decoded.progress.empty());
        EXPECT_NEAR(decoded.progress[decoded.progress.size() / 2], 0.5, 0.15);
        EXPECT_EQ(decoded.progress.back(), 1.0);
    }

    EXPECT_EQ(refusal(path("missing.m4a")), Reason::unreadable);

    writeFile(path("empty.m4a"), {});
    EXPECT_EQ(refusal(path("empty.m4a")), Reason::empty);

    writeFile(path("notes.mp3"), "Meeting notes: nothing to hear here.\n");
    EXPECT_EQ(refusal(path("notes.mp3")), Reason::notMedia);

    makeMedia(args("-f lavfi -i testsrc=size=64x48:rate=10:duration=1"), path("silent-film.mp4"));
    EXPECT_EQ(refusal(path("silent-film.mp4")), Reason::noAudio);

    // A download that broke off: with the index up front, the audio stops a fraction of a second
    // early, which must not pass for the whole recording; a FLAC cut at a frame boundary is told
    // only by its stated length; with the index at the end there is nothing to go by at all.
    const auto cut = [&](const char* name, const QStringList& extra, qsizetype (*keep)(qsizetype)) {
        makeMedia(stereoTone(10) + extra, path(name));
        const QByteArray whole = readFile(path(name));
        writeFile(path(name), whole.left(keep(whole.size())));
        return refusal(path(name));
    };
    EXPECT_EQ(cut("whole.mp4", args("-movflags +faststart"), [](qsizetype n) { return n - 1500; }),
              Reason::damaged);
    EXPECT_EQ(cut("whole.flac", {}, [](qsizetype n) { return n / 2; }), Reason::damaged);
    EXPECT_EQ(cut("index-last.mp4", {}, [](qsizetype n) { return n / 2; }), Reason::notMedia);
}
