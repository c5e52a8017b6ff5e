#include "disc_reads.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// splitmix64: a well-spread number from any other.
std::uint64_t mix(std::uint64_t z)
{
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// The nth of a read's random numbers, from where the read is.
struct Dice {
    std::uint64_t from;
    std::uint64_t n = 0;
    std::uint64_t next() { return mix(from + ++n * 0x632be59bd9b4e019ULL); }
    double chance() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
};

} // namespace

DiscReads::DiscReads(const DriveScript &script, Fill fill) : script_(script), fill_(std::move(fill)) {}

bool DiscReads::read(int frame, unsigned char *out)
{
    if (const auto held = held_.find(frame); held != held_.end()) {
        std::memcpy(out, held->second.data(), kFrameBytes);
        return false;
    }
    fill_(frame, out);
    const bool unsteady = script_.unsteady.count(frame) != 0;
    const bool damaged = std::any_of(script_.damaged.begin(), script_.damaged.end(),
                                     [&](const DriveScript::Damage &d) { return frame >= d.from && frame <= d.to; });
    // Only a damaged frame's reads are counted: a program that reads a
    // whole disc through the drive holds none of it.
    Dice dice{static_cast<std::uint64_t>(frame) << 24 ^
              static_cast<std::uint64_t>(unsteady || damaged ? read_from_disc_[frame]++ : 0)};
    if (unsteady)
        for (int b = 0; b < kFrameBytes; ++b)
            out[b] = static_cast<unsigned char>(dice.next());
    for (const DriveScript::Damage &d : script_.damaged)
        if (frame >= d.from && frame <= d.to && dice.chance() < d.chance) {
            // 8 to 40 stereo samples of noise, somewhere in the frame.
            const int samples = kFrameBytes / 4;
            const int length = 8 + static_cast<int>(dice.next() % 33);
            const int at = static_cast<int>(dice.next() % static_cast<std::uint64_t>(samples - length));
            for (int b = at * 4; b < (at + length) * 4; ++b)
                out[b] = static_cast<unsigned char>(dice.next());
        }
    if (script_.cache > 0) {
        held_[frame].assign(out, out + kFrameBytes);
        order_.push_back(frame);
        if (static_cast<long>(order_.size()) > script_.cache) {
            held_.erase(order_.front());
            order_.pop_front();
        }
    }
    return true;
}
