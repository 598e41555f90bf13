#include "history/SessionDateFormatter.h"

#include <QRegularExpression>

#include <ctime>
#include <vector>

namespace murmurly {

namespace {

// A piece of a QLocale/QDateTime format string: a field (a run of one ASCII letter) or literal text
// (quoted or not), kept as its original source so that reassembly needs no re-quoting.
struct FormatToken {
    QString source;
    QChar field; // null for literal text
};

std::vector<FormatToken> tokenize(const QString& format) {
    std::vector<FormatToken> tokens;
    const auto isFieldLetter = [](QChar c) { return c.isLetter() && c.unicode() < 128; };
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format.at(i);
        qsizetype end = i + 1;
        if (c == u'\'') {
            // Quoted literal; '' inside quotes is an escaped quote.
            while (end < format.size()) {
                if (format.at(end) == u'\'') {
                    if (end + 1 < format.size() && format.at(end + 1) == u'\'') {
                        end += 2;
                        continue;
                    }
                    ++end;
                    break;
                }
                ++end;
            }
            tokens.push_back({format.mid(i, end - i), QChar()});
        } else if (isFieldLetter(c)) {
            while (end < format.size() && format.at(end) == c)
                ++end;
            tokens.push_back({format.mid(i, end - i), c});
        } else {
            while (end < format.size() && format.at(end) != u'\'' && !isFieldLetter(format.at(end)))
                ++end;
            tokens.push_back({format.mid(i, end - i), QChar()});
        }
        i = end;
    }
    return tokens;
}

bool isPlainLiteral(const FormatToken& token) {
    return token.field.isNull() && !token.source.startsWith(u'\'');
}

bool isSeparatorChar(QChar c) {
    return c.isSpace() || c.isPunct();
}

bool isWeekday(const FormatToken& token) {
    return token.field == u'd' && token.source.size() >= 3;
}

} // namespace

SessionDateFormatter::SessionDateFormatter(const QLocale& locale)
    : m_locale(locale)
    , m_dateFormat(mediumDateFormat(locale))
    , m_timeFormat(locale.timeFormat(QLocale::ShortFormat)) {}

QString SessionDateFormatter::mediumDateFormat(const QLocale& locale) {
    std::vector<FormatToken> tokens = tokenize(locale.dateFormat(QLocale::LongFormat));
    for (std::size_t i = 0; i < tokens.size();) {
        if (!isWeekday(tokens[i])) {
            ++i;
            continue;
        }
        // Drop the weekday with the separator that joins it to the rest of the date: the spaces and
        // punctuation that follow it, or those before it when it ends the format. Text that belongs
        // to a field (the Japanese "日" after the day) is kept.
        tokens.erase(tokens.begin() + std::ptrdiff_t(i));
        if (i < tokens.size() && isPlainLiteral(tokens[i])) {
            QString& text = tokens[i].source;
            qsizetype n = 0;
            while (n < text.size() && isSeparatorChar(text.at(n)))
                ++n;
            text.remove(0, n);
            if (text.isEmpty())
                tokens.erase(tokens.begin() + std::ptrdiff_t(i));
        } else if (i == tokens.size() && i > 0 && isPlainLiteral(tokens[i - 1])) {
            QString& text = tokens[i - 1].source;
            while (!text.isEmpty() && isSeparatorChar(text.back()))
                text.chop(1);
            if (text.isEmpty())
                tokens.erase(tokens.begin() + std::ptrdiff_t(i - 1));
        }
    }
    QString result;
    bool hasYear = false;
    bool hasMonth = false;
    bool hasDay = false;
    for (const FormatToken& token : tokens) {
        hasYear = hasYear || token.field == u'y';
        hasMonth = hasMonth || token.field == u'M';
        hasDay = hasDay || token.field == u'd';
        result += (token.field == u'M' && token.source.size() == 4) ? QStringLiteral("MMM") : token.source;
    }
    // A locale whose long form is unusual (no year, month or day left) gets its short date instead.
    if (!hasYear || !hasMonth || !hasDay)
        return locale.dateFormat(QLocale::ShortFormat);
    return result.trimmed();
}

QDateTime SessionDateFormatter::parseInternetDateTime(const QString& text) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(Z|([+-])(\d{2}):(\d{2}))$)"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return {};
    const QDate date(match.capturedView(1).toInt(), match.capturedView(2).toInt(),
                     match.capturedView(3).toInt());
    const QTime time(match.capturedView(4).toInt(), match.capturedView(5).toInt(),
                     match.capturedView(6).toInt());
    if (!date.isValid() || !time.isValid())
        return {};
    int offsetSeconds = 0;
    if (match.capturedView(7) != u"Z") {
        const int hours = match.capturedView(9).toInt();
        const int minutes = match.capturedView(10).toInt();
        if (hours > 23 || minutes > 59)
            return {};
        offsetSeconds = (hours * 60 + minutes) * 60 * (match.capturedView(8) == u"-" ? -1 : 1);
    }
    // 14:00+02:00 is 12:00Z.
    return QDateTime(date, time, Qt::UTC).addSecs(-offsetSeconds);
}

QString SessionDateFormatter::format(const QDateTime& dateTime) const {
    // localtime_r rather than QDateTime::toLocalTime(): Qt re-reads the zone settings on every
    // conversion (a file-system call each), which made the display names the bulk of a scan.
    const time_t seconds = time_t(dateTime.toSecsSinceEpoch());
    struct tm parts {};
    if (!localtime_r(&seconds, &parts))
        return m_locale.toString(dateTime.toLocalTime(), m_dateFormat + u' ' + m_timeFormat);
    const QDate date(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
    auto dateText = m_dateTexts.constFind(date);
    if (dateText == m_dateTexts.cend())
        dateText = m_dateTexts.insert(date, m_locale.toString(date, m_dateFormat));
    // The short time shows hours and minutes only, so one text serves a whole minute.
    const int minute = parts.tm_hour * 60 + parts.tm_min;
    auto timeText = m_timeTexts.constFind(minute);
    if (timeText == m_timeTexts.cend())
        timeText =
            m_timeTexts.insert(minute, m_locale.toString(QTime(parts.tm_hour, parts.tm_min), m_timeFormat));
    // Joined by a space as QLocale joins its own date-time formats.
    return dateText.value() + u' ' + timeText.value();
}

} // namespace murmurly
