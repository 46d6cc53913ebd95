#pragma once

// Helpers for the tests of link and file actions, temporary files, system
// utilities and sound: WAV images and small archives. Waiting on the main
// context is in MainLoopSupport.h, for the tests that link GLib.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Folivant::Testing {

// A PCM WAV image of frames 16-bit frames with a varying signal, and the
// bytes of its data chunk.
struct WavImage {
    std::string File;
    std::string Pcm;
};
WavImage MakeWav(unsigned frames, unsigned rate = 8000, unsigned channels = 1);

// FNV-1a, as the sound player hashes what reaches its sink.
std::uint32_t Fnv1a(const std::string& bytes);

// An encrypted publication archive with the given (name, content) entries,
// as the packer writes it.
std::string MakeArchive(const std::vector<std::pair<std::string, std::string>>& entries);

} // namespace Folivant::Testing
