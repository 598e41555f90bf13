#pragma once

#include "audio/LevelMeter.h"
#include "audio/PcmBuffer.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace murmurly {

class PulseCapture;
struct SoundServerInfo;

// Captures what the computer plays: the monitor of the sound server's default output, 44100 Hz,
// mono, float32, following the default output when the user switches devices. "Permission" here
// means the server is reachable and offers a monitor of its default output.
//
// Lives on the main thread (construction, permission, start, stop, the properties and onLevel).
// Blocks (small fragments) arrive on the capture thread "SystemAudioSampleQueue", which hands each
// to onBuffer there, on that thread, and measures one level per 4096 frames. The main thread is not
// woken for each level: a timer publishes the newest one every kLevelMilliseconds while monitoring.
class SystemAudioMonitor : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool permissionGranted READ permissionGranted WRITE setPermissionGranted NOTIFY
                   permissionGrantedChanged)
    Q_PROPERTY(bool isMonitoring READ isMonitoring NOTIFY isMonitoringChanged)
    Q_PROPERTY(float level READ level NOTIFY levelChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)

public:
    static constexpr double kSampleRate = 44100.0;
    static constexpr std::uint32_t kFramesPerBlock = 4096;
    // How often the level is published: as fast as a meter can be read.
    static constexpr int kLevelMilliseconds = 100;

    // Main thread, after the block's level was published.
    std::function<void(float level)> onLevel;
    // "SystemAudioSampleQueue"; the buffer is valid only during the call (copy it to keep it).
    std::function<void(const PcmBuffer& buffer)> onBuffer;

    // Not granted at first; a background probe of the sound server sets the initial permission.
    explicit SystemAudioMonitor(QObject* parent = nullptr);
    // Stops the capture; no callback runs afterwards.
    ~SystemAudioMonitor() override;

    bool permissionGranted() const { return m_permissionGranted; }
    // The application's permission refresh writes the result of its own check here.
    void setPermissionGranted(bool granted);
    bool isMonitoring() const { return m_isMonitoring; }
    float level() const { return m_level; }
    // Null until the first status line.
    QString status() const { return m_status; }

    // Probes the server again off the main thread; the answer sets permissionGranted and the
    // status "Permission granted" or "Permission denied".
    Q_INVOKABLE void requestPermission();
    // Opens the desktop's sound settings, if a settings tool is installed.
    Q_INVOKABLE void openScreenRecordingSettings();
    // Starts capturing (returns at once; the connection is made in the background).
    Q_INVOKABLE void start();
    // Stops capturing. When it returns no block is being handled and none will be.
    Q_INVOKABLE void stop();

    // Whether `info` counts as permission for system audio.
    static bool grantsPermission(const SoundServerInfo& info);

signals:
    void permissionGrantedChanged(bool permissionGranted);
    void isMonitoringChanged(bool isMonitoring);
    void levelChanged(float level);
    void statusChanged(const QString& status);

private:
    void handleBlock(const PcmBuffer& block);
    void publishLevel();
    void handleCaptureEvent(int event, const QString& message, std::uint64_t generation);
    void setMonitoring(bool monitoring);
    void setLevel(float level);
    void setStatus(const QString& status);

    bool m_permissionGranted = false;
    // Counts the writes of permissionGranted; the first probe's answer applies only if none came first.
    std::uint64_t m_permissionVersion = 0;
    bool m_isMonitoring = false;
    float m_level = 0;
    QString m_status;
    // Changes at every start and stop; work posted from the capture thread for an earlier session
    // (an outcome of the capture) is dropped when it arrives.
    std::atomic<std::uint64_t> m_generation{0};
    LevelMeter m_levelMeter; // capture thread, reset by start() before the capture runs
    // The newest level the capture thread measured, not yet published; negative when none.
    std::atomic<float> m_newLevel{-1.0f};
    QTimer m_levelTimer;
    std::unique_ptr<PulseCapture> m_capture;
    QString m_captureError;
};

} // namespace murmurly
