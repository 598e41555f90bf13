#include "audio/MediaFileDecoder.h"

#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QLoggingCategory>

namespace murmurly {

namespace {

Q_LOGGING_CATEGORY(lcMedia, "com.murmurly.app.MediaFileDecoder")

// The engine module sits at the same place relative to the program in the build tree and once
// installed (bin/ and lib/<triplet>/murmurly/ under one prefix); test and benchmark programs share bin/.
OpenMediaDecoderEngine engineEntryPoint() {
    static const OpenMediaDecoderEngine entryPoint = []() -> OpenMediaDecoderEngine {
        const QString programDir = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
        // Never unloaded: its code must stay for as long as the process may open a file.
        static QLibrary module(programDir +
                               QStringLiteral("/" MURMURLY_MEDIA_MODULE_FROM_BIN "/libmurmurly-media.so"));
        if (!module.load()) {
            qCWarning(lcMedia, "Cannot load the media decoder: %s", qUtf8Printable(module.errorString()));
            return nullptr;
        }
        auto open = reinterpret_cast<OpenMediaDecoderEngine>(module.resolve(kOpenMediaDecoderEngineSymbol));
        if (!open)
            qCWarning(lcMedia, "%s has no decoder entry point", qUtf8Printable(module.fileName()));
        return open;
    }();
    return entryPoint;
}

} // namespace

QString MediaDecodeError::description() const {
    switch (m_reason) {
    case MediaDecodeFailure::unreadable:
        return QStringLiteral("the file cannot be read");
    case MediaDecodeFailure::empty:
        return QStringLiteral("the file is empty");
    case MediaDecodeFailure::notMedia:
        return QStringLiteral("not a readable audio or video file");
    case MediaDecodeFailure::noAudio:
        return QStringLiteral("no audio stream");
    case MediaDecodeFailure::unsupported:
        return QStringLiteral("its audio format is not supported");
    case MediaDecodeFailure::damaged:
        return QStringLiteral("the file is damaged or incomplete");
    case MediaDecodeFailure::engineMissing:
        return QStringLiteral("Murmurly's media decoder is missing (reinstall Murmurly)");
    }
    return {};
}

MediaFileDecoder::MediaFileDecoder(std::unique_ptr<MediaDecoderEngine> engine)
    : m_engine(std::move(engine)) {}

MediaFileDecoder::~MediaFileDecoder() = default;

std::unique_ptr<MediaFileDecoder> MediaFileDecoder::open(const QString& path) {
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable())
        throw MediaDecodeError(MediaDecodeFailure::unreadable);
    if (info.size() == 0)
        throw MediaDecodeError(MediaDecodeFailure::empty);
    const OpenMediaDecoderEngine openEngine = engineEntryPoint();
    if (!openEngine)
        throw MediaDecodeError(MediaDecodeFailure::engineMissing);
    MediaDecodeFailure failure = MediaDecodeFailure::damaged;
    std::unique_ptr<MediaDecoderEngine> engine(
        openEngine(QFile::encodeName(path).constData(), info.size(), &failure));
    if (!engine)
        throw MediaDecodeError(failure);
    return std::unique_ptr<MediaFileDecoder>(new MediaFileDecoder(std::move(engine)));
}

bool MediaFileDecoder::read(std::vector<float>& block) {
    std::optional<MediaDecodeFailure> failure;
    const bool more = m_engine->read(block, failure);
    if (failure)
        throw MediaDecodeError(*failure);
    m_samplesRead += std::int64_t(block.size());
    return more;
}

double MediaFileDecoder::progress() const {
    return m_engine->progress();
}

} // namespace murmurly
