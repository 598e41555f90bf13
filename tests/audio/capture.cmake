# Capture through a real sound server (the pulse fixture): system audio, the microphone input,
# device switches, a vanishing server, and the status and permission semantics. Nothing else runs
# beside it: PipeWire applies a new default device through its session manager, and a test beside
# it on a two-core machine can starve that for longer than the test waits.
murmurly_add_pulse_test(test_capture
    SOURCES CaptureTest.cpp
    LIBS murmurly_capture murmurly_audio
    PROPERTIES RUN_SERIAL TRUE
    TIMEOUT 90)
