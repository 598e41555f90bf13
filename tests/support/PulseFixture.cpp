#include "support/PulseFixture.h"

#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>

namespace murmurly::test {

static QString g_lastError;

bool PulseFixture::run(const QString& program, const QStringList& arguments, QString* output) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000)) { // did not start, or did not finish in time
        g_lastError = program + QStringLiteral(": ") + process.errorString();
        process.kill();
        process.waitForFinished();
        return false;
    }
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        g_lastError = program + QStringLiteral(" ") + arguments.join(QLatin1Char(' ')) +
                      QStringLiteral(": ") + QString::fromUtf8(process.readAllStandardError()).trimmed();
        return false;
    }
    return true;
}

QString PulseFixture::directory() {
    static const QRegularExpression socket(QStringLiteral("^unix:(.+)/native$"));
    return socket.match(qEnvironmentVariable("PULSE_SERVER")).captured(1);
}

QString PulseFixture::lastError() {
    return g_lastError;
}

bool PulseFixture::runScript(const QString& command) {
    const QString dir = directory();
    if (dir.isEmpty()) {
        g_lastError = QStringLiteral("PULSE_SERVER does not name the fixture's socket");
        return false;
    }
    // <build>/pulse-fixture is run by pulse-fixture.sh, <build>/pipewire-fixture by pipewire-fixture.sh.
    const QString script =
        QStringLiteral(MURMURLY_FIXTURE_SCRIPT_DIR "/") + QFileInfo(dir).fileName() + QStringLiteral(".sh");
    return run(script, {command, dir});
}

bool PulseFixture::speak(const QString& text, const QString& path) {
    return run(QStringLiteral("espeak-ng"), {QStringLiteral("-w"), path, text});
}

bool PulseFixture::play(const QString& path, const QString& sink) {
    return run(QStringLiteral("paplay"), {QStringLiteral("--device=") + sink, path});
}

std::unique_ptr<QProcess> PulseFixture::startPlaying(const QString& path, const QString& sink) {
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral("paplay"), {QStringLiteral("--device=") + sink, path});
    if (!process->waitForStarted()) {
        g_lastError = QStringLiteral("paplay: ") + process->errorString();
        return nullptr;
    }
    return process;
}

int PulseFixture::loadNullSink(const QString& name) {
    QString output;
    // A failed pactl prints no index.
    pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
           QStringLiteral("sink_name=") + name},
          &output);
    bool ok = false;
    const int index = output.trimmed().toInt(&ok);
    return ok ? index : -1;
}

bool PulseFixture::setDefaultSink(const QString& name) {
    return pactl({QStringLiteral("set-default-sink"), name});
}

// The fields of each line of "pactl list short <what>" (tab-separated, the index first).
static QList<QStringList> listShort(const QString& what) {
    QString output;
    QList<QStringList> lines;
    if (PulseFixture::pactl({QStringLiteral("list"), QStringLiteral("short"), what}, &output)) {
        for (const QString& line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            lines.append(line.split(QLatin1Char('\t')));
    }
    return lines;
}

double PulseFixture::sourceRate(const QString& name) {
    // "index<TAB>name<TAB>driver<TAB>float32le 2ch 48000Hz<TAB>state"
    for (const QStringList& fields : listShort(QStringLiteral("sources"))) {
        if (fields.size() >= 4 && fields[1] == name)
            return fields[3].section(QLatin1Char(' '), -1).chopped(2).toDouble();
    }
    return 0;
}

QStringList PulseFixture::recordingSources() {
    // A source output's second field is the index of the source it records from.
    QMap<QString, QString> nameOfSource;
    for (const QStringList& fields : listShort(QStringLiteral("sources"))) {
        nameOfSource.insert(fields[0], fields.value(1));
    }
    QStringList recording;
    for (const QStringList& fields : listShort(QStringLiteral("source-outputs"))) {
        recording.append(nameOfSource.value(fields.value(1), fields.value(1)));
    }
    return recording;
}

} // namespace murmurly::test
