#include "support/PulseFixture.h"

#include <QFileInfo>
#include <QMap>
#include <QProcess>

namespace murmurly::test {

static QString g_lastError;

bool PulseFixture::run(const QString& program, const QStringList& arguments, QString* output) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted()) {
        g_lastError = program + QStringLiteral(": ") + process.errorString();
        return false;
    }
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        g_lastError = program + QStringLiteral(" did not finish");
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
    const QString server = qEnvironmentVariable("PULSE_SERVER");
    const QString prefix = QStringLiteral("unix:");
    const QString suffix = QStringLiteral("/native");
    if (!server.startsWith(prefix) || !server.endsWith(suffix))
        return {};
    return server.mid(prefix.size(), server.size() - prefix.size() - suffix.size());
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
    if (!pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                QStringLiteral("sink_name=") + name},
               &output))
        return -1;
    bool ok = false;
    const int index = output.trimmed().toInt(&ok);
    return ok ? index : -1;
}

bool PulseFixture::setDefaultSink(const QString& name) {
    return pactl({QStringLiteral("set-default-sink"), name});
}

double PulseFixture::sourceRate(const QString& name) {
    QString sources;
    if (!pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")}, &sources))
        return 0;
    // "index<TAB>name<TAB>driver<TAB>float32le 2ch 48000Hz<TAB>state"
    for (const QString& line : sources.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() >= 4 && fields[1] == name)
            return fields[3].section(QLatin1Char(' '), -1).chopped(2).toDouble();
    }
    return 0;
}

QStringList PulseFixture::recordingSources() {
    QString sources;
    QString outputs;
    if (!pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")}, &sources) ||
        !pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("source-outputs")}, &outputs))
        return {};
    // "index<TAB>name<TAB>..." for sources; "index<TAB>source index<TAB>..." for source outputs.
    QMap<QString, QString> nameOfSource;
    for (const QString& line : sources.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() >= 2)
            nameOfSource.insert(fields[0], fields[1]);
    }
    QStringList recording;
    for (const QString& line : outputs.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() >= 2)
            recording.append(nameOfSource.value(fields[1], fields[1]));
    }
    return recording;
}

} // namespace murmurly::test
