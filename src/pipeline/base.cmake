# What every subsystem shares from the session pipeline: session folders and the pending record,
# the settings files and language choices, the pipeline's error and provider types, and the
# transcript formatter. Kept apart from the pipeline itself so that the transcription clients and
# the history can use it without depending on the recorder.
murmurly_add_library(murmurly_pipeline_base
    SOURCES
        LanguageOptions.cpp
        PendingSession.cpp
        PipelineError.cpp
        PlainTextStore.cpp
        SessionStore.cpp
        TranscriptFormatter.cpp
        TranscriptionProvider.cpp
    LIBS murmurly_audio murmurly_common Qt6::Core)
