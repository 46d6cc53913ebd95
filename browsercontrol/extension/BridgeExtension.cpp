// The runtime's part inside each engine process: window.external for the
// publication's own documents, defined natively in every frame before any
// page script runs, and a synchronous channel to the runtime that carries
// the host calls.
//
// Who calls is read from the frame itself, in a script world of our own
// that page scripts can neither reach nor change: the calling document's
// URL, its top document's URL, and whether the engine lets the caller see
// the top document (the same-origin check). Only a document of the
// publication (fvp:), or an about:blank or srcdoc document created by one,
// inside a top document of the publication gets host functions; nothing
// the page can read lets anything else pass as the publication.
//
// The runtime writes this library to a private folder and hands over the
// channel's socket path in the engine's start-up data. It loads into the
// engine's processes only, so it links nothing of the runtime.

#include "base/PosixFiles.h"

#include <webkit2/webkit-web-extension.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Folivant::ReadFull;
using Folivant::SendFull;

// The channel to the runtime; closed for good once an exchange fails.
Folivant::TFd Channel;
WebKitScriptWorld* IdentityWorld = nullptr;

// One exchange with the runtime: a 32-bit length and the bytes, both ways.
// The engine's thread waits for the answer, as it waits for a dialog.
bool Exchange(const std::string& request, std::string& answer) {
    if (!Channel.Valid())
        return false;
    const int fd = Channel.Get();
    const std::uint32_t size = static_cast<std::uint32_t>(request.size());
    std::uint32_t length = 0;
    const bool exchanged = SendFull(fd, &size, sizeof size) == sizeof size &&
                           SendFull(fd, request.data(), request.size()) == request.size() &&
                           ReadFull(fd, &length, sizeof length) == sizeof length &&
                           length <= (64u << 20);
    if (exchanged) {
        answer.resize(length);
        if (ReadFull(fd, answer.data(), length) == length)
            return true;
    }
    Channel.Reset();
    return false;
}

// Field texts count UTF-16 units, as the runtime's strings do.
std::size_t Utf16Length(const std::string& text) {
    std::size_t units = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80)
            ++units;
        if ((c & 0xF8) == 0xF0)
            ++units;
    }
    return units;
}

// Byte offset of the UTF-16 unit count `units` from `from`.
std::size_t Utf8Advance(const std::string& text, std::size_t from, std::size_t units) {
    std::size_t at = from;
    while (at < text.size() && units > 0) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        std::size_t step = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        units -= (c & 0xF8) == 0xF0 && units >= 2 ? 2 : 1;
        at += step;
    }
    return at < text.size() ? at : text.size();
}

// A field is its type letter, the length of its text, ":" and the text.
std::string Field(char type, const std::string& text) {
    return type + std::to_string(Utf16Length(text)) + ":" + text;
}

bool StartsWithFvp(const std::string& url) {
    return url.size() >= 4 && g_ascii_strncasecmp(url.c_str(), "fvp:", 4) == 0;
}

// A value's text form, as the engine gives it.
std::string TextOf(JSCValue* value) {
    g_autofree char* text = jsc_value_to_string(value);
    return text != nullptr ? text : "";
}

const char* const IdentifyScript = "(function () {"
                                   "  try {"
                                   "    var topDocument = top.document;"
                                   "    if (self.origin !== top.origin) return '';"
                                   "    return document.URL + '\\n' + topDocument.URL;"
                                   "  } catch (e) { return ''; }"
                                   "})()";

// The caller's document and top document as the engine reports them; empty
// when the frame may not see its top document or is no longer there.
struct TCaller {
    std::string FrameUrl;
    std::string TopUrl;
    bool Trusted = false;
};

TCaller Identify(WebKitFrame* frame) {
    TCaller caller;
    g_autoptr(JSCContext) context =
        webkit_frame_get_js_context_for_script_world(frame, IdentityWorld);
    if (context == nullptr)
        return caller;
    g_autoptr(JSCValue) value = jsc_context_evaluate(context, IdentifyScript, -1);
    if (value != nullptr && jsc_value_is_string(value)) {
        const std::string s = TextOf(value);
        auto cut = s.find('\n');
        if (cut != std::string::npos) {
            caller.FrameUrl = s.substr(0, cut);
            caller.TopUrl = s.substr(cut + 1);
        }
    }
    jsc_context_clear_exception(context);
    const std::string& f = caller.FrameUrl;
    caller.Trusted = StartsWithFvp(caller.TopUrl) &&
                     (StartsWithFvp(f) || f == "about:blank" || f == "about:srcdoc");
    return caller;
}

