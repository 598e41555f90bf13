# The session recorder: gate state machine, mixing, conversion, lifecycle and ordering, write
# failures (scripted capture source and gate, real files), crash safety (a child process killed
# mid-session), and end to end with the sound server and the real gate.
murmurly_add_test(test_audio_recorder
    SOURCES
        recorder/RecorderTestSupport.h
        recorder/SessionRecorderTest.cpp
        recorder/SpeechGateTest.cpp
    LIBS murmurly_recorder QCoro6::Core)
