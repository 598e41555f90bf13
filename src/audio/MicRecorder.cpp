#include "audio/MicRecorder.h"

#include "audio/SoundServerProbe.h"
#include "audio/pulse/SoundSettings.h"

#include <QLoggingCategory>

namespace murmurly {

namespace {

Q_LOGGING_CATEGORY(lcMic, "com.murmurly.app.MicRecorder")

} // namespace

MicRecorder::MicRecorder(QObject* parent)
    : QObject(parent) {
    // Not granted until the server has answered: a hung server must not hold up the window.
    SoundServerProbe::probeInBackground(this,
                                        [this, version = m_permissionVersion](const SoundServerInfo& info) {
                                            // A value written meanwhile (the application's own refresh) is
                                            // newer than this answer.
                                            if (m_permissionVersion == version)
                                                setPermissionGranted(grantsPermission(info));
                                        });
}

bool MicRecorder::grantsPermission(const SoundServerInfo& info) {
    return info.hasCaptureSource();
}

QString MicRecorder::statusFor(const SoundServerInfo& info) {
    if (grantsPermission(info))
        return QStringLiteral("Permission granted");
    if (info.outcome == SoundServerInfo::Outcome::NoAnswer)
        return QStringLiteral("Microphone permission unavailable.");
    return QStringLiteral("Microphone access denied. Enable in System Settings.");
}

void MicRecorder::setPermissionGranted(bool granted) {
    ++m_permissionVersion;
    if (m_permissionGranted == granted)
        return;
    m_permissionGranted = granted;
    emit permissionGrantedChanged(granted);
}

void MicRecorder::requestPermission() {
    SoundServerProbe::probeInBackground(this, [this](const SoundServerInfo& info) {
        if (!info.isReachable())
            qCInfo(lcMic, "Sound server not available: %s", qUtf8Printable(info.error));
        apply(grantsPermission(info), statusFor(info));
    });
}

void MicRecorder::openMicrophoneSettings() {
    SoundSettings::open();
}

void MicRecorder::apply(bool granted, const QString& status) {
    setPermissionGranted(granted);
    if (m_status != status || m_status.isNull()) {
        m_status = status;
        emit statusChanged(status);
    }
}

} // namespace murmurly
