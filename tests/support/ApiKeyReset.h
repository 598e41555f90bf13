#pragma once

#include "support/TemporaryHome.h"
#include "transcription/LemonfoxTranscriber.h"
#include "transcription/MistralTranscriber.h"

namespace murmurly::test {

// The clients keep the API key they found for the life of the process. A test binary that uses
// them includes this header, so that every test starts with both caches empty.
inline const bool apiKeyCachesResetBeforeEachTest = (resetBeforeEachTest([] {
                                                         LemonfoxTranscriber::resetCachedApiKey();
                                                         MistralTranscriber::resetCachedApiKey();
                                                     }),
                                                     true);

} // namespace murmurly::test
