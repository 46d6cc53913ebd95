#include "platform/ui/Sound.h"

#include "support/LinksSupport.h"
#include "support/MainLoopSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using Folivant::Platform::TSoundPlayer;
using namespace Folivant::Testing;
using namespace std::chrono_literals;

namespace {

// Sets FOLIVANT_AUDIO_SINK for one test and puts the old value back.
class ScopedSink {
public:
    explicit ScopedSink(const char* sink) {
        if (const char* old = std::getenv("FOLIVANT_AUDIO_SINK"))
            FOld = old;
        setenv("FOLIVANT_AUDIO_SINK", sink, 1);
    }
    ~ScopedSink() {
        if (FOld.empty())
            unsetenv("FOLIVANT_AUDIO_SINK");
        else
            setenv("FOLIVANT_AUDIO_SINK", FOld.c_str(), 1);
    }

private:
    std::string FOld;
};

class Sound : public ::testing::Test {
protected:
    void TearDown() override { Player.Stop(); }
    TSoundPlayer Player;
};

} // namespace

TEST_F(Sound, PlaysOnceThenReleasesThePipeline) {
    ScopedSink sink("fakesink");
    const WavImage wav = MakeWav(4000);
    ASSERT_TRUE(Player.Play(wav.File.data(), wav.File.size(), false));
    ASSERT_TRUE(PumpUntil([&] { return Player.Ended(); }));
    EXPECT_EQ(Player.BytesThrough(), wav.Pcm.size());
    EXPECT_EQ(Player.BytesHash(), Fnv1a(wav.Pcm));
    EXPECT_EQ(Player.LoopCount(), 0u);
    EXPECT_FALSE(Player.Active());
    EXPECT_EQ(Player.StateName(), "NULL");
}

TEST_F(Sound, PlaysFromItsOwnCopyOnceTheCallerFreedTheImage) {
    // A synchronised sink makes the sound take its real time (a quarter of a
    // second), so most of it is read after the caller's buffer is gone.
    ScopedSink sink("fakesink sync=true");
    const WavImage wav = MakeWav(2000);
    auto buffer = std::make_unique<std::vector<char>>(wav.File.begin(), wav.File.end());
    ASSERT_TRUE(Player.Play(buffer->data(), buffer->size(), false));
    std::fill(buffer->begin(), buffer->end(), '\xAA');
    buffer.reset();
    EXPECT_TRUE(Player.Active());
    ASSERT_TRUE(PumpUntil([&] { return Player.Ended(); }));
    EXPECT_EQ(Player.BytesThrough(), wav.Pcm.size());
    EXPECT_EQ(Player.BytesHash(), Fnv1a(wav.Pcm));
}

TEST_F(Sound, LoopsUntilStopped) {
    ScopedSink sink("fakesink");
    const WavImage wav = MakeWav(800);
    ASSERT_TRUE(Player.Play(wav.File.data(), wav.File.size(), true));
    ASSERT_TRUE(PumpUntil([&] { return Player.LoopCount() >= 3; }));
    EXPECT_GE(Player.BytesThrough(), 3 * wav.Pcm.size());
    EXPECT_FALSE(Player.Ended());
    EXPECT_TRUE(Player.Active());
    EXPECT_EQ(Player.StateName(), "PLAYING");

    EXPECT_TRUE(Player.Stop());
    EXPECT_FALSE(Player.Active());
    EXPECT_EQ(Player.StateName(), "NULL");
    const auto bytes = Player.BytesThrough();
    const auto loops = Player.LoopCount();
    PumpFor(150ms);
    EXPECT_EQ(Player.BytesThrough(), bytes);
    EXPECT_EQ(Player.LoopCount(), loops);
}

TEST_F(Sound, ANewSoundReplacesTheOnePlaying) {
    ScopedSink sink("fakesink sync=true");
    const WavImage first = MakeWav(80000); // ten seconds
    const WavImage second = MakeWav(400, 8000, 2);
    ASSERT_TRUE(Player.Play(first.File.data(), first.File.size(), true));
    PumpFor(50ms);
    ASSERT_TRUE(Player.Play(second.File.data(), second.File.size(), false));
    ASSERT_TRUE(PumpUntil([&] { return Player.Ended(); }));
    EXPECT_EQ(Player.BytesThrough(), second.Pcm.size());
    EXPECT_EQ(Player.BytesHash(), Fnv1a(second.Pcm));
}

TEST_F(Sound, RefusesWhatIsNoWaveImage) {
    ScopedSink sink("fakesink");
    const std::string notWave = "hello, this is text and no sound at all";
    EXPECT_FALSE(Player.Play(notWave.data(), notWave.size(), false));
    EXPECT_FALSE(Player.Play(nullptr, 0, true));
    // A RIFF header whose chunks are garbage is refused by the parser.
    std::string broken = "RIFF\x10\x00\x00\x00WAVEjunk\xff\xff\xff\x7f";
    broken += std::string(64, '\x01');
    EXPECT_FALSE(Player.Play(broken.data(), broken.size(), false));
    EXPECT_FALSE(Player.Active());
}

TEST_F(Sound, FallsBackToASilentSinkWhenTheSinkCannotStart) {
    const WavImage wav = MakeWav(400);
    for (const char* bad : {"no-such-sink-element", "filesink location=/nonexistent/dir/out.raw"}) {
        SCOPED_TRACE(bad);
        ScopedSink sink(bad);
        ASSERT_TRUE(Player.Play(wav.File.data(), wav.File.size(), false));
        EXPECT_EQ(Player.SinkDescription(), "fakesink sync=true");
        ASSERT_TRUE(PumpUntil([&] { return Player.Ended(); }));
        EXPECT_EQ(Player.BytesHash(), Fnv1a(wav.Pcm));
    }
}

TEST_F(Sound, StopWithNothingPlayingDoesNothing) {
    EXPECT_TRUE(Player.Stop());
    EXPECT_TRUE(Player.Stop());
    EXPECT_EQ(Player.StateName(), "NULL");
}
