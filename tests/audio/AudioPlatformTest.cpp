// The audio layer under the recorder: conversion to the working format and the level shown; the
// WAV files, what the writer accepts and keeps, what the reader makes of good and broken files, and
// the header repair that makes a file cut short by a crash readable again.
#include "audio/AudioConverter.h"
#include "audio/AudioFileReader.h"
#include "audio/AudioFileWriter.h"
#include "audio/AudioLevelComputer.h"
#include "audio/WavHeaderRepair.h"
#include "common/Error.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QtEndian>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <tuple>
#include <vector>

using namespace murmurly;
using namespace ::testing;

using namespace murmurly::test;

namespace {

// Written here rather than with the repair's own helper, so that both cannot be wrong the same way.
QByteArray le32(std::uint32_t value) {
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

// A chunk of even size (an odd one would need a pad byte).
QByteArray chunk(const char* id, const QByteArray& content) {
    return QByteArray(id, 4) + le32(static_cast<std::uint32_t>(content.size())) + content;
}

// 16 kHz mono float.
const QByteArray kFloatFmt = QByteArray::fromHex("03000100803e000000fa000004002000");

// A canonical 44-byte header followed by `sampleBytes` bytes, its size fields set as given.
QByteArray canonicalWav(int sampleBytes, std::uint32_t riffSize, std::uint32_t dataSize) {
    return "RIFF" + le32(riffSize) + "WAVE" + chunk("fmt ", kFloatFmt) + "data" + le32(dataSize) +
           QByteArray(sampleBytes, '\x11');
}

// A file in the temporary folder, which is emptied before each test.
QString path(const char* name) {
    return QDir::temp().filePath(QLatin1String(name));
}

const AudioFormat kWorking = AudioFormat::working();
using Input = AudioConverter::InputStatus;
using Output = AudioConverter::OutputStatus;

// Frames [first, first + frames) of a stereo 500 Hz sine, as planar float or interleaved 16-bit
// samples: 0.75 of full scale on the left channel, -0.25 on the right.
PcmBuffer tone(const AudioFormat& format, std::uint32_t first, std::uint32_t frames) {
    auto buffer = PcmBuffer::create(format, frames);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double v = std::sin(2.0 * std::numbers::pi * 500.0 * (first + i) / format.sampleRate);
        for (int c = 0; c < 2; ++c) {
            if (format.sampleType == SampleType::Float32)
                buffer->floatChannelData(c)[i] = float((c == 0 ? 0.75 : -0.25) * v);
            else
                buffer->int16ChannelData(0)[2 * i + c] =
                    std::int16_t(std::lrint((c == 0 ? 0.75 : -0.25) * v * 32767));
        }
    }
    buffer->setFrameLength(frames);
    return *buffer;
}

// Converts `frames` frames of the tone, handed over in blocks of `blockFrames`, into an output
// buffer of `outputCapacity` frames, until the converter reports the end of the stream. A `dry`
// source has nothing at every other call.
std::vector<float> convertAll(AudioConverter& converter, std::uint32_t frames, std::uint32_t blockFrames,
                              std::uint32_t outputCapacity, bool dry = false) {
    std::uint32_t offset = 0;
    bool dryNow = false;
    std::optional<PcmBuffer> block;
    const AudioConverter::InputBlock pull = [&](Input& status) -> const PcmBuffer* {
        const std::uint32_t n = std::min(blockFrames, frames - offset);
        dryNow = dry && !dryNow;
        status = dryNow ? Input::NoDataNow : (n ? Input::HaveData : Input::EndOfStream);
        if (status == Input::HaveData)
            block = tone(converter.inputFormat(), offset, n);
        offset += status == Input::HaveData ? n : 0;
        return status == Input::HaveData ? &*block : nullptr;
    };
    std::vector<float> out;
    auto output = PcmBuffer::create(kWorking, outputCapacity);
    for (auto status = Output::HaveData; status != Output::EndOfStream && status != Output::Error;) {
        QString error;
        status = converter.convert(*output, pull, &error);
        EXPECT_NE(status, Output::Error) << error.toStdString();
        out.insert(out.end(), output->floatChannelData(0),
                   output->floatChannelData(0) + output->frameLength());
    }
    return out;
}

} // namespace