// Owners of the engine's references.
template <class T> struct TUnref {
    void operator()(T* p) const { g_object_unref(p); }
};
using TWeak = std::unique_ptr<JSCWeakValue, TUnref<JSCWeakValue>>;
using TValue = std::unique_ptr<JSCValue, TUnref<JSCValue>>;

// What one frame's window.external knows: its caller, its page, the function
// ids asked for so far, and the engine's own error constructors, taken
// before any page script could replace them (held weakly, so that the
// document can go).
struct TExternal {
    TCaller Caller;
    guint64 PageId = 0;
    TWeak ErrorCtor;
    TWeak TypeErrorCtor;
    TWeak QueueMicrotask;
    std::weak_ptr<bool> LastRead;
    std::vector<std::pair<std::string, std::int32_t>> Ids;
};

// The engine holds each of its objects' data through one of these; a member
// function shares its window.external's, so either may outlive the other.
using TExternalRef = std::shared_ptr<TExternal>;

void FreeExternal(gpointer data) {
    delete static_cast<TExternalRef*>(data);
}

TExternal& Of(gpointer data) {
    return **static_cast<TExternalRef*>(data);
}

// Sends one host request for a frame; the answer starts with "R" and a
// result field, or with "X" or "T" and a failure's message. A caller that
// is not the publication is answered as a missing function.
std::string HostCall(TExternal& external, const std::string& request) {
    const TCaller& caller = external.Caller;
    if (!caller.Trusted)
        return "XThe host function is not available here";
    std::string message = Field('i', std::to_string(external.PageId)) +
                          Field('s', caller.FrameUrl) + Field('s', caller.TopUrl) + request;
    std::string answer;
    if (!Exchange(message, answer) || answer.empty())
        return "XThe host function is not available here";
    return answer;
}

// Throws an error of the engine's own kind into the page, carrying the
// message also as its description, as pages written for the engine read it.
void ThrowFailure(JSCContext* context, TExternal& external, const std::string& answer) {
    std::string message = answer.substr(1);
    const TWeak& weak = answer[0] == 'T' ? external.TypeErrorCtor : external.ErrorCtor;
    g_autoptr(JSCValue) ctor = weak ? jsc_weak_value_get_value(weak.get()) : nullptr;
    if (ctor == nullptr) {
        jsc_context_throw(context, message.c_str());
        return;
    }
    g_autoptr(JSCValue) error =
        jsc_value_constructor_call(ctor, G_TYPE_STRING, message.c_str(), G_TYPE_NONE);
    if (error == nullptr || !jsc_value_is_object(error)) {
        jsc_context_throw(context, message.c_str());
        return;
    }
    g_autoptr(JSCValue) description = jsc_value_new_string(context, message.c_str());
    jsc_value_object_define_property_data(
        error, "description",
        static_cast<JSCValuePropertyFlags>(JSC_VALUE_PROPERTY_CONFIGURABLE |
                                           JSC_VALUE_PROPERTY_WRITABLE),
        description);
    // A value is thrown by a function that throws it; the engine passes the
    // pending exception on to the page when this call returns.
    g_autoptr(JSCValue) thrower = jsc_context_evaluate(context, "(function (e) { throw e; })", -1);
    if (thrower != nullptr)
        TValue(jsc_value_function_call(thrower, JSC_TYPE_VALUE, error, G_TYPE_NONE));
}

std::string ObjectText(JSCValue* value) {
    JSCContext* context = jsc_value_get_context(value);
    std::string s = TextOf(value);
    // An object whose text form fails gives "".
    if (jsc_context_get_exception(context) != nullptr) {
        jsc_context_clear_exception(context);
        return std::string();
    }
    return s;
}

