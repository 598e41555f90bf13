# SessionRecorder: the speech-gated session recording (conversion, mixing, gate, WAV writes).
murmurly_add_library(murmurly_recorder
    SOURCES
        RecorderError.h
        RecorderLog.h
        SessionRecorder.cpp
        SessionRecorder.h
        SpeechGate.cpp
        SpeechGate.h
        WindowMixer.cpp
        WindowMixer.h
        WorkingFormatConverter.cpp
        WorkingFormatConverter.h
    LIBS murmurly_audio murmurly_capture murmurly_vad murmurly_common Qt6::Core)