TEST(AudioFile, KeepsEverySampleAndRefusesWhatItCannotHandleNamingTheFileAndTheCause) {
    const AudioFormat format{48000, 2, SampleType::Int16, true};
    auto int16 = PcmBuffer::create(format, 2);
    std::ranges::copy(std::array<std::int16_t, 4>{12345, -23456, 32767, -32768}, int16->int16ChannelData(0));
    int16->setFrameLength(2);
    // Planar float is taken as well; beyond full scale it is clipped, not wrapped around.
    auto planar = PcmBuffer::create({48000, 2, SampleType::Float32, false}, 2);
    std::ranges::copy(std::array{0.5f, 2.0f}, planar->floatChannelData(0));
    std::ranges::copy(std::array{-0.5f, -2.0f}, planar->floatChannelData(1));
    planar->setFrameLength(2);
    auto writer = AudioFileWriter::create(path("stereo.wav"), format);
    writer->write(*int16);
    writer->write(*planar);
    writer->close();

    // Read back as planar float, 16-bit samples over 32768: every one as it was written.
    auto reader = AudioFileReader::open(path("stereo.wav"));
    ASSERT_EQ(reader->processingFormat(), (AudioFormat{48000, 2, SampleType::Float32, false}));
    auto read = PcmBuffer::create(reader->processingFormat(), 16);
    reader->read(*read);
    ASSERT_EQ(read->frameLength(), 4u);
    const float expected[2][4] = {{12345 / 32768.0f, 32767 / 32768.0f, 0.5f, 32767 / 32768.0f},
                                  {-23456 / 32768.0f, -1.0f, -0.5f, -1.0f}};
    for (int c = 0; c < 2; ++c)
        EXPECT_TRUE(std::equal(expected[c], expected[c] + 4, read->floatChannelData(c))) << "channel " << c;

    writeFile(path("header-cut.wav"), canonicalWav(956, 992, 956).left(30));
    const std::pair<const char*, const char*> unreadable[] = {{"missing.wav", "no such file"},
                                                              {"", "it is a folder"},
                                                              {"header-cut.wav", "Cannot open audio file"}};
    for (const auto& [name, reason] : unreadable)
        EXPECT_THAT(
            [&] { AudioFileReader::open(path(name)); },
            ThrowsMessage<SystemError>(AllOf(HasSubstr(path(name).toStdString()), HasSubstr(reason))));

    EXPECT_THROW(AudioFileWriter::create(path("no/such/folder/x.wav"), kWorking), SystemError);
    for (const double rate : {0.0, 44100.5})
        EXPECT_THROW(AudioFileWriter::create(path("x.wav"), {rate, 1, SampleType::Float32, false}),
                     SystemError);
    auto mono = AudioFileWriter::create(path("mono.wav"), kWorking);
    // A recording is never written over.
    EXPECT_THROW(AudioFileWriter::create(path("mono.wav"), kWorking), SystemError);
    for (const AudioFormat& other : {AudioFormat{16000, 2, SampleType::Float32, false},
                                     AudioFormat{48000, 1, SampleType::Float32, false}}) {
        auto block = PcmBuffer::create(other, 4);
        block->setFrameLength(4);
        EXPECT_THROW(mono->write(*block), SystemError);
    }
}

