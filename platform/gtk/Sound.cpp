#include "platform/ui/Sound.h"

// Playback runs on GStreamer threads; the pipeline's messages (end of a loop
// pass, end of the sound, errors) reach the thread that called Play through
// its main context. The sink is autoaudiosink unless FOLIVANT_AUDIO_SINK
// names another pipeline description (tests use "fakesink"); a sink that
// cannot start is replaced by "fakesink sync=true".

#include "platform/ui/Application.h"
#include "platform/gtk/GlibOwner.h"

#include <gio/gio.h>
#include <gst/gst.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace Folivant::Platform {

namespace {

constexpr const char* FallbackSink = "fakesink sync=true";
constexpr std::uint32_t FnvOffset = 2166136261u;
constexpr std::uint32_t FnvPrime = 16777619u;
// How long Play waits for the pipeline to take the first buffer. The sinks
// preroll in milliseconds; the bound only keeps a sink that hangs from
// freezing the window.
constexpr GstClockTime PrerollTimeout = 5 * GST_SECOND;

template <class T> void ReleaseGst(T* object) {
    gst_object_unref(object);
}
template <class T> using TGstOwner = TGOwner<T, &ReleaseGst<T>>;

bool LooksLikeWave(const void* data, std::size_t size) {
    if (data == nullptr || size < 12)
        return false;
    const char* bytes = static_cast<const char*>(data);
    return (std::memcmp(bytes, "RIFF", 4) == 0 || std::memcmp(bytes, "RF64", 4) == 0) &&
           std::memcmp(bytes + 8, "WAVE", 4) == 0;
}

bool EnsureGStreamer() {
    static const bool initialised = gst_init_check(nullptr, nullptr, nullptr) != FALSE;
    return initialised;
}

std::string ConfiguredSink() {
    const char* forced = std::getenv("FOLIVANT_AUDIO_SINK");
    if (forced != nullptr && *forced != 0)
        return forced;
    return "autoaudiosink";
}

} // namespace

struct TSoundPlayer::TImpl {
    TGstOwner<GstElement> Pipeline;
    guint BusWatch = 0;
    TGOwner<GBytes> Image;
    bool Loop = false;
    std::string Sink;

    std::atomic<std::uint64_t> Bytes{0};
    std::atomic<std::uint32_t> Hash{FnvOffset};
    std::atomic<unsigned> Loops{0};
    std::atomic<bool> Ended{false};

    ~TImpl() { Release(true); }

    // Stops and frees the pipeline, then the image it read. removeWatch is
    // false when called from the bus watch itself, which then ends.
    void Release(bool removeWatch) {
        if (BusWatch != 0 && removeWatch)
            g_source_remove(BusWatch);
        BusWatch = 0;
        if (Pipeline != nullptr) {
            // Reaching NULL joins the streaming threads, so nothing reads
            // the image once this returns.
            gst_element_set_state(Pipeline, GST_STATE_NULL);
            Pipeline.Reset();
        }
        Image.Reset();
    }

    static void OnPadAdded(GstElement*, GstPad* pad, gpointer convert) {
        try {
            TGstOwner<GstPad> sinkPad(gst_element_get_static_pad(GST_ELEMENT(convert), "sink"));
            if (sinkPad != nullptr && !gst_pad_is_linked(sinkPad))
                gst_pad_link(pad, sinkPad);
        } catch (...) {
        }
    }

