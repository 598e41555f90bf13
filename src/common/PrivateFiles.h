#pragma once

#include <QString>

class QFileDevice;

namespace murmurly {

// Recordings, transcripts and keys are nobody else's business: the application's folders are
// made for the owner only (0700) and its files readable and writable by the owner only (0600),
// whatever the umask says.
namespace PrivateFiles {

// Creates the folder and its missing parents; the folder itself gets mode 0700 when this call
// makes it (an existing folder keeps its mode). False when it cannot be made.
bool makeDirectory(const QString& path);

// Creates a new, empty file with mode 0600. Never opens or truncates an existing file: false
// when something is already there (or the file cannot be made).
bool createExclusively(const QString& path);

// Narrows an open file (a QSaveFile before its commit, say) to mode 0600.
void restrictToOwner(QFileDevice& file);

} // namespace PrivateFiles

} // namespace murmurly
