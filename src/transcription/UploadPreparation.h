#pragma once

#include "common/CancellationToken.h"
#include "transcription/TranscriptionErrors.h"

#include <QString>

namespace murmurly {

// The file that will actually be uploaded, and whether it is a temporary file of the preparation
// that the transcription call deletes when it ends.
struct PreparedFile {
    QString url;
    bool shouldCleanup = false;
};

// Deletes a prepared temporary file when the call that made it ends, however it ends.
class PreparedFileCleanup {
public:
    explicit PreparedFileCleanup(PreparedFile file)
        : m_file(std::move(file)) {}
    ~PreparedFileCleanup();
    PreparedFileCleanup(const PreparedFileCleanup&) = delete;
    PreparedFileCleanup& operator=(const PreparedFileCleanup&) = delete;

private:
    PreparedFile m_file;
};

// Getting a recording ready for upload: header repair, conversion of formats the services do not
// take, and compression to Ogg/Opus. Synchronous and CPU-heavy for long recordings: the clients run
// it on a worker thread. `service` only picks the texts of TranscriptionError.
namespace UploadPreparation {

// Throws ErrorMessage for empty inputs, SystemError for unreadable ones, TranscriptionError
// (invalidResponse) when a conversion cannot begin, OperationCancelled when `token` is cancelled
// during the compression (which then stops within a block).
PreparedFile prepareUploadFile(const QString& path, TranscriptionService service,
                               const CancellationToken& token = CancellationToken());

// Converts a file whose extension the services do not take to a 16-bit PCM WAV (same rate and
// channels) in the temporary folder; returns its path. The caller owns the new file.
QString convertToWav(const QString& path, TranscriptionService service);

// The content type of the multipart file part for an extension (compared in lower case).
QString mimeTypeForExtension(const QString& extension);

bool isDirectlyUploadable(const QString& lowerExtension);
bool isDecodable(const QString& lowerExtension);

} // namespace UploadPreparation

} // namespace murmurly
