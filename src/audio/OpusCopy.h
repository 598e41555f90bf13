#pragma once

#include "common/CancellationToken.h"

#include <QString>

namespace murmurly {

// The Opus copy that stands for a session recording once the WAV is gone. Whoever finds a file
// at the copy's place may take it as the whole recording (the pipeline deletes the WAV because of
// it, a re-transcription uploads it), so a copy only ever appears there complete: it is encoded
// under a hidden temporary name in the same folder and renamed into place when the encoder has
// finished. Only one preparation of a copy runs at a time in this process; a second one waits
// for the first.
namespace OpusCopy {

enum class Existing {
    reuse,  // a complete copy already in place is taken as it is
    replace // encode afresh and replace it
};

// True when `copy` decodes to at least as long as `source` (less one Opus frame's slack): a copy
// cut short by a version of this program that wrote copies in place, or by anything else, is no
// stand-in for its recording. False when either file cannot be read.
bool isComplete(const QString& copy, const QString& source);

// Encodes `source` to `target` as above and returns `target`; with Existing::reuse a complete copy
// already in place is returned as it is. Throws what OpusEncoder throws (the
// temporary file is removed and `target` left as it was), or OperationCancelled when `token` is
// cancelled while encoding or while waiting for another preparation of the same copy.
QString write(const QString& source, const QString& target, Existing existing,
              const CancellationToken& token = CancellationToken());

} // namespace OpusCopy

} // namespace murmurly
