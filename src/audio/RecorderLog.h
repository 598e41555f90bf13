#pragma once

#include <QLoggingCategory>

namespace murmurly {

// "com.murmurly.app.SessionRecorder": shared by the recorder and its helpers.
Q_DECLARE_LOGGING_CATEGORY(lcSessionRecorder)

} // namespace murmurly
