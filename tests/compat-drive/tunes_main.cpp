// tunes RECORDING TUNE...: says where each tune sounds in the recording;
// exits 1 unless every one is heard whole, in the order given. All are in
// the format of SDL's disk audio driver.
#include <cstdio>

#include "tones.h"

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s RECORDING TUNE...\n", argv[0]);
        return 2;
    }
    const std::vector<float> recording = tones::read_capture(argv[1]);
    std::vector<std::vector<float>> made;
    for (int i = 2; i < argc; ++i)
        made.push_back(tones::read_capture(argv[i]));
    int status = recording.empty() ? 1 : 0;
    const std::vector<tunes::Found> found = tunes::find_in_order(recording, made);
    for (size_t i = 0; i < found.size(); ++i) {
        const tunes::Found &f = found[i];
        std::printf("%s: %s at %.2f s, %.2f s long, similarity %.3f\n", argv[i + 2], f.found ? "heard" : "NOT HEARD",
                    f.start, f.seconds, f.similarity);
        status = f.found ? status : 1;
    }
    return status;
}
