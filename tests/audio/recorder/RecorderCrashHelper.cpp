// A session that runs until it is killed: scripted speech into a real recorder and a real file.
// It reports on stdout, unbuffered, how many windows the recorder has released to the file; the
// test kills it with SIGKILL and checks that the file still holds them.
//
//   recorder_crash_helper <output.wav>
#include "audio/SessionRecorder.h"

#include "RecorderTestSupport.h"

#include <unistd.h>

using namespace murmurly;
using namespace murmurly::test;

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    auto input = std::make_unique<ScriptedAudioInput>();
    ScriptedAudioInput* source = input.get();
    SessionRecorder recorder(std::move(input), std::make_unique<ScriptedVAD>());
    // Always speech. When window k has been analysed, the gate has already written windows 0..k-1
    // (the first two once the second confirms them): analysis and writes run in order on one queue.
    int analysed = 0;
    recorder.onVADScoreChange = [&](std::optional<float>) {
        const std::string line = "released " + std::to_string(analysed) + "\n";
        if (++analysed > 2 && ::write(STDOUT_FILENO, line.data(), line.size()) < 0)
            _exit(3);
    };
    recorder.start(QString::fromLocal8Bit(argv[1]));
    // Faster than real time, so the test does not wait long, yet paced so that it is killed mid-way.
    for (int i = 0; i < 20000; ++i) {
        source->deliver(constantBuffer(crashWindowValue(i), 4096));
        ::usleep(5000);
    }
    return 0;
}
