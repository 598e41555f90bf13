#include "history/SessionDateFormatter.h"

#include <gtest/gtest.h>

#include <ctime>

namespace murmurly::test {
namespace {

QDateTime utc(int y, int mo, int d, int h, int mi, int s) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

TEST(SessionDateFormatter, ReadsInternetDateTimesOnly) {
    using F = SessionDateFormatter;
    EXPECT_EQ(F::parseInternetDateTime(QStringLiteral("2025-03-01T14:05:09Z")), utc(2025, 3, 1, 14, 5, 9));
    // An offset names the same instant in another zone.
    EXPECT_EQ(F::parseInternetDateTime(QStringLiteral("2025-03-01T16:05:09+02:00")),
              utc(2025, 3, 1, 14, 5, 9));
    EXPECT_EQ(F::parseInternetDateTime(QStringLiteral("2025-03-01T00:05:09-05:30")),
              utc(2025, 3, 1, 5, 35, 9));

    const char* refused[] = {
        "2025-03-01T14:05:09.500Z", // fractional seconds
        "2025-03-01T14:05:09",      // no zone
        "2025-03-01",               // date only
        "2025-03-01 14:05:09Z",     // space instead of T
        "2025-03-01t14:05:09z",     // lower case
        "2025-13-01T14:05:09Z",     // no such month
        "2025-02-30T14:05:09Z",     // no such day
        "2025-03-01T24:05:09Z",     // no such hour
        "2025-03-01T14:05:09+0200", // offset without colon
        "2025-03-01T14:05:09Z.wav", // trailing text
        "meeting-notes",
        "",
    };
    for (const char* text : refused)
        EXPECT_FALSE(F::parseInternetDateTime(QString::fromLatin1(text)).isValid()) << text;
}

TEST(SessionDateFormatter, MediumDatesDropTheWeekdayAndShortenTheMonth) {
    EXPECT_EQ(SessionDateFormatter::mediumDateFormat(QLocale(QLocale::English, QLocale::UnitedStates)),
              QStringLiteral("MMM d, yyyy"));
    EXPECT_EQ(SessionDateFormatter::mediumDateFormat(QLocale(QLocale::German, QLocale::Germany)),
              QStringLiteral("d. MMM yyyy"));
    // Text that belongs to a field (the day's "日") stays; only separators go with the weekday.
    const QString japanese =
        SessionDateFormatter::mediumDateFormat(QLocale(QLocale::Japanese, QLocale::Japan));
    EXPECT_FALSE(japanese.contains(QStringLiteral("ddd")));
    EXPECT_TRUE(japanese.contains(QStringLiteral("d日"))) << japanese.toStdString();

    // Every locale keeps a year, a month and a day and never names the weekday.
    for (const QLocale& locale :
         QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyCountry)) {
        const QString format = SessionDateFormatter::mediumDateFormat(locale);
        SCOPED_TRACE(locale.name().toStdString() + " " + format.toStdString());
        EXPECT_TRUE(format.contains(u'y'));
        EXPECT_TRUE(format.contains(u'M'));
        EXPECT_TRUE(format.contains(u'd'));
        EXPECT_FALSE(format.contains(QStringLiteral("ddd")));
        EXPECT_FALSE(format.startsWith(u',') || format.endsWith(u','));
    }
}

TEST(SessionDateFormatter, WritesTheLocalTimeWithAMediumDateAndShortTime) {
    qputenv("TZ", "America/New_York");
    tzset();
    const SessionDateFormatter us(QLocale(QLocale::English, QLocale::UnitedStates));
    // 14:05Z is 9:05 in New York in March (before the switch to summer time).
    const QString text = us.format(utc(2025, 3, 1, 14, 5, 9));
    EXPECT_EQ(text, QStringLiteral("Mar 1, 2025 9:05 AM"));
    // Seconds never appear.
    EXPECT_FALSE(text.contains(QStringLiteral(":09")));

    const SessionDateFormatter de(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(de.format(utc(2025, 3, 1, 14, 5, 9)), QStringLiteral("1. März 2025 09:05"));
}

} // namespace
} // namespace murmurly::test
