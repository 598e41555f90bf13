#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace murmurly {

// The multipart/form-data request body, written to a temporary file so that a long recording is
// never held in memory whole.
namespace MultipartBody {

using Fields = QList<QPair<QString, QString>>;

struct BodyFile {
    QString path;
    qint64 length = 0;
};

// The size of the pieces in which the file to upload is copied into the body.
inline constexpr qint64 kCopyChunkSize = 1024 * 1024;

// One text field: "--" boundary CRLF, the Content-Disposition line, a blank line, the value, CRLF.
// Names and values go in as they are, without escaping.
QByteArray fieldData(const QString& boundary, const QString& name, const QString& value);

// The header of the file part, up to and including the blank line before the file's bytes.
QByteArray filePartHeader(const QString& boundary, const QString& fileName, const QString& contentType);

// "CRLF--boundary--CRLF".
QByteArray closingDelimiter(const QString& boundary);

// Writes the text fields in order, then the file part with `uploadPath`'s bytes, to a new
// "<UUID>.multipart" file in the temporary folder. The returned length counts every byte written,
// so it equals the file's size. Throws SystemError; a partly written body file is removed.
BodyFile buildBodyFile(const QString& boundary, const QString& uploadPath, const Fields& fields);

} // namespace MultipartBody

} // namespace murmurly
