# What the pipeline shares with the history and the windows: language choices, the pipeline's
# error type and the transcript formatter. Kept apart from the pipeline itself so that the history
# can use it without depending on the recorder.
murmurly_add_library(murmurly_pipeline_base
    SOURCES
        LanguageOptions.cpp
        PipelineError.cpp
        TranscriptFormatter.cpp
        TranscriptSegmentsFile.cpp
    LIBS murmurly_transcription murmurly_storage murmurly_common Qt6::Core)
