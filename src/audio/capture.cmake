# Capture through the sound server (libpulse): the backend in pulse/, the microphone input of the
# session recorder, the system-audio monitor and the permission objects.
murmurly_add_library(murmurly_capture
    SOURCES
        pulse/PulseLog.cpp
        pulse/PulseMainloop.cpp
        pulse/PulseContext.cpp
        pulse/PulseRecordStream.cpp
        pulse/PulseCapture.cpp
        pulse/SoundSettings.cpp
        SoundServerProbe.cpp
        PulseAudioInput.cpp
        SystemAudioMonitor.cpp
        MicRecorder.cpp
    LIBS murmurly_audio murmurly_common PkgConfig::PULSE Qt6::Core)
