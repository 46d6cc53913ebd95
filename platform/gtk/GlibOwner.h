#pragma once

// The owner of one GLib reference: a GObject (the default), or one of the
// GLib types that have their own release call. The owner releases what it
// holds when it goes out of scope, so no path of a function, and no failure
// unwinding through it, has to free by hand.

#include <glib-object.h>
#include <glib.h>

#include <utility>

namespace Folivant::Platform {

template <class T> void ReleaseOwned(T* p) {
    g_object_unref(p);
}
template <> inline void ReleaseOwned<char>(char* p) {
    g_free(p);
}
template <> inline void ReleaseOwned<char*>(char** p) {
    g_strfreev(p);
}
template <> inline void ReleaseOwned<GError>(GError* p) {
    g_error_free(p);
}
template <> inline void ReleaseOwned<GVariant>(GVariant* p) {
    g_variant_unref(p);
}
template <> inline void ReleaseOwned<GBytes>(GBytes* p) {
    g_bytes_unref(p);
}
template <> inline void ReleaseOwned<GByteArray>(GByteArray* p) {
    g_byte_array_unref(p);
}
// A list whose items belong to someone else.
template <> inline void ReleaseOwned<GList>(GList* p) {
    g_list_free(p);
}
template <> inline void ReleaseOwned<GMainContext>(GMainContext* p) {
    g_main_context_unref(p);
}
template <> inline void ReleaseOwned<GMainLoop>(GMainLoop* p) {
    g_main_loop_unref(p);
}
template <> inline void ReleaseOwned<GSource>(GSource* p) {
    g_source_unref(p);
}

// Release is the call that gives the reference back; types whose library
// has its own (GStreamer's gst_object_unref) name it here.
template <class T, void (*Release)(T*) = &ReleaseOwned<T>> class TGOwner {
public:
    TGOwner() = default;
    // Takes over a reference the caller owns (a "transfer full" result).
    explicit TGOwner(T* owned) : FPtr(owned) {}
    ~TGOwner() { Reset(); }
    TGOwner(const TGOwner&) = delete;
    TGOwner& operator=(const TGOwner&) = delete;
    TGOwner(TGOwner&& other) noexcept : FPtr(other.Take()) {}
    TGOwner& operator=(TGOwner&& other) noexcept {
        if (this != &other)
            Reset(other.Take());
        return *this;
    }

    T* Get() const { return FPtr; }
    operator T*() const { return FPtr; }
    T* operator->() const { return FPtr; }
    // Hands the reference on to the caller.
    T* Take() { return std::exchange(FPtr, nullptr); }
    void Reset(T* owned = nullptr) {
        if (T* old = std::exchange(FPtr, owned))
            Release(old);
    }
    // For an out parameter (GError** and the like): releases what is held
    // and lets the callee store a new reference.
    T** Out() {
        Reset();
        return &FPtr;
    }

private:
    T* FPtr = nullptr;
};

// GLib strings ("free with g_free").
using TGString = TGOwner<char>;
using TGError = TGOwner<GError>;

} // namespace Folivant::Platform
