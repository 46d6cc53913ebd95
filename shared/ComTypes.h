#pragma once

// The few COM automation values the engine boundary uses: HRESULTs with their
// Windows values, VARIANT_BOOL, a VARIANT with the types the script bridge
// needs, DISPPARAMS with its arguments in reverse order, and EXCEPINFO.

#include "base/Classes.h"

#include <cstdint>
#include <variant>
#include <vector>

#ifdef _WIN32
// On Windows these are the system's own: the HRESULT values and VARIANT_TRUE
// are its macros, the variant types its enumerators.
#include <windows.h>

#include <urlmon.h>
#endif

namespace Folivant::Shared {

#ifdef _WIN32
using ::DISPID;
using ::HRESULT;
using ::VARIANT_BOOL;
#else
using HRESULT = std::int32_t;
using VARIANT_BOOL = std::int16_t;
using DISPID = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_PENDING = static_cast<HRESULT>(0x8000000Au);
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT INET_E_USE_DEFAULT_PROTOCOLHANDLER = static_cast<HRESULT>(0x800C0011u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
inline constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009u);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000Eu);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

inline constexpr DISPID DISPID_UNKNOWN = -1;
#endif

inline bool Succeeded(HRESULT hr) {
    return hr >= 0;
}
inline bool Failed(HRESULT hr) {
    return hr < 0;
}

#ifdef _WIN32
using TVarType = ::VARTYPE;
using ::VT_BOOL;
using ::VT_BSTR;
using ::VT_DISPATCH;
using ::VT_EMPTY;
using ::VT_I2;
using ::VT_I4;
using ::VT_NULL;
using ::VT_R8;
#else
enum TVarType : std::uint16_t {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_BOOL = 11,
};
#endif

// A VARIANT restricted to the types scripts pass to and get from the host.
// VT_DISPATCH stands for any script object and carries its text form in
// bstrVal.
struct TVariant {
    TVarType vt = VT_EMPTY;
    std::int32_t intVal = 0; // VT_I2, VT_I4; VT_BOOL as VARIANT_BOOL (-1/0)
    double dblVal = 0;       // VT_R8
    String bstrVal;          // VT_BSTR; VT_DISPATCH: the object's text

    static TVariant Empty() { return {}; }
    static TVariant Null() { return {.vt = VT_NULL}; }
    static TVariant FromInt(std::int32_t i) { return {.vt = VT_I4, .intVal = i}; }
    static TVariant FromBool(bool b) {
        return {.vt = VT_BOOL, .intVal = b ? VARIANT_TRUE : VARIANT_FALSE};
    }
    static TVariant FromDouble(double d) { return {.vt = VT_R8, .dblVal = d}; }
    static TVariant FromString(String s) { return {.vt = VT_BSTR, .bstrVal = std::move(s)}; }

    void Clear() { *this = TVariant(); }
};

// Script arguments as the engine hands them to Invoke: the last argument
// first (rgvarg[0] is the rightmost argument).
struct TDispParams {
    std::vector<TVariant> rgvarg;
    unsigned cArgs() const { return static_cast<unsigned>(rgvarg.size()); }
};

struct TExcepInfo {
    std::uint16_t wCode = 0;
    String bstrSource;
    String bstrDescription;
    std::uint32_t dwHelpContext = 0;
    HRESULT scode = 0;
};

} // namespace Folivant::Shared