std::string Encode(JSCValue* value) {
    if (jsc_value_is_string(value))
        return Field('s', TextOf(value));
    if (jsc_value_is_number(value)) {
        double d = jsc_value_to_double(value);
        if (d == static_cast<double>(static_cast<std::int64_t>(d)) && d >= -2147483648.0 &&
            d <= 2147483647.0 && !(d == 0 && std::signbit(d)))
            return Field('i', std::to_string(static_cast<std::int64_t>(d)));
        return Field('d', ObjectText(value));
    }
    if (jsc_value_is_boolean(value))
        return Field('b', jsc_value_to_boolean(value) ? "1" : "0");
    if (jsc_value_is_undefined(value))
        return Field('u', "");
    if (jsc_value_is_null(value))
        return Field('n', "");
    std::string text = ObjectText(value);
    auto nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    return Field('o', text);
}

// The value of a result field; nullptr for "undefined".
JSCValue* DecodeResult(JSCContext* context, const std::string& answer) {
    if (answer.size() < 2)
        return jsc_value_new_undefined(context);
    char type = answer[1];
    auto colon = answer.find(':', 2);
    if (colon == std::string::npos)
        return jsc_value_new_undefined(context);
    std::size_t length = std::strtoul(answer.c_str() + 2, nullptr, 10);
    std::size_t end = Utf8Advance(answer, colon + 1, length);
    std::string body = answer.substr(colon + 1, end - colon - 1);
    switch (type) {
    case 's':
        return jsc_value_new_string(context, body.c_str());
    case 'i':
    case 'd':
        return jsc_value_new_number(context, std::strtod(body.c_str(), nullptr));
    case 'b':
        return jsc_value_new_boolean(context, body == "1");
    case 'n':
        return jsc_value_new_null(context);
    default:
        return jsc_value_new_undefined(context);
    }
}

// The answer of a host call as the page's value, or a thrown failure.
JSCValue* Answer(JSCContext* context, TExternal& external, const std::string& answer) {
    if (answer.empty() || answer[0] != 'R') {
        ThrowFailure(context, external, answer.empty() ? "X" : answer);
        return nullptr;
    }
    return DecodeResult(context, answer);
}

// The dispatch id of a member name, asked of the runtime once per document.
// A name the runtime does not know is thrown as its failure unless quiet.
bool LookUp(JSCContext* context, TExternal& external, const std::string& name, std::int32_t& id,
            bool quiet) {
    for (const auto& [known, knownId] : external.Ids)
        if (known == name) {
            id = knownId;
            return true;
        }
    std::string answer = HostCall(external, "N" + Field('s', name));
    if (answer.empty() || answer[0] != 'R') {
        if (!quiet)
            ThrowFailure(context, external, answer.empty() ? "X" : answer);
        return false;
    }
    g_autoptr(JSCValue) value = DecodeResult(context, answer);
    id = static_cast<std::int32_t>(jsc_value_to_int32(value));
    external.Ids.emplace_back(name, id);
    return true;
}

// A member as a read gave it: its id, the result of the read, and whether
// the read was the last thing the page did with the bridge in this turn of
// its scripts.
struct TMember {
    TExternalRef External;
    std::int32_t Id;
    TValue ReadResult;
    std::shared_ptr<bool> Fresh;
};

std::string InvokeRequest(std::int32_t id) {
    return "I" + Field('i', std::to_string(id));
}

// A call without arguments right after the read is the read itself, as the
// engine runs "external.f()" once; any other call runs the function again.
JSCValue* CallMember(GPtrArray* args, gpointer data) {
    auto* member = static_cast<TMember*>(data);
    JSCContext* context = jsc_context_get_current();
    if (*member->Fresh && args->len == 0) {
        *member->Fresh = false;
        return JSC_VALUE(g_object_ref(member->ReadResult.get()));
    }
    *member->Fresh = false;
    std::string request = InvokeRequest(member->Id);
    for (guint i = 0; i < args->len; ++i)
        request += Encode(static_cast<JSCValue*>(g_ptr_array_index(args, i)));
    return Answer(context, *member->External, HostCall(*member->External, request));
}

// The member name a trap of window.external was given; false for symbols.
bool MemberName(GPtrArray* args, std::string& name) {
    if (args->len < 2)
        return false;
    auto* key = static_cast<JSCValue*>(g_ptr_array_index(args, 1));
    if (!jsc_value_is_string(key))
        return false;
    name = TextOf(key);
    return true;
}

