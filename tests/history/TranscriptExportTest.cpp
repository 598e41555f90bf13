#include "HistoryTestSupport.h"

#include "history/ByteCountFormatter.h"
#include "history/TranscriptExport.h"
#include "pipeline/TranscriptSegmentsFile.h"
#include "storage/SessionStore.h"

#include <QFile>

#include <gtest/gtest.h>

namespace murmurly::test {
namespace {

using Format = TranscriptExport::Format;

LemonfoxSegment segment(std::optional<double> start, std::optional<double> end, QString text,
                        std::optional<QString> speaker = std::nullopt) {
    return {std::nullopt, std::move(text), start, end, std::move(speaker)};
}

TEST(TranscriptExport, SubtitlesCarryOneTimedCuePerSegmentAndTextIsTheTranscriptAsItIs) {
    // As a service may answer: out of order, a blank segment, a line
    // break, markup characters, no speaker, more than an hour in.
    SessionStore::saveTranscript(QStringLiteral("[00:00] SPEAKER_00: Hello there.\r\n…\n"), kA);
    TranscriptSegmentsFile::save({segment(3725.0004, 3727.9996, "Later <b>&</b> on", "SPEAKER_01"),
                                  segment(0, 1.5, "  Hello there. ", "SPEAKER_00"),
                                  segment(1.5, 1.5, "   ", "SPEAKER_01"),
                                  segment(2.25, 2.75, "Two\nlines", "SPEAKER_01"), segment(3, 4, "Nobody")},
                                 kA);
    const QString srt = inApp("out.srt"), vtt = inApp("out.vtt"), txt = inApp("out.txt");
    EXPECT_EQ(TranscriptExport::write(kA, Format::subRip, srt), std::nullopt);
    EXPECT_EQ(TranscriptExport::write(kA, Format::webVTT, vtt), std::nullopt);
    EXPECT_EQ(TranscriptExport::write(kA, Format::plainText, txt), std::nullopt);

    const QStringList expected = {"0.000000,1.500000", "2.250000,0.500000", "3.000000,1.000000",
                                  "3725.000000,3.000000"};
    EXPECT_EQ(cueTimes(srt), expected);
    EXPECT_EQ(cueTimes(vtt), expected);
    EXPECT_EQ(readFile(srt),
              QByteArray("1\n00:00:00,000 --> 00:00:01,500\nSPEAKER_00: Hello there.\n\n"
                         "2\n00:00:02,250 --> 00:00:02,750\nSPEAKER_01: Two lines\n\n"
                         "3\n00:00:03,000 --> 00:00:04,000\nNobody\n\n"
                         "4\n01:02:05,000 --> 01:02:08,000\nSPEAKER_01: Later <b>&</b> on\n\n"));
    EXPECT_TRUE(
        readFile(vtt).contains("\n01:02:05.000 --> 01:02:08.000\n<v SPEAKER_01>Later &lt;b&gt;&amp;"));
    EXPECT_EQ(readFile(txt), readFile(inTranscripts(kA + ".txt")));
}

TEST(TranscriptExport, WithoutCompleteTimingsOnlyTextIsOfferedAndAFailedWriteSaysWhy) {
    EXPECT_FALSE(TranscriptExport::hasTimings({}));
    EXPECT_FALSE(TranscriptExport::hasTimings({segment(0, 1, "a"), segment(1, std::nullopt, "b")}));
    EXPECT_TRUE(TranscriptExport::hasTimings({segment(0, 1, "a"), segment(std::nullopt, std::nullopt, " ")}));

    SessionStore::saveTranscript(QStringLiteral("text"), kA);
    EXPECT_TRUE(TranscriptExport::write(kA, Format::subRip, inApp("none.srt")).has_value());
    // A later run without segments leaves no timings of the earlier one behind.
    TranscriptSegmentsFile::save({segment(0, 1, "old")}, kA);
    TranscriptSegmentsFile::save({}, kA);
    EXPECT_FALSE(QFile::exists(TranscriptSegmentsFile::location(kA)));
    for (const QByteArray& damaged : {QByteArray("{}"), QByteArray(R"([{"text":"a","start":"0"}])")}) {
        writeFile(TranscriptSegmentsFile::location(kA), damaged);
        EXPECT_EQ(TranscriptSegmentsFile::load(kA), std::nullopt) << damaged.toStdString();
    }
    EXPECT_FALSE(QFile::exists(inApp("none.srt")));
    // Nothing lands half-written where the user pointed: a folder there keeps its place.
    EXPECT_TRUE(TranscriptExport::write(kA, Format::plainText, inApp("")).has_value());
    EXPECT_TRUE(TranscriptExport::write("unknown", Format::plainText, inApp("x.txt")).has_value());
    EXPECT_FALSE(QFile::exists(inApp("x.txt")));
}

TEST(ByteCountFormatter, WritesDecimalKilobytesMegabytesAndGigabytesOnly) {
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const std::pair<std::int64_t, const char*> cases[] = {{1, "1 KB"},
                                                          {499, "1 KB"},
                                                          {1500, "2 KB"},
                                                          {999'499, "999 KB"},
                                                          {999'500, "1 MB"},
                                                          {1'250'000, "1.3 MB"},
                                                          {12'000'000, "12 MB"},
                                                          {999'949'999, "999.9 MB"},
                                                          {999'950'000, "1 GB"},
                                                          {2'345'000'000, "2.35 GB"},
                                                          {4'100'000'000, "4.1 GB"},
                                                          {7'000'000'000'000, "7,000 GB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(ByteCountFormatter::string(bytes, us), QString::fromLatin1(text)) << bytes;
    const QLocale de(QLocale::German, QLocale::Germany);
    EXPECT_EQ(ByteCountFormatter::string(2'345'000'000, de), QStringLiteral("2,35 GB"));
    EXPECT_EQ(ByteCountFormatter::string(7'000'000'000'000, de), QStringLiteral("7.000 GB"));
}

} // namespace
} // namespace murmurly::test
