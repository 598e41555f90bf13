# Silero VAD: the network against ONNX Runtime's probabilities, the gate's rules with a scripted
# model, and damaged model files. The model comes from MURMURLY_VAD_MODEL (set for every test).
find_package(Protobuf REQUIRED)
find_package(ONNX REQUIRED CONFIG)

murmurly_add_test(test_vad
    SOURCES
        vad/SileroVADGateTest.cpp
    LIBS murmurly_vad onnx_proto PkgConfig::SNDFILE)