JSCValue* EndFreshness(GPtrArray*, gpointer data) {
    **static_cast<std::shared_ptr<bool>*>(data) = false;
    return jsc_value_new_undefined(jsc_context_get_current());
}

// The read's result as the member's own value and text, so that comparing
// or printing a member read without a call sees its result.
JSCValue* ReadValue(GPtrArray*, gpointer data) {
    return JSC_VALUE(g_object_ref(static_cast<TMember*>(data)->ReadResult.get()));
}

JSCValue* ReadText(GPtrArray*, gpointer data) {
    const std::string text = TextOf(static_cast<TMember*>(data)->ReadResult.get());
    return jsc_value_new_string(jsc_context_get_current(), text.c_str());
}

JSCValue* ObjectTextOfExternal(GPtrArray*, gpointer) {
    return jsc_value_new_string(jsc_context_get_current(), "[object External]");
}

// Reading a member runs it, as the engine does for a member that is read
// and not called ("external.appStopWav;" stops the sound), and gives a
// function that calls it; called at once without arguments, that function
// answers the read's result instead of running the member a second time.
JSCValue* GetTrap(GPtrArray* args, gpointer data) {
    const TExternalRef& external = *static_cast<TExternalRef*>(data);
    JSCContext* context = jsc_context_get_current();
    std::string name;
    if (!MemberName(args, name))
        return jsc_value_new_undefined(context);
    std::int32_t id = 0;
    if (!LookUp(context, *external, name, id, name == "toString" || name == "valueOf")) {
        if (jsc_context_get_exception(context) != nullptr)
            return nullptr;
        return jsc_value_new_function_variadic(context, name.c_str(),
                                               G_CALLBACK(ObjectTextOfExternal), nullptr, nullptr,
                                               JSC_TYPE_VALUE);
    }
    JSCValue* result = Answer(context, *external, HostCall(*external, InvokeRequest(id)));
    if (result == nullptr)
        return nullptr;
    if (auto last = external->LastRead.lock())
        *last = false;
    auto* member = new TMember{external, id, TValue(result), std::make_shared<bool>(true)};
    external->LastRead = member->Fresh;
    // The read is fresh until the page's current script has run.
    g_autoptr(JSCValue) queue = external->QueueMicrotask
                                    ? jsc_weak_value_get_value(external->QueueMicrotask.get())
                                    : nullptr;
    if (queue != nullptr) {
        g_autoptr(JSCValue) end = jsc_value_new_function_variadic(
            context, nullptr, G_CALLBACK(EndFreshness), new std::shared_ptr<bool>(member->Fresh),
            [](gpointer data) { delete static_cast<std::shared_ptr<bool>*>(data); },
            JSC_TYPE_VALUE);
        TValue(jsc_value_function_call(queue, JSC_TYPE_VALUE, end, G_TYPE_NONE));
        jsc_context_clear_exception(context);
    }
    JSCValue* fn = jsc_value_new_function_variadic(
        context, name.c_str(), G_CALLBACK(CallMember), member,
        [](gpointer data) { delete static_cast<TMember*>(data); }, JSC_TYPE_VALUE);
    if (!jsc_value_is_undefined(result)) {
        // The value and text views share the member; each holds it alive.
        for (auto [key, view] : {std::pair{"valueOf", G_CALLBACK(ReadValue)},
                                 std::pair{"toString", G_CALLBACK(ReadText)}}) {
            g_autoptr(JSCValue) viewFn = jsc_value_new_function_variadic(
                context, key, view,
                new TMember{external, id, TValue(JSC_VALUE(g_object_ref(result))), member->Fresh},
                [](gpointer data) { delete static_cast<TMember*>(data); }, JSC_TYPE_VALUE);
            jsc_value_object_set_property(fn, key, viewFn);
        }
    }
    return fn;
}

// "name in window.external" tells whether the runtime knows the name.
JSCValue* HasTrap(GPtrArray* args, gpointer data) {
    const TExternalRef& external = *static_cast<TExternalRef*>(data);
    JSCContext* context = jsc_context_get_current();
    std::string name;
    std::int32_t id = 0;
    return jsc_value_new_boolean(context, MemberName(args, name) &&
                                              LookUp(context, *external, name, id, true));
}

