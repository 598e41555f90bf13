#pragma once

#include "common/Error.h"

#include <QString>

#include <memory>

namespace murmurly {

// The session recorder's own failures. A failed write carries the file and the error underneath,
// so the user sees which recording is affected and why ("Failed to write to x.wav: No space ...").
class RecorderError : public ErrorBase<RecorderError> {
public:
    enum class Kind { fileWriteFailed, failedToStart };

    static RecorderError fileWriteFailed(QString filePath, std::shared_ptr<const Error> underlying) {
        return RecorderError(Kind::fileWriteFailed, std::move(filePath), std::move(underlying));
    }
    static RecorderError failedToStart() { return RecorderError(Kind::failedToStart, {}, nullptr); }

    Kind kind() const { return m_kind; }
    // The file whose write failed (fileWriteFailed only).
    const QString& filePath() const { return m_filePath; }
    const Error* underlying() const { return m_underlying.get(); }

    QString description() const override;

private:
    RecorderError(Kind kind, QString filePath, std::shared_ptr<const Error> underlying)
        : m_kind(kind)
        , m_filePath(std::move(filePath))
        , m_underlying(std::move(underlying)) {}

    Kind m_kind;
    QString m_filePath;
    std::shared_ptr<const Error> m_underlying;
};

} // namespace murmurly
