# The session pipeline: recording lifecycle, transcription run, retry, resume and live preview.
murmurly_add_library(murmurly_pipeline
    SOURCES
        TranscriptionPipeline.cpp
        TranscriptionRun.cpp
        LivePreview.cpp
    LIBS murmurly_pipeline_base murmurly_recorder murmurly_capture murmurly_transcription murmurly_audio
         Qt6::Core Qt6::Network QCoro6::Core)