// Assignments are ignored; defining and deleting members is refused.
JSCValue* IgnoreTrap(GPtrArray*, gpointer) {
    return jsc_value_new_boolean(jsc_context_get_current(), TRUE);
}

JSCValue* RefuseTrap(GPtrArray*, gpointer) {
    return jsc_value_new_boolean(jsc_context_get_current(), FALSE);
}

// window.close: the engine closes only windows with a single history entry
// by itself; the runtime decides for every window of the publication.
JSCValue* CloseWindow(GPtrArray*, gpointer data) {
    HostCall(Of(data), "C");
    return jsc_value_new_undefined(jsc_context_get_current());
}

// Uncaught script errors go to the runtime, which applies the window's
// script-error policy, unless the page handled the error itself (its
// onerror answered true or a listener cancelled the event). The listener
// runs first, so it looks once the event has been through the page.
const char* const ErrorWatchScript =
    "(function (report, win, ErrorEventCtor, setTimeoutFn, addListener, apply) {"
    "  apply(addListener, win, ['error', function (e) {"
    "    if (!(e instanceof ErrorEventCtor)) return;"
    "    var message = e.message, source = e.filename || '', line = e.lineno | 0;"
    "    apply(setTimeoutFn, win, [function () {"
    "      if (!e.defaultPrevented) report(message, source, line);"
    "    }, 0]);"
    "  }, true]);"
    "})";

JSCValue* ReportError(GPtrArray* args, gpointer data) {
    std::string request = "E";
    for (guint i = 0; i < 3; ++i) {
        JSCValue* arg =
            i < args->len ? static_cast<JSCValue*>(g_ptr_array_index(args, i)) : nullptr;
        request += Field(i == 2 ? 'i' : 's', arg != nullptr ? TextOf(arg) : "");
    }
    HostCall(Of(data), request);
    return jsc_value_new_undefined(jsc_context_get_current());
}

TExternalRef* NewExternal(JSCContext* context, WebKitWebPage* page, WebKitFrame* frame,
                          const TCaller& caller) {
    auto external = std::make_shared<TExternal>();
    external->Caller = caller;
    external->PageId = webkit_web_page_get_id(page);
    for (auto [name, slot] : {std::pair{"Error", &external->ErrorCtor},
                              std::pair{"TypeError", &external->TypeErrorCtor},
                              std::pair{"queueMicrotask", &external->QueueMicrotask}}) {
        g_autoptr(JSCValue) ctor = jsc_context_get_value(context, name);
        if (ctor != nullptr)
            slot->reset(jsc_weak_value_new(ctor));
    }
    return new TExternalRef(std::move(external));
}

// window.open: the runtime opens a window on a publication address for a
// script only while a document of the publication is inside its own
// window.open, so this frame announces the call before the engine's open
// runs and withdraws it after. document.open with three arguments opens a
// window the same way and is announced too; with fewer it rewrites the
// document and goes straight to the engine. A document that is not the
// publication's has no announcing open (the runtime would refuse its
// announcement too).
const char* const OpenWrapScript =
    "(function (engineOpen, announce, apply, windowForm) {"
    "  return ({ open() {"
    "    if (arguments.length < windowForm) return apply(engineOpen, this, arguments);"
    "    announce(true);"
    "    try { return apply(engineOpen, this, arguments); } finally { announce(false); }"
    "  } }).open;"
    "})";

// A replaced function reads as the engine's own: the functions' toString
// gives the text of the engine's function for each replacement registered
// with the function this script returns, and for itself. The table and the
// registering function stay with the runtime; page script reaches neither.
const char* const EngineTextScript =
    "(function () {"
    "  'use strict';"
    "  var apply = Reflect.apply, engineToString = Function.prototype.toString;"
    "  var get = WeakMap.prototype.get, set = WeakMap.prototype.set, texts = new WeakMap();"
    "  var toString = ({ toString() {"
    "    var text = apply(get, texts, [this]);"
    "    return text !== undefined ? text : apply(engineToString, this, arguments);"
    "  } }).toString;"
    "  function register(replacement, engineFunction) {"
    "    apply(set, texts, [replacement, apply(engineToString, engineFunction, [])]);"
    "  }"
    "  register(toString, engineToString);"
    "  Object.defineProperty(Function.prototype, 'toString', { value: toString });"
    "  return register;"
    "})()";

