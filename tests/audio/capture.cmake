# Capture through a real sound server (the pulse fixture): system audio, the microphone input,
# device switches, a vanishing server, and the status and permission semantics.
murmurly_add_pulse_test(test_capture
    SOURCES CaptureTest.cpp
    LIBS murmurly_capture murmurly_audio
    TIMEOUT 90)
