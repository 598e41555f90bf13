#include "history/FileImport.h"

#include "audio/AudioFileWriter.h"
#include "audio/MediaFileDecoder.h"
#include "common/Error.h"
#include "history/SessionMetadataStore.h"
#include "pipeline/TranscriptionRunner.h"
#include "storage/SessionStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPromise>
#include <QUuid>
#include <QtConcurrent>

#include <vector>

namespace murmurly {

namespace {

Q_LOGGING_CATEGORY(lcImport, "com.murmurly.app.FileImport")

// Progress travels as an integer through the future; per mille is fine enough for a bar.
constexpr int progressSteps = 1000;

using DecodeResult = std::shared_ptr<const Error>; // null on success

// Decodes `source` into a session WAV at `partPath`. A decode that fails or is cancelled removes
// what it wrote.
void decodeToSessionWav(QPromise<DecodeResult>& promise, const QString& source, const QString& partPath) {
    promise.setProgressRange(0, progressSteps);
    DecodeResult error;
    try {
        auto decoder = MediaFileDecoder::open(source);
        auto writer = AudioFileWriter::create(partPath, AudioFormat::working());
        std::vector<float> block;
        int reported = -1;
        while (!promise.isCanceled() && decoder->read(block)) {
            writer->write(block.data(), block.size());
            const int step = int(decoder->progress() * progressSteps);
            if (step != reported) {
                promise.setProgressValue(step);
                reported = step;
            }
        }
        writer->close();
    } catch (const Error& e) {
        error = e.clone();
    } catch (const std::exception& e) {
        error = std::make_shared<SystemError>(QString::fromUtf8(e.what()));
    }
    if (error || promise.isCanceled())
        QFile::remove(partPath);
    promise.addResult(error);
}

// True when some file of the session `id` exists already (any recording prefix and audio
// suffix, its Opus copy or its transcript).
bool sessionExists(const QString& id) {
    const QString app = SessionStore::appSupportDirectory() + QLatin1Char('/');
    const QString transcripts = SessionStore::transcriptsDirectory() + QLatin1Char('/');
    if (QFileInfo::exists(transcripts + id + QStringLiteral(".txt")))
        return true;
    for (const QString& prefix : SessionStore::namePrefixes()) {
        for (const QString& suffix : SessionStore::audioSuffixes()) {
            if (QFileInfo::exists(app + prefix + id + suffix) ||
                QFileInfo::exists(transcripts + prefix + id + suffix))
                return true;
        }
    }
    return false;
}

// The id of a session starting now, moved on a second at a time while that id is taken (two
// imports within a second, or an import in the second a recording started).
QString freeSessionID() {
    QDateTime time = QDateTime::currentDateTimeUtc();
    QString id = SessionStore::sessionIDFor(time);
    while (sessionExists(id)) {
        time = time.addSecs(1);
        id = SessionStore::sessionIDFor(time);
    }
    return id;
}

const QString partPrefix = QStringLiteral("import-");
const QString partSuffix = QStringLiteral(".wav.part");

// Partial files of imports cut off by a crash or a quit; nobody else writes these names.
void removeStaleParts() {
    QDir app(SessionStore::appSupportDirectory());
    for (const QString& name : app.entryList({partPrefix + QLatin1Char('*') + partSuffix}, QDir::Files))
        app.remove(name);
}

// The text of a refusal or failure about `fileName`, as the banner shows it.
QString failureText(const QString& fileName, const QString& reason) {
    return QStringLiteral("Cannot import \"%1\": %2").arg(fileName, reason);
}

} // namespace

FileImport::FileImport(TranscriptionRunner& runner, ActivityCheck activity, QObject* parent)
    : QObject(parent)
    , m_runner(runner)
    , m_activity(std::move(activity)) {}

FileImport::~FileImport() {
    if (m_watcher) {
        m_watcher->disconnect(this);
        m_watcher->cancel();
        m_watcher->waitForFinished();
    }
}

bool FileImport::start(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    QString refusal;
    if (m_active)
        refusal = QStringLiteral("another file is being imported");
    else if (m_activity() == Activity::recording)
        refusal = QStringLiteral("a recording is in progress");
    else if (m_activity() == Activity::transcribing)
        refusal = QStringLiteral("a transcription is in progress");
    if (!refusal.isEmpty()) {
        emit failed(failureText(name, refusal));
        return false;
    }

    removeStaleParts();
    m_fileName = name;
    m_cancelRequested = false;
    m_partPath = SessionStore::appSupportDirectory() + QLatin1Char('/') + partPrefix +
                 QUuid::createUuid().toString(QUuid::WithoutBraces) + partSuffix;
    qCInfo(lcImport, "Importing %s", qUtf8Printable(path));

    m_watcher = std::make_unique<QFutureWatcher<DecodeResult>>();
    connect(m_watcher.get(), &QFutureWatcherBase::progressValueChanged, this,
            [this](int value) { setProgress(double(value) / progressSteps); });
    connect(m_watcher.get(), &QFutureWatcherBase::finished, this, &FileImport::finish);
    setProgress(0);
    setActive(true);
    m_watcher->setFuture(QtConcurrent::run(decodeToSessionWav, path, m_partPath));
    return true;
}

void FileImport::cancel() {
    if (!m_active || !m_watcher)
        return;
    m_cancelRequested = true;
    m_watcher->cancel();
}

void FileImport::finish() {
    // Deleted later: this runs inside the watcher's own signal.
    QFutureWatcher<DecodeResult>* watcher = m_watcher.release();
    watcher->deleteLater();
    const QFuture<DecodeResult> future = watcher->future();
    const DecodeResult error = future.resultCount() > 0 ? future.result() : nullptr;
    setActive(false);

    if (m_cancelRequested || future.isCanceled()) {
        qCInfo(lcImport, "Import of %s cancelled", qUtf8Printable(m_fileName));
        QFile::remove(m_partPath);
        return;
    }
    if (error) {
        qCWarning(lcImport, "Import of %s failed: %s", qUtf8Printable(m_fileName),
                  qUtf8Printable(error->description()));
        emit failed(failureText(m_fileName, error->description()));
        return;
    }
    setProgress(1.0);

    const QString id = freeSessionID();
    const QString wav =
        SessionStore::appSupportDirectory() + QStringLiteral("/mixed-") + id + QStringLiteral(".wav");
    if (!QFile::rename(m_partPath, wav)) {
        QFile::remove(m_partPath);
        emit failed(failureText(m_fileName, QStringLiteral("the session file cannot be written")));
        return;
    }
    SessionMetadataStore::setName(m_fileName, id);

    // A recording or run that began while the file was decoding keeps the pipeline: the session
    // stays in the history, ready to be transcribed from there.
    if (m_activity() != Activity::idle) {
        emit failed(QStringLiteral("Imported \"%1\" without transcribing it: the pipeline became busy. "
                                   "Transcribe it from the history.")
                        .arg(m_fileName));
        return;
    }
    m_runner.transcribeFiles(wav, id, std::nullopt, false, {});
    emit imported(id);
}

void FileImport::setActive(bool active) {
    if (m_active == active)
        return;
    m_active = active;
    emit isActiveChanged();
}

void FileImport::setProgress(double progress) {
    if (m_progress == progress)
        return;
    m_progress = progress;
    emit progressChanged();
}

} // namespace murmurly
