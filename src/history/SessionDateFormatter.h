#pragma once

#include <QDateTime>
#include <QHash>
#include <QLocale>
#include <QString>

namespace murmurly {

// The two date conversions of a history scan: reading a session id as an internet date-time
// ("2024-05-01T12:34:56Z") and writing a start time for the list in the user's locale.
// Built once per scan; the format strings are derived in the constructor.
class SessionDateFormatter {
public:
    explicit SessionDateFormatter(const QLocale& locale = QLocale());

    // An invalid QDateTime unless `text` is exactly yyyy-MM-ddTHH:mm:ss followed by "Z" or a
    // "+hh:mm"/"-hh:mm" offset, naming a real instant. Fractional seconds, a missing zone, a date
    // alone or lower-case separators are refused, so that arbitrary ids fall back to file dates.
    static QDateTime parseInternetDateTime(const QString& text);

    // Medium date and short time in the local time zone, e.g. "May 1, 2024 2:34 PM" (en_US).
    // Not thread-safe: it remembers the texts of dates and times already written, because QLocale
    // parses the format string on every call and a scan writes thousands of them.
    QString format(const QDateTime& dateTime) const;

    const QString& dateFormat() const { return m_dateFormat; }
    const QString& timeFormat() const { return m_timeFormat; }

    // The locale's long date format without the weekday and with abbreviated month names, which is
    // how a "medium" date reads in most locales ("dddd, MMMM d, yyyy" -> "MMM d, yyyy").
    static QString mediumDateFormat(const QLocale& locale);

private:
    QLocale m_locale;
    QString m_dateFormat;
    QString m_timeFormat;
    mutable QHash<QDate, QString> m_dateTexts;
    mutable QHash<int, QString> m_timeTexts; // by minute of the day
};

} // namespace murmurly
