#include "platform/ui/Sound.h"

// The system's sound service plays the image: PlaySoundW from memory,
// asynchronously, looping on request. PlaySoundW reads the image while the
// sound plays and trusts the sizes written in its chunks, so the player
// plays its own copy, checked first: a RIFF WAVE whose chunks lie about
// their sizes is cut to the bytes that are there, so the service never
// reads past the copy. Stopping through PlaySoundW(nullptr) returns once
// the service has let go of the image, so the copy is freed only then.
//
// The service reports neither the samples it played nor the end of a
// sound. The player answers Active and Ended from the image's duration (its
// data size over its byte rate) and counts loop passes the same way; bytes
// that passed a sink are not observable here and stay 0.

#include <windows.h>

#include <mmsystem.h>

#include <chrono>
#include <cstring>
#include <vector>

namespace Folivant::Platform {

namespace {

using TClock = std::chrono::steady_clock;

constexpr std::uint32_t FnvOffset = 2166136261u;

std::uint32_t ReadU32(const std::vector<char>& bytes, std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

void WriteU32(std::vector<char>& bytes, std::size_t at, std::uint32_t value) {
    std::memcpy(bytes.data() + at, &value, 4);
}

// Checks the copy of a RIFF WAVE image and cuts every size that reaches past
// its end to what is there. Answers the duration of the sound in
// milliseconds (0 when its byte rate is unknown), or -1 when the image is no
// WAVE with a format chunk before its data chunk.
long long SanitiseWave(std::vector<char>& image) {
    if (image.size() < 12 || std::memcmp(image.data(), "RIFF", 4) != 0 ||
        std::memcmp(image.data() + 8, "WAVE", 4) != 0)
        return -1;
    if (ReadU32(image, 4) > image.size() - 8)
        WriteU32(image, 4, static_cast<std::uint32_t>(image.size() - 8));
    const std::size_t end = 8 + ReadU32(image, 4);
    std::uint32_t byteRate = 0;
    bool format = false;
    for (std::size_t at = 12; at + 8 <= end;) {
        std::uint32_t size = ReadU32(image, at + 4);
        if (size > end - at - 8) {
            size = static_cast<std::uint32_t>(end - at - 8);
            WriteU32(image, at + 4, size);
        }
        if (std::memcmp(image.data() + at, "fmt ", 4) == 0 && size >= 16) {
            format = true;
            byteRate = ReadU32(image, at + 16);
        } else if (std::memcmp(image.data() + at, "data", 4) == 0) {
            if (!format)
                return -1;
            return byteRate == 0 ? 0 : static_cast<long long>(size) * 1000 / byteRate;
        }
        at += 8 + size + (size & 1);
    }
    return -1;
}

} // namespace

struct TSoundPlayer::TImpl {
    std::vector<char> Image;
    bool Playing = false;
    bool Loop = false;
    long long DurationMs = 0;
    TClock::time_point Started;

    long long ElapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - Started)
            .count();
    }

    // Stops the sound; the service no longer reads the copy afterwards.
    bool Release() {
        const bool stopped = PlaySoundW(nullptr, GetModuleHandleW(nullptr), SND_ASYNC | SND_MEMORY);
        Playing = false;
        std::vector<char>().swap(Image);
        return stopped;
    }
};

TSoundPlayer& TSoundPlayer::Instance() {
    static TSoundPlayer player;
    return player;
}

TSoundPlayer::TSoundPlayer() : FImpl(std::make_unique<TImpl>()) {}

TSoundPlayer::~TSoundPlayer() {
    if (FImpl->Playing)
        FImpl->Release();
}

bool TSoundPlayer::Play(const void* data, std::size_t size, bool loop) {
    FImpl->Release();
    if (data == nullptr || size > 0xFFFFFFFFu)
        return false;
    FImpl->Image.assign(static_cast<const char*>(data), static_cast<const char*>(data) + size);
    const long long duration = SanitiseWave(FImpl->Image);
    if (duration < 0) {
        std::vector<char>().swap(FImpl->Image);
        return false;
    }
    FImpl->Loop = loop;
    FImpl->DurationMs = duration;
    FImpl->Started = TClock::now();
    const DWORD flags = SND_ASYNC | SND_MEMORY | (loop ? SND_LOOP : 0);
    FImpl->Playing = PlaySoundW(reinterpret_cast<LPCWSTR>(FImpl->Image.data()),
                                GetModuleHandleW(nullptr), flags) != FALSE;
    if (!FImpl->Playing)
        std::vector<char>().swap(FImpl->Image);
    return FImpl->Playing;
}

bool TSoundPlayer::Stop() {
    return FImpl->Release();
}

bool TSoundPlayer::Active() const {
    return FImpl->Playing && (FImpl->Loop || FImpl->ElapsedMs() < FImpl->DurationMs);
}

std::uint64_t TSoundPlayer::BytesThrough() const {
    return 0;
}

std::uint32_t TSoundPlayer::BytesHash() const {
    return FnvOffset;
}

unsigned TSoundPlayer::LoopCount() const {
    if (!FImpl->Playing || !FImpl->Loop || FImpl->DurationMs <= 0)
        return 0;
    return static_cast<unsigned>(FImpl->ElapsedMs() / FImpl->DurationMs);
}

bool TSoundPlayer::Ended() const {
    return FImpl->Playing && !FImpl->Loop && FImpl->ElapsedMs() >= FImpl->DurationMs;
}

std::string TSoundPlayer::StateName() const {
    return Active() ? "PLAYING" : "NULL";
}

std::string TSoundPlayer::SinkDescription() const {
    return "PlaySoundW";
}

} // namespace Folivant::Platform
