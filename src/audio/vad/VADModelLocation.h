#pragma once

#include <QString>
#include <QStringList>

namespace murmurly {

// Where the Silero VAD model file is looked for: the MURMURLY_VAD_MODEL environment variable if it
// is set (and then only there: an explicit path that is wrong should fail, not fall back to
// another copy), else share/murmurly/silero_vad_v6.onnx beside the executable's bin folder, then
// under /usr and /usr/local.
namespace VADModelLocation {

inline constexpr const char* environmentVariable = "MURMURLY_VAD_MODEL";
inline constexpr const char* fileName = "silero_vad_v6.onnx";

// The candidate paths in the order they are tried.
QStringList candidates();
// The first candidate that is an existing file; empty if none is.
QString resolve();

} // namespace VADModelLocation

} // namespace murmurly
