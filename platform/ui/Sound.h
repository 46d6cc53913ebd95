#pragma once

// Asynchronous playback of a WAV image held in memory, the way the system's
// sound service plays one: a new sound replaces the one playing, a looping
// sound repeats until it is stopped, and the call returns at once.
//
// The player keeps its own copy of the image for as long as the sound plays,
// so the caller may free its buffer right after Play returns. The end of a
// loop pass and of the sound are handled on the thread that called Play,
// from its message loop, so looping needs that thread's loop to run, as the
// GUI thread's always does. A machine without sound plays silently.

#include "base/Classes.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Folivant::Platform {

class TSoundPlayer {
public:
    // The one player of the process, as there is one waveform sound.
    static TSoundPlayer& Instance();

    TSoundPlayer();
    ~TSoundPlayer();
    TSoundPlayer(const TSoundPlayer&) = delete;
    TSoundPlayer& operator=(const TSoundPlayer&) = delete;

    // Stops the current sound and starts the image data[0..size). True when
    // the image is a RIFF WAVE file that the pipeline accepted.
    bool Play(const void* data, std::size_t size, bool loop);
    // Stops the sound that is playing, if any, and releases its copy.
    bool Stop();

    // Inspection of the current (or last) sound, for tests and diagnostics.
    // True while a sound is playing (or paused before its first buffer).
    bool Active() const;
    // Bytes of decoded audio that reached the sink since the last Play, and
    // an FNV-1a hash of them.
    std::uint64_t BytesThrough() const;
    std::uint32_t BytesHash() const;
    // Loop passes started again after the first one.
    unsigned LoopCount() const;
    // True when the last sound ended by itself (not looping, played out).
    bool Ended() const;
    // The pipeline's current state name ("PLAYING", "PAUSED", ...), "NULL"
    // when no pipeline exists.
    std::string StateName() const;
    // The pipeline description of the sink in use ("fakesink sync=true" after
    // a fallback).
    std::string SinkDescription() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> FImpl;
};

} // namespace Folivant::Platform