    static GstPadProbeReturn OnBuffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
        try {
            auto* self = static_cast<TImpl*>(data);
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            GstMapInfo map;
            if (buffer != nullptr && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                std::uint32_t hash = self->Hash.load(std::memory_order_relaxed);
                for (gsize i = 0; i < map.size; ++i)
                    hash = (hash ^ map.data[i]) * FnvPrime;
                self->Hash.store(hash, std::memory_order_relaxed);
                self->Bytes.fetch_add(map.size, std::memory_order_relaxed);
                gst_buffer_unmap(buffer, &map);
            }
        } catch (...) {
        }
        return GST_PAD_PROBE_OK;
    }

    static gboolean OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
        return GuardCallback([&] { return static_cast<TImpl*>(data)->HandleMessage(message); },
                             gboolean(G_SOURCE_CONTINUE));
    }

    gboolean HandleMessage(GstMessage* message) {
        switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_SEGMENT_DONE:
            // The pass is over; a non-flushing segment seek back to the
            // start begins the next one without a gap.
            if (Loop && Pipeline != nullptr &&
                gst_element_seek(Pipeline, 1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_SEGMENT,
                                 GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_NONE, -1))
                Loops.fetch_add(1);
            return G_SOURCE_CONTINUE;
        case GST_MESSAGE_EOS:
            Ended = true;
            Release(false);
            return G_SOURCE_REMOVE;
        case GST_MESSAGE_ERROR:
            Release(false);
            return G_SOURCE_REMOVE;
        default:
            return G_SOURCE_CONTINUE;
        }
    }

    bool WaitForPreroll() {
        GstState state = GST_STATE_NULL;
        return gst_element_get_state(Pipeline, &state, nullptr, PrerollTimeout) !=
               GST_STATE_CHANGE_FAILURE;
    }

    // Builds source, parser, converters and sink around Image and starts
    // them; false when the sink or the image is refused.
    bool Start(const std::string& sinkDescription) {
        Sink = sinkDescription;
        GstElement* sink = gst_parse_bin_from_description(sinkDescription.c_str(), TRUE, nullptr);
        GstElement* source = gst_element_factory_make("giostreamsrc", nullptr);
        GstElement* parser = gst_element_factory_make("wavparse", nullptr);
        GstElement* convert = gst_element_factory_make("audioconvert", nullptr);
        GstElement* resample = gst_element_factory_make("audioresample", nullptr);
        Pipeline.Reset(gst_pipeline_new("folivant-sound"));
        if (sink == nullptr || source == nullptr || parser == nullptr || convert == nullptr ||
            resample == nullptr || Pipeline == nullptr) {
            for (GstElement* element : {sink, source, parser, convert, resample})
                if (element != nullptr)
                    TGstOwner<GstElement>(GST_ELEMENT(gst_object_ref_sink(element)));
            return false;
        }

        TGOwner<GInputStream> input(g_memory_input_stream_new_from_bytes(Image));
        g_object_set(source, "stream", input.Get(), nullptr);

        gst_bin_add_many(GST_BIN(Pipeline.Get()), source, parser, convert, resample, sink, nullptr);
        if (!gst_element_link(source, parser) ||
            !gst_element_link_many(convert, resample, sink, nullptr))
            return false;
        // The parser's output pad exists from the start in current releases;
        // older ones add it once the header is read.
        if (!gst_element_link(parser, convert))
            g_signal_connect(parser, "pad-added", G_CALLBACK(&TImpl::OnPadAdded), convert);

        TGstOwner<GstPad> counted(gst_element_get_static_pad(resample, "src"));
        gst_pad_add_probe(counted, GST_PAD_PROBE_TYPE_BUFFER, &TImpl::OnBuffer, this, nullptr);

        TGstOwner<GstBus> bus(gst_pipeline_get_bus(GST_PIPELINE(Pipeline.Get())));
        BusWatch = gst_bus_add_watch(bus, &TImpl::OnBusMessage, this);

        if (gst_element_set_state(Pipeline, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE ||
            !WaitForPreroll())
            return false;
        if (Loop) {
            // A segment seek makes the pipeline announce the end of each pass
            // instead of ending the stream.
            if (!gst_element_seek(
                    Pipeline, 1.0, GST_FORMAT_TIME,
                    static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_SEGMENT),
                    GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_NONE, -1) ||
                !WaitForPreroll())
                return false;
        }
        return gst_element_set_state(Pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    }

    void ResetCounters() {
        Bytes = 0;
        Hash = FnvOffset;
        Loops = 0;
        Ended = false;
    }
};

TSoundPlayer& TSoundPlayer::Instance() {
    static TSoundPlayer player;
    return player;
}

TSoundPlayer::TSoundPlayer() : FImpl(std::make_unique<TImpl>()) {}

TSoundPlayer::~TSoundPlayer() = default;

bool TSoundPlayer::Play(const void* data, std::size_t size, bool loop) {
    FImpl->Release(true);
    FImpl->ResetCounters();
    if (!LooksLikeWave(data, size) || !EnsureGStreamer())
        return false;
    FImpl->Loop = loop;

    const std::string configured = ConfiguredSink();
    for (const std::string& sink : {configured, std::string(FallbackSink)}) {
        FImpl->Image.Reset(g_bytes_new(data, size));
        if (FImpl->Start(sink))
            return true;
        FImpl->Release(true);
        FImpl->ResetCounters();
        if (sink == FallbackSink)
            break;
    }
    return false;
}

bool TSoundPlayer::Stop() {
    FImpl->Release(true);
    return true;
}

bool TSoundPlayer::Active() const {
    return FImpl->Pipeline != nullptr;
}

std::uint64_t TSoundPlayer::BytesThrough() const {
    return FImpl->Bytes.load();
}

std::uint32_t TSoundPlayer::BytesHash() const {
    return FImpl->Hash.load();
}

unsigned TSoundPlayer::LoopCount() const {
    return FImpl->Loops.load();
}

bool TSoundPlayer::Ended() const {
    return FImpl->Ended.load();
}

std::string TSoundPlayer::StateName() const {
    if (FImpl->Pipeline == nullptr)
        return "NULL";
    GstState state = GST_STATE_NULL;
    gst_element_get_state(FImpl->Pipeline, &state, nullptr, 0);
    return gst_element_state_get_name(state);
}

std::string TSoundPlayer::SinkDescription() const {
    return FImpl->Sink;
}

} // namespace Folivant::Platform
