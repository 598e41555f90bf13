#pragma once

#include <QObject>
#include <QString>

#include <cstdint>

namespace murmurly {

struct SoundServerInfo;

// The microphone-permission object of the user interface. It captures nothing (the session
// recorder taps the microphone through PulseAudioInput); it tells whether the microphone may be
// used, "asks" for it and opens the desktop's sound settings.
//
// There is no per-application microphone permission on a Linux desktop; what decides whether
// recording can work is whether the sound server is reachable and has a capture source:
//   reachable with a default source          -> authorized: granted, "Permission granted"
//   no server, or a server without a source  -> denied: not granted,
//                                               "Microphone access denied. Enable in System Settings."
//   a server that does not answer in time    -> unknown: not granted, "Microphone permission unavailable."
// Nothing is ever "not determined": no prompt exists, so requestPermission() only probes again.
class MicRecorder : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool permissionGranted READ permissionGranted WRITE setPermissionGranted NOTIFY
                   permissionGrantedChanged)
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(float level READ level NOTIFY levelChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)

public:
    // Not granted at first; a background probe of the sound server sets the initial permission.
    explicit MicRecorder(QObject* parent = nullptr);

    bool permissionGranted() const { return m_permissionGranted; }
    // The application's permission refresh writes the result of its own check here.
    void setPermissionGranted(bool granted);
    // Never changed by this object.
    bool isRecording() const { return false; }
    float level() const { return 0; }
    // Null until the first permission message.
    QString status() const { return m_status; }

    // Probes the server again off the main thread and applies the table above when the answer
    // arrives (only if this object still exists).
    Q_INVOKABLE void requestPermission();
    // Opens the desktop's sound settings, if a settings tool is installed.
    Q_INVOKABLE void openMicrophoneSettings();

    // Whether `info` counts as microphone permission, and the status line it gives.
    static bool grantsPermission(const SoundServerInfo& info);
    static QString statusFor(const SoundServerInfo& info);

signals:
    void permissionGrantedChanged(bool permissionGranted);
    // Declared for the observers of the published fields; never emitted.
    void isRecordingChanged(bool isRecording);
    void levelChanged(float level);
    void statusChanged(const QString& status);

private:
    void apply(bool granted, const QString& status);

    bool m_permissionGranted = false;
    // Counts the writes of permissionGranted; the first probe's answer applies only if none came first.
    std::uint64_t m_permissionVersion = 0;
    QString m_status;
};

} // namespace murmurly