JSCValue* AnnounceOpen(GPtrArray* args, gpointer data) {
    const bool begins =
        args->len > 0 && jsc_value_to_boolean(static_cast<JSCValue*>(g_ptr_array_index(args, 0)));
    HostCall(Of(data), "O" + Field('b', begins ? "1" : "0"));
    return jsc_value_new_undefined(jsc_context_get_current());
}

// Replaces the open function of `owner` (the window, or the documents'
// prototype) by one that announces the calls with at least `windowForm`
// arguments.
void WrapOpen(JSCContext* context, JSCValue* owner, JSCValue* announce, JSCValue* apply,
              JSCValue* registerText, int windowForm) {
    g_autoptr(JSCValue) wrap = jsc_context_evaluate(context, OpenWrapScript, -1);
    g_autoptr(JSCValue) engineOpen = owner != nullptr && jsc_value_is_object(owner)
                                         ? jsc_value_object_get_property(owner, "open")
                                         : nullptr;
    g_autoptr(JSCValue) open = nullptr;
    if (wrap != nullptr && jsc_value_is_function(wrap) && engineOpen != nullptr &&
        jsc_value_is_function(engineOpen) && apply != nullptr && jsc_value_is_function(apply))
        open = jsc_value_function_call(wrap, JSC_TYPE_VALUE, engineOpen, JSC_TYPE_VALUE, announce,
                                       JSC_TYPE_VALUE, apply, G_TYPE_INT, windowForm, G_TYPE_NONE);
    if (open != nullptr && jsc_value_is_function(open))
        jsc_value_object_define_property_data(
            owner, "open",
            static_cast<JSCValuePropertyFlags>(JSC_VALUE_PROPERTY_CONFIGURABLE |
                                               JSC_VALUE_PROPERTY_ENUMERABLE |
                                               JSC_VALUE_PROPERTY_WRITABLE),
            open);
    if (open != nullptr && jsc_value_is_function(open) && registerText != nullptr &&
        jsc_value_is_function(registerText))
        TValue(jsc_value_function_call(registerText, JSC_TYPE_VALUE, open, JSC_TYPE_VALUE,
                                       engineOpen, G_TYPE_NONE));
    jsc_context_clear_exception(context);
}

void DefineOpen(JSCContext* context, WebKitWebPage* page, WebKitFrame* frame, const TCaller& caller,
                JSCValue* global, JSCValue* apply) {
    g_autoptr(JSCValue) announce = jsc_value_new_function_variadic(
        context, nullptr, G_CALLBACK(AnnounceOpen), NewExternal(context, page, frame, caller),
        FreeExternal, JSC_TYPE_VALUE);
    g_autoptr(JSCValue) registerText = jsc_context_evaluate(context, EngineTextScript, -1);
    jsc_context_clear_exception(context);
    WrapOpen(context, global, announce, apply, registerText, 0);
    g_autoptr(JSCValue) documentPrototype = jsc_context_evaluate(context, "Document.prototype", -1);
    WrapOpen(context, documentPrototype, announce, apply, registerText, 3);
    jsc_context_clear_exception(context);
}