// The repair sets both size fields from the file's length and changes nothing else, and a second
// pass finds nothing left to do; files it must not or cannot understand stay as they are.
TEST(WavHeaderRepair, SetsBothSizesFromTheFileLengthAndLeavesEverythingElse) {
    // An extended 34-byte format chunk whose content happens to contain "data", then a 1-byte chunk
    // with its pad byte: a byte search or a walk without the pad would land in the wrong place.
    const QByteArray extended =
        "WAVE" + chunk("fmt ", kFloatFmt + QByteArray::fromHex("1000") + "data" + QByteArray(12, '\x7f')) +
        "odd " + le32(1) + QByteArray("x\0", 2) + "data";
    const QByteArray samples(333, '\x22');
    // A data chunk behind 128 KiB of other chunks is out of reach, as is one whose header straddles
    // the boundary; one whose header ends exactly at it is found.
    const auto behindJunk = [](int junkBytes, std::uint32_t riff = 0, std::uint32_t data = 0) -> QByteArray {
        return "RIFF" + le32(riff) + "WAVE" + chunk("junk", QByteArray(junkBytes, '\0')) + "data" +
               le32(data) + QByteArray(100, '\x01');
    };
    const int edge = 131072 - 20 - 8;
    const QByteArray good = canonicalWav(956, 992, 956), broken = canonicalWav(956, 0, 0);
    // Each file as written and as the repair must leave it (null: untouched).
    const std::tuple<const char*, QByteArray, QByteArray> cases[] = {
        // Right already; as an interrupted writer leaves them; one of them only; larger than the
        // file (a header written ahead of its samples).
        {"mixed-2025-03-01T14:05:09Z.wav", good, good},
        {"interrupted.wav", broken, good},
        {"one.wav", canonicalWav(956, 992, 12), good},
        {"ahead.wav", canonicalWav(956, 0x7FFFFFF0u, 0x7FFFFFC0u), good},
        {"extended.WAV", "RIFF" + le32(0) + extended + le32(0) + samples, // any case of extension
         "RIFF" + le32(std::uint32_t(extended.size() + 4 + 333)) + extended + le32(333) + samples},
        {"edge.wav", behindJunk(edge), behindJunk(edge, edge + 120, 100)},
        {"far.wav", behindJunk(200000), {}},
        {"straddle.wav", behindJunk(edge + 4), {}},
        {"recording.wav.part", broken, {}},
        {"header-only.wav", canonicalWav(0, 0, 0), {}}, // 44 bytes
        {"rifx.wav", "RIFX" + broken.mid(4), {}},
        {"avi.wav", broken.left(8) + "AVI " + broken.mid(12), {}},
        {"nodata.wav", "RIFF" + le32(0) + "WAVE" + chunk("LIST", QByteArray(500, 'x')), {}},
    };
    for (const auto& [name, before, repaired] : cases) {
        const QByteArray& after = repaired.isNull() ? before : repaired;
        writeFile(path(name), before);
        EXPECT_EQ(WavHeaderRepair::repairIfNeeded(path(name)), before != after) << name;
        EXPECT_EQ(readFile(path(name)), after) << name;
        EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path(name))) << name << ": a second pass";
    }
    EXPECT_FALSE(WavHeaderRepair::repairIfNeeded(path("missing.wav")));

    // Beyond 4 GB both sizes are clamped. Sparse on the file systems tests run on: no real 5 GB
    // are written.
    QFile huge(path("interrupted.wav"));
    if (!huge.resize(qint64{5} << 30))
        GTEST_SKIP() << "the temporary file system cannot hold a sparse 5 GB file";
    EXPECT_TRUE(WavHeaderRepair::repairIfNeeded(huge.fileName()));
    ASSERT_TRUE(huge.open(QIODevice::ReadOnly));
    EXPECT_EQ(huge.read(44), canonicalWav(0, 0xFFFFFFFFu, 0xFFFFFFFFu));
}

