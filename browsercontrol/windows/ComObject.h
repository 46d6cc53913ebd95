#pragma once

// The IUnknown part of every COM object the browser host hands to the
// engine: a reference count that frees the object at zero, and
// QueryInterface over the interfaces the object derives from, found by
// their declared IIDs. An interface reachable over two bases (IOleWindow
// under both IOleInPlaceSite and IOleInPlaceFrame) or one that has no base
// class of its own (a dispinterface served by IDispatch) is answered by
// ExtraInterface.

#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

namespace Folivant::BrowserControl {

template <class First, class... Rest> class TComObject : public First, public Rest... {
public:
    TComObject() = default;
    TComObject(const TComObject&) = delete;
    TComObject& operator=(const TComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(riid, __uuidof(IUnknown)))
            *object = static_cast<First*>(this);
        else if (!Find<First, Rest...>(riid, object))
            *object = ExtraInterface(riid);
        if (*object == nullptr)
            return E_NOINTERFACE;
        static_cast<IUnknown*>(static_cast<First*>(this))->AddRef();
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&FRefCount));
    }

    ULONG STDMETHODCALLTYPE Release() override {
        LONG count = InterlockedDecrement(&FRefCount);
        if (count == 0)
            delete this;
        return static_cast<ULONG>(count);
    }

    // The object as IUnknown, for the calls that take one.
    IUnknown* Unknown() { return static_cast<First*>(this); }

protected:
    // Created with one reference, which the creator owns.
    virtual ~TComObject() = default;

    // An interface not among the base classes, already cast; null when the
    // object does not offer it.
    virtual void* ExtraInterface(REFIID riid) { return nullptr; }

private:
    template <class I, class... More> bool Find(REFIID riid, void** object) {
        if (IsEqualIID(riid, __uuidof(I))) {
            *object = static_cast<I*>(this);
            return true;
        }
        if constexpr (sizeof...(More) > 0)
            return Find<More...>(riid, object);
        return false;
    }

    LONG FRefCount = 1;
};

// The type-information answers of a dispatch object that has none.
inline HRESULT NoTypeInfoCount(UINT* count) {
    if (count == nullptr)
        return E_POINTER;
    *count = 0;
    return S_OK;
}
inline HRESULT NoTypeInfo(ITypeInfo** info) {
    if (info != nullptr)
        *info = nullptr;
    return E_NOTIMPL;
}

// An owning reference to a COM interface: releases it once.
template <class I> class TComPtr {
public:
    TComPtr() = default;
    TComPtr(const TComPtr&) = delete;
    TComPtr& operator=(const TComPtr&) = delete;
    ~TComPtr() { Reset(); }

    I* Get() const { return FPointer; }
    I* operator->() const { return FPointer; }
    explicit operator bool() const { return FPointer != nullptr; }
    // The slot a creating call fills; releases what was held.
    I** Put() {
        Reset();
        return &FPointer;
    }
    void Reset() {
        if (FPointer != nullptr)
            FPointer->Release();
        FPointer = nullptr;
    }

private:
    I* FPointer = nullptr;
};

} // namespace Folivant::BrowserControl
