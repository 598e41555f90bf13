# The session pipeline on the real recorder (scripted microphone and gate), the real clients
# against the local fake services, and real files in the temporary home.
murmurly_add_test(test_pipeline_run
    SOURCES
        run/ScriptedAudio.h
        run/PipelineFixture.h
        run/RecordingLifecycleTest.cpp
        run/TranscriptionRunTest.cpp
        run/LivePreviewTest.cpp
    LIBS murmurly_pipeline murmurly_fake_services)