// At the working rate the samples pass straight through: channels are averaged (not one taken),
// 16-bit samples are divided by 32768. Resampled, the stream is the same however it is cut into
// pieces, with moments without input between them, and after a reset; it ends with what the
// filter still held: 30000 frames at 44.1 kHz give 10884 at 16 kHz.
TEST(AudioConverter, AveragesChannelsScales16BitSamplesAndResamplesPiecesLikeOneBlock) {
    for (const AudioFormat& format : {AudioFormat{16000, 2, SampleType::Float32, false},
                                      AudioFormat{16000, 2, SampleType::Int16, true}}) {
        auto converter = AudioConverter::create(format, kWorking);
        ASSERT_TRUE(converter);
        const std::vector<float> out = convertAll(*converter, 3000, 1000, 777);
        ASSERT_EQ(out.size(), 3000u);
        const PcmBuffer in = tone(format, 0, 3000);
        const auto at = [&](std::uint32_t i, int c) {
            return format.sampleType == SampleType::Float32 ? in.floatChannelData(c)[i]
                                                            : in.int16ChannelData(0)[2 * i + c] / 32768.0f;
        };
        for (std::uint32_t i = 0; i < 3000; ++i)
            ASSERT_NEAR(out[i], (at(i, 0) + at(i, 1)) / 2, 1e-6f) << "frame " << i;
    }

    const AudioFormat format{44100, 2, SampleType::Float32, false};
    auto oneShot = AudioConverter::create(format, kWorking);
    auto streamed = AudioConverter::create(format, kWorking);
    ASSERT_TRUE(oneShot && streamed);
    const std::vector<float> whole = convertAll(*oneShot, 30000, 30000, 20000);
    EXPECT_NEAR(double(whole.size()), 10884.0, 4.0);
    const std::vector<float> pieces = convertAll(*streamed, 30000, 37, 29, true);
    ASSERT_EQ(pieces.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i)
        ASSERT_NEAR(pieces[i], whole[i], 1e-5f) << "at frame " << i;
    oneShot->reset();
    EXPECT_EQ(convertAll(*oneShot, 30000, 4096, 4096), whole);
}

// The level is twice the RMS, clamped to 1.
TEST(AudioLevelComputer, IsTwiceTheRmsClampedToOneOverTheChannelsThatCount) {
    std::vector<float> samples(4096, 0.3f);
    EXPECT_NEAR(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), 0.6f, 1e-5f);
    EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), 0), 0.0f);
    EXPECT_EQ(AudioLevelComputer::rmsLevel(PcmBuffer::fromMonoFloat(samples.data(), 0)), 0.0f);
    // 2 * sqrt((4095 * 0.09 + 1600) / 4096) = 1.39 is clamped. A value that is not a number gives 0
    // rather than poisoning the level bars; infinity is full scale.
    for (const auto& [odd, level] : {std::pair{40.0f, 1.0f},
                                     {std::numeric_limits<float>::quiet_NaN(), 0.0f},
                                     {std::numeric_limits<float>::infinity(), 1.0f}}) {
        samples[100] = odd;
        EXPECT_EQ(AudioLevelComputer::rmsLevelFromRawFloat(samples.data(), samples.size()), level) << odd;
    }

    // 16-bit samples count against 32767 and only on the first channel; float blocks count every
    // channel.
    for (const SampleType type : {SampleType::Int16, SampleType::Float32}) {
        for (const bool interleaved : {false, true}) {
            // The left channel at a quarter of full scale in the second half of the block, the right
            // one silent: a sum over too few interleaved samples would miss it.
            auto block = PcmBuffer::create({48000, 2, type, interleaved}, 512);
            for (std::size_t i = 256; i < 512; ++i) {
                if (type == SampleType::Int16)
                    block->int16ChannelData(0)[interleaved ? 2 * i : i] = 8192;
                else
                    block->floatChannelData(0)[interleaved ? 2 * i : i] = 0.25f;
            }
            block->setFrameLength(512);
            const float expected = type == SampleType::Int16 ? 2.0f * 8192 / 32767 / std::sqrt(2.0f) : 0.25f;
            EXPECT_NEAR(AudioLevelComputer::rmsLevel(*block), expected, 5e-6f) << interleaved;
        }
    }
}