void DefineBridge(JSCContext* context, WebKitWebPage* page, WebKitFrame* frame,
                  const TCaller& caller) {
    g_autoptr(JSCValue) global = jsc_context_get_global_object(context);
    // window.external is a proxy whose traps are the runtime's functions;
    // the proxy, its handler and its target are made before any page
    // script runs, from the engine's own constructors.
    g_autoptr(JSCValue) handler = jsc_value_new_object(context, nullptr, nullptr);
    const struct {
        const char* Name;
        GCallback Trap;
    } traps[] = {{"get", G_CALLBACK(GetTrap)},
                 {"has", G_CALLBACK(HasTrap)},
                 {"set", G_CALLBACK(IgnoreTrap)},
                 {"defineProperty", G_CALLBACK(RefuseTrap)},
                 {"deleteProperty", G_CALLBACK(RefuseTrap)}};
    // The traps share one description, and with it the ids asked for.
    const std::unique_ptr<TExternalRef> shared(NewExternal(context, page, frame, caller));
    for (const auto& trap : traps) {
        g_autoptr(JSCValue) fn = jsc_value_new_function_variadic(
            context, trap.Name, trap.Trap, new TExternalRef(*shared), FreeExternal, JSC_TYPE_VALUE);
        jsc_value_object_set_property(handler, trap.Name, fn);
    }
    g_autoptr(JSCValue) target = jsc_context_evaluate(context, "Object.create(null)", -1);
    g_autoptr(JSCValue) proxyCtor = jsc_context_get_value(context, "Proxy");
    g_autoptr(JSCValue) external =
        proxyCtor != nullptr && target != nullptr
            ? jsc_value_constructor_call(proxyCtor, JSC_TYPE_VALUE, target, JSC_TYPE_VALUE, handler,
                                         G_TYPE_NONE)
            : nullptr;
    if (external != nullptr && jsc_value_is_object(external))
        jsc_value_object_define_property_data(global, "external",
                                              static_cast<JSCValuePropertyFlags>(0), external);

    // The functions below hold their own description of the frame; each is
    // freed with the function.
    if (webkit_frame_is_main_frame(frame)) {
        TExternalRef* closeData = NewExternal(context, page, frame, caller);
        g_autoptr(JSCValue) close = jsc_value_new_function_variadic(
            context, "close", G_CALLBACK(CloseWindow), closeData, FreeExternal, JSC_TYPE_VALUE);
        jsc_value_object_define_property_data(
            global, "close",
            static_cast<JSCValuePropertyFlags>(JSC_VALUE_PROPERTY_CONFIGURABLE |
                                               JSC_VALUE_PROPERTY_ENUMERABLE |
                                               JSC_VALUE_PROPERTY_WRITABLE),
            close);
    }

    g_autoptr(JSCValue) watch = jsc_context_evaluate(context, ErrorWatchScript, -1);
    TExternalRef* reportData = NewExternal(context, page, frame, caller);
    g_autoptr(JSCValue) report = jsc_value_new_function_variadic(
        context, nullptr, G_CALLBACK(ReportError), reportData, FreeExternal, JSC_TYPE_VALUE);
    g_autoptr(JSCValue) errorEvent = jsc_context_get_value(context, "ErrorEvent");
    g_autoptr(JSCValue) setTimeoutFn = jsc_context_get_value(context, "setTimeout");
    g_autoptr(JSCValue) addListener =
        jsc_context_evaluate(context, "EventTarget.prototype.addEventListener", -1);
    g_autoptr(JSCValue) apply = jsc_context_evaluate(context, "Reflect.apply", -1);
    if (watch != nullptr && jsc_value_is_function(watch))
        TValue(jsc_value_function_call(watch, JSC_TYPE_VALUE, report, JSC_TYPE_VALUE, global,
                                       JSC_TYPE_VALUE, errorEvent, JSC_TYPE_VALUE, setTimeoutFn,
                                       JSC_TYPE_VALUE, addListener, JSC_TYPE_VALUE, apply,
                                       G_TYPE_NONE));
    DefineOpen(context, page, frame, caller, global, apply);
    jsc_context_clear_exception(context);
}

void WindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame,
                         gpointer) {
    // A frame that is not the publication's own gets nothing: not even a
    // window.external that answers with failures.
    // A window object belongs to one document for all its life, and so does
    // the caller it describes.
    const TCaller caller = Identify(frame);
    if (!caller.Trusted)
        return;
    g_autoptr(JSCContext) context = webkit_frame_get_js_context_for_script_world(frame, world);
    if (context != nullptr)
        DefineBridge(context, page, frame, caller);
}

void Connect(const char* path) {
    Folivant::TFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd.Valid() || std::strlen(path) >= sizeof address.sun_path)
        return;
    std::strcpy(address.sun_path, path);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        Channel = std::move(fd);
}

} // namespace

extern "C" G_MODULE_EXPORT void
webkit_web_extension_initialize_with_user_data(WebKitWebExtension*, const GVariant* data) {
    GVariant* value = const_cast<GVariant*>(data);
    if (value == nullptr || !g_variant_is_of_type(value, G_VARIANT_TYPE_STRING))
        return;
    Connect(g_variant_get_string(value, nullptr));
    IdentityWorld = webkit_script_world_new();
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                     G_CALLBACK(WindowObjectCleared), nullptr);
}
