#include "transcription/MultipartBody.h"

#include "common/Error.h"
#include "transcription/UploadPreparation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace murmurly {

namespace {

constexpr QByteArrayView kCrlf = "\r\n";

// Appends to the body file and keeps the running length in step with what was written.
class BodyWriter {
public:
    explicit BodyWriter(QFile& file)
        : m_file(file) {}

    void write(QByteArrayView bytes) {
        qint64 offset = 0;
        while (offset < bytes.size()) {
            const qint64 written = m_file.write(bytes.data() + offset, bytes.size() - offset);
            if (written <= 0) {
                throw SystemError(m_file.errorString());
            }
            offset += written;
            m_length += written;
        }
    }
    qint64 length() const { return m_length; }

private:
    QFile& m_file;
    qint64 m_length = 0;
};

} // namespace

QByteArray MultipartBody::fieldData(const QString& boundary, const QString& name, const QString& value) {
    QByteArray data;
    data += "--" + boundary.toUtf8() + kCrlf;
    data += "Content-Disposition: form-data; name=\"" + name.toUtf8() + '"' + kCrlf + kCrlf;
    data += value.toUtf8() + kCrlf;
    return data;
}

QByteArray MultipartBody::filePartHeader(const QString& boundary, const QString& fileName,
                                         const QString& contentType) {
    QByteArray data;
    data += "--" + boundary.toUtf8() + kCrlf;
    data += "Content-Disposition: form-data; name=\"file\"; filename=\"" + fileName.toUtf8() + '"' + kCrlf;
    data += "Content-Type: " + contentType.toUtf8() + kCrlf + kCrlf;
    return data;
}

QByteArray MultipartBody::closingDelimiter(const QString& boundary) {
    return kCrlf.toByteArray() + "--" + boundary.toUtf8() + "--" + kCrlf;
}

MultipartBody::BodyFile MultipartBody::buildBodyFile(const QString& boundary, const QString& uploadPath,
                                                     const Fields& fields) {
    const QString bodyPath = QDir(QDir::tempPath())
                                 .filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() +
                                           QStringLiteral(".multipart"));
    QFile body(bodyPath);
    // Owner-only: the body holds the whole recording, in a folder every user can list.
    if (!body.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        throw SystemError(body.errorString());
    }
    try {
        BodyWriter writer(body);
        for (const auto& [name, value] : fields) {
            writer.write(fieldData(boundary, name, value));
        }
        const QFileInfo uploadInfo(uploadPath);
        writer.write(filePartHeader(boundary, uploadInfo.fileName(),
                                    UploadPreparation::mimeTypeForExtension(uploadInfo.suffix())));

        QFile upload(uploadPath);
        if (!upload.open(QIODevice::ReadOnly)) {
            throw SystemError(upload.errorString());
        }
        QByteArray chunk(kCopyChunkSize, Qt::Uninitialized);
        for (;;) {
            const qint64 read = upload.read(chunk.data(), chunk.size());
            if (read < 0) {
                throw SystemError(upload.errorString());
            }
            if (read == 0) {
                break;
            }
            writer.write(QByteArrayView(chunk.constData(), read));
        }
        writer.write(closingDelimiter(boundary));
        // QFile buffers writes: a full disk may only show when the buffer is flushed.
        if (!body.flush()) {
            throw SystemError(body.errorString());
        }
        body.close();
        return {bodyPath, writer.length()};
    } catch (...) {
        body.close();
        QFile::remove(bodyPath);
        throw;
    }
}

} // namespace murmurly
