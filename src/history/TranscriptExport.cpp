#include "history/TranscriptExport.h"

#include "pipeline/TranscriptSegmentsFile.h"
#include "storage/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace murmurly {

namespace {

struct Cue {
    double start = 0;
    double end = 0;
    QString speaker; // empty when the service named none
    QString text;
};

// Segments without words are dropped; line breaks inside a segment become spaces, because a blank
// line ends a cue in both formats.
QList<Cue> cuesOf(const QList<LemonfoxSegment>& segments) {
    static const QRegularExpression lineBreaks(QStringLiteral("\\s*[\\r\\n]+\\s*"));
    QList<Cue> cues;
    for (const LemonfoxSegment& segment : segments) {
        QString text = segment.text.trimmed();
        if (text.isEmpty())
            continue;
        text.replace(lineBreaks, QStringLiteral(" "));
        const double start = segment.start.value_or(0.0);
        cues.append({start, std::max(start, segment.end.value_or(start)),
                     segment.speaker.value_or(QString()).trimmed(), text});
    }
    std::stable_sort(cues.begin(), cues.end(), [](const Cue& a, const Cue& b) { return a.start < b.start; });
    return cues;
}

QString escapedForWebVTT(QString text) {
    return text.replace(u'&', QStringLiteral("&amp;"))
        .replace(u'<', QStringLiteral("&lt;"))
        .replace(u'>', QStringLiteral("&gt;"));
}

std::optional<QString> writeAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return file.errorString();
    return std::nullopt;
}

} // namespace

QString TranscriptExport::suffix(Format format) {
    switch (format) {
    case Format::subRip:
        return QStringLiteral("srt");
    case Format::webVTT:
        return QStringLiteral("vtt");
    case Format::plainText:
        break;
    }
    return QStringLiteral("txt");
}

bool TranscriptExport::hasTimings(const QList<LemonfoxSegment>& segments) {
    bool anyWords = false;
    for (const LemonfoxSegment& segment : segments) {
        if (segment.text.trimmed().isEmpty())
            continue;
        if (!segment.start || !segment.end)
            return false;
        anyWords = true;
    }
    return anyWords;
}

QString TranscriptExport::timestamp(double seconds, QChar fractionSeparator) {
    const long long ms = std::isfinite(seconds) && seconds > 0 ? std::llround(seconds * 1000.0) : 0;
    return QString::asprintf("%02lld:%02lld:%02lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60) +
           fractionSeparator + QString::asprintf("%03lld", ms % 1000);
}

QByteArray TranscriptExport::subRip(const QList<LemonfoxSegment>& segments) {
    QString out;
    int number = 0;
    for (const Cue& cue : cuesOf(segments)) {
        out += QString::number(++number) + u'\n' + timestamp(cue.start, u',') + QStringLiteral(" --> ") +
               timestamp(cue.end, u',') + u'\n' +
               (cue.speaker.isEmpty() ? QString() : cue.speaker + QStringLiteral(": ")) + cue.text +
               QStringLiteral("\n\n");
    }
    return out.toUtf8();
}

QByteArray TranscriptExport::webVTT(const QList<LemonfoxSegment>& segments) {
    QString out = QStringLiteral("WEBVTT\n\n");
    for (const Cue& cue : cuesOf(segments)) {
        out += timestamp(cue.start, u'.') + QStringLiteral(" --> ") + timestamp(cue.end, u'.') + u'\n' +
               (cue.speaker.isEmpty() ? QString()
                                      : QStringLiteral("<v ") + escapedForWebVTT(cue.speaker) + u'>') +
               escapedForWebVTT(cue.text) + QStringLiteral("\n\n");
    }
    return out.toUtf8();
}

std::optional<QString> TranscriptExport::write(const QString& sessionID, Format format, const QString& path) {
    if (format == Format::plainText) {
        QFile transcript(
            QDir(SessionStore::transcriptsDirectory()).filePath(sessionID + QStringLiteral(".txt")));
        if (!transcript.open(QIODevice::ReadOnly))
            return QStringLiteral("The transcript cannot be read: %1").arg(transcript.errorString());
        return writeAtomically(path, transcript.readAll());
    }
    const std::optional<QList<LemonfoxSegment>> segments = TranscriptSegmentsFile::load(sessionID);
    if (!segments || !hasTimings(*segments))
        return QStringLiteral("This session has no timings for subtitles.");
    return writeAtomically(path, format == Format::subRip ? subRip(*segments) : webVTT(*segments));
}

} // namespace murmurly
