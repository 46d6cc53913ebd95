#include "platform/gtk/UrlMonGtk.h"

#include "base/Text.h"
#include "platform/gtk/Dispatcher.h"
#include "platform/gtk/GlibOwner.h"

#include <gio/gio.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace Folivant::Platform {

using namespace Folivant::Shared;

namespace {

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + 32);
        }
    }
    return out;
}

// The name-space registrations of the process, newest last. Requests use the
// newest registration of their scheme, as the moniker layer does.
struct TNameSpace {
    std::string Scheme; // lower case
    TComPtr<IClassFactory> Factory;
};

std::mutex NameSpaceLock;
std::vector<TNameSpace>& NameSpaces() {
    static std::vector<TNameSpace> list;
    return list;
}
std::vector<std::string>& KnownSchemes() {
    static std::vector<std::string> list;
    return list;
}

// Never destroyed: the engine may still use the context while the process
// ends.
TGOwner<WebKitWebContext>& CurrentContext = *new TGOwner<WebKitWebContext>;

TComPtr<IClassFactory> FactoryFor(const std::string& scheme) {
    std::lock_guard guard(NameSpaceLock);
    const auto& list = NameSpaces();
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->Scheme == scheme) {
            return it->Factory;
        }
    }
    return nullptr;
}

// The sink of one request: remembers the result and any content type the
// handler reports.
class TRequestSink : public TComObject<IInternetProtocolSink, IID_IInternetProtocolSink> {
public:
    HRESULT Switch(TProtocolData*) override { return E_NOTIMPL; }
    HRESULT ReportProgress(ULONG status, const char16_t* text) override {
        if ((status == BINDSTATUS_MIMETYPEAVAILABLE ||
             status == BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE) &&
            text != nullptr) {
            MimeType = StringToUtf8(text);
        }
        return S_OK;
    }
    HRESULT ReportData(DWORD, ULONG, ULONG progressMax) override {
        Expected = progressMax;
        return S_OK;
    }
    HRESULT ReportResult(HRESULT hr, DWORD, const char16_t*) override {
        Result = hr;
        return S_OK;
    }

    std::string MimeType;
    HRESULT Result = S_OK;
    ULONG Expected = 0; // the size announced by ReportData

private:
    ~TRequestSink() override = default;
};

void FinishNotFound(WebKitURISchemeRequest* request, const char* uri) {
    const TGError error(g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "Cannot find %s", uri));
    webkit_uri_scheme_request_finish_error(request, error);
}

void FinishFailed(WebKitURISchemeRequest* request, const char* what) {
    const TGError error(g_error_new(G_IO_ERROR, G_IO_ERROR_FAILED, "%s", what));
    webkit_uri_scheme_request_finish_error(request, error);
}

// The path of a URL without query and fragment, for the content type.
std::string_view PathOf(std::string_view uri) {
    const std::size_t end = uri.find_first_of("?#");
    return uri.substr(0, end);
}

// Answers one WebKit request through the registered handler. Returns false
// when the request was declined (not finished yet).
bool AnswerRequest(WebKitURISchemeRequest* request, const char* uri, const char* scheme) {
    const TComPtr<IClassFactory> factory = FactoryFor(LowerAscii(scheme));
    if (!factory) {
        return false;
    }
    TComPtr<IInternetProtocol> handler;
    if (Failed(factory->CreateInstance(nullptr, IID_IInternetProtocol, handler.Out())) ||
        !handler) {
        return false;
    }
    TComPtr<TRequestSink> sink(new TRequestSink);
    const String url = Utf8ToString(uri);
    const HRESULT started = handler->Start(url.c_str(), sink.Get(), nullptr, 0, 0);
    if (Failed(started)) {
        return false;
    }

    // The data is complete once Start has reported it; an E_PENDING that
    // brings nothing ends it as well, since no further data can arrive.
    // Sized by the announced length, so that a small entry does not carry a
    // large buffer for as long as the engine keeps the response.
    TGOwner<GByteArray> data(g_byte_array_sized_new(std::min<ULONG>(sink->Expected, 64 << 20) + 1));
    constexpr ULONG Chunk = 64 * 1024;
    HRESULT hr = S_OK;
    do {
        const guint before = data->len;
        const ULONG want =
            sink->Expected > before ? std::min<ULONG>(sink->Expected - before + 1, Chunk) : 4096;
        g_byte_array_set_size(data, before + want);
        ULONG read = 0;
        hr = handler->Read(data->data + before, want, &read);
        g_byte_array_set_size(data, before + std::min(read, want));
        if (hr == E_PENDING && read == 0) {
            break;
        }
    } while (hr == E_PENDING || hr == S_OK);
    handler->Terminate(0);
    if (Failed(sink->Result) || (Failed(hr) && hr != E_PENDING)) {
        return false;
    }

    std::string type = sink->MimeType;
    if (type.empty()) {
        type =
            ContentTypeFor(PathOf(uri), std::string_view(reinterpret_cast<const char*>(data->data),
                                                         std::min<guint>(data->len, 4096)));
    }
    const gsize length = data->len;
    const TGOwner<GBytes> bytes(g_byte_array_free_to_bytes(data.Take()));
    const TGOwner<GInputStream> stream(g_memory_input_stream_new_from_bytes(bytes));
    const TGOwner<WebKitURISchemeResponse> response(
        webkit_uri_scheme_response_new(stream, static_cast<gint64>(length)));
    webkit_uri_scheme_response_set_status(response, 200, "OK");
    webkit_uri_scheme_response_set_content_type(response, type.c_str());
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    soup_message_headers_replace(headers, "Content-Type", type.c_str());
    soup_message_headers_set_content_length(headers, static_cast<goffset>(length));
    webkit_uri_scheme_response_set_http_headers(response, headers);
    webkit_uri_scheme_request_finish_with_response(request, response);
    return true;
}

// WebKit's entry point for every request of a registered scheme. Nothing
// unwinds past it: a failure of the handler fails the request.
void OnSchemeRequest(WebKitURISchemeRequest* request, gpointer) {
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    const char* scheme = webkit_uri_scheme_request_get_scheme(request);
    bool finished = false;
    try {
        if (!IsPublicationRequest(request)) {
            finished = true;
            FinishNotFound(request, uri != nullptr ? uri : "");
            return;
        }
        finished =
            AnswerRequest(request, uri != nullptr ? uri : "", scheme != nullptr ? scheme : "");
        if (!finished) {
            finished = true;
            FinishNotFound(request, uri != nullptr ? uri : "");
        }
    } catch (const std::exception& e) {
        if (!finished) {
            FinishFailed(request, e.what());
        }
    } catch (...) {
        if (!finished) {
            FinishFailed(request, "The request failed");
        }
    }
}

} // namespace

bool IsPublicationRequest(WebKitURISchemeRequest* request) {
    const char* scheme = webkit_uri_scheme_request_get_scheme(request);
    const std::size_t length = scheme != nullptr ? std::strlen(scheme) : 0;
    auto ofScheme = [&](const char* url) {
        return url != nullptr && g_ascii_strncasecmp(url, scheme, length) == 0 &&
               url[length] == ':';
    };
    // A cross-origin request names its origin; the engine lets a page from
    // elsewhere send some of them (a synchronous XMLHttpRequest) although it
    // refuses to let it load the scheme's pages otherwise.
    SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request);
    const char* origin =
        headers != nullptr ? soup_message_headers_get_one(headers, "Origin") : nullptr;
    if (origin != nullptr && !ofScheme(origin))
        return false;
    // Nor does a window showing a page from elsewhere get anything.
    WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
    const char* shown = view != nullptr ? webkit_web_view_get_uri(view) : nullptr;
    return shown == nullptr || ofScheme(shown) || std::strcmp(shown, "about:blank") == 0;
}

namespace {

// Tells one context about a scheme, once per context and scheme.
void RegisterWithContext(WebKitWebContext* context, const std::string& scheme) {
    const std::string key = "folivant-scheme:" + scheme;
    if (g_object_get_data(G_OBJECT(context), key.c_str()) != nullptr) {
        return;
    }
    g_object_set_data(G_OBJECT(context), key.c_str(), GINT_TO_POINTER(1));
    webkit_web_context_register_uri_scheme(context, scheme.c_str(), OnSchemeRequest, nullptr,
                                           nullptr);
    // Pages of the scheme are a secure context with their own origin, so
    // scripts, fetch and XHR, fonts and media load from it like from HTTPS.
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, scheme.c_str());
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme.c_str());
    // The scheme's pages belong to the publication: only a document of the
    // same scheme may navigate to, frame, embed or fetch them. A page from
    // anywhere else (http, https, file, data, blob, or a frame inside one)
    // is refused by the engine before any request reaches this layer.
    webkit_security_manager_register_uri_scheme_as_display_isolated(security, scheme.c_str());
}

class TInternetSession : public TComObject<IInternetSession, IID_IInternetSession> {
public:
    HRESULT RegisterNameSpace(IClassFactory* pCF, const TGUID& rclsid, const char16_t* pwzProtocol,
                              ULONG cPatterns, const char16_t* const* ppwzPatterns,
                              DWORD dwReserved) override {
        if (pCF == nullptr || pwzProtocol == nullptr || *pwzProtocol == 0) {
            return E_INVALIDARG;
        }
        const std::string scheme = LowerAscii(StringToUtf8(pwzProtocol));
        bool known;
        {
            std::lock_guard guard(NameSpaceLock);
            NameSpaces().push_back({scheme, TComPtr<IClassFactory>(pCF)});
            auto& schemes = KnownSchemes();
            known = std::find(schemes.begin(), schemes.end(), scheme) != schemes.end();
            if (!known) {
                schemes.push_back(scheme);
            }
        }
        RegisterWithContext(UrlMonWebContext(), scheme);
        return S_OK;
    }

    HRESULT UnregisterNameSpace(IClassFactory* pCF, const char16_t* pszProtocol) override {
        if (pszProtocol == nullptr) {
            return E_INVALIDARG;
        }
        const std::string scheme = LowerAscii(StringToUtf8(pszProtocol));
        TComPtr<IClassFactory> dropped;
        {
            std::lock_guard guard(NameSpaceLock);
            auto& list = NameSpaces();
            for (auto it = list.rbegin(); it != list.rend(); ++it) {
                if (it->Scheme == scheme && it->Factory.Get() == pCF) {
                    // Released outside the lock: a factory's last release
                    // may run arbitrary code.
                    dropped = std::move(it->Factory);
                    list.erase(std::next(it).base());
                    break;
                }
            }
        }
        return S_OK;
    }

private:
    ~TInternetSession() override = default;
};

struct TExtension {
    const char* Ext;
    const char* Type;
};

constexpr TExtension Extensions[] = {
    {"html", "text/html"},
    {"htm", "text/html"},
    {"shtml", "text/html"},
    {"xhtml", "application/xhtml+xml"},
    {"xht", "application/xhtml+xml"},
    {"css", "text/css"},
    {"js", "text/javascript"},
    {"mjs", "text/javascript"},
    {"json", "application/json"},
    {"map", "application/json"},
    {"webmanifest", "application/manifest+json"},
    {"xml", "application/xml"},
    {"xsl", "application/xml"},
    {"txt", "text/plain"},
    {"csv", "text/csv"},
    {"svg", "image/svg+xml"},
    {"svgz", "image/svg+xml"},
    {"png", "image/png"},
    {"apng", "image/apng"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"jpe", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"avif", "image/avif"},
    {"bmp", "image/bmp"},
    {"ico", "image/x-icon"},
    {"cur", "image/x-icon"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
    {"eot", "application/vnd.ms-fontobject"},
    {"mp3", "audio/mpeg"},
    {"wav", "audio/wav"},
    {"ogg", "audio/ogg"},
    {"oga", "audio/ogg"},
    {"opus", "audio/ogg"},
    {"m4a", "audio/mp4"},
    {"aac", "audio/aac"},
    {"flac", "audio/flac"},
    {"weba", "audio/webm"},
    {"mid", "audio/midi"},
    {"midi", "audio/midi"},
    {"mp4", "video/mp4"},
    {"m4v", "video/mp4"},
    {"webm", "video/webm"},
    {"ogv", "video/ogg"},
    {"mov", "video/quicktime"},
    {"vtt", "text/vtt"},
    {"wasm", "application/wasm"},
    {"pdf", "application/pdf"},
};

// A page that starts like HTML, for names GLib cannot place.
bool LooksLikeHtml(std::string_view data) {
    std::size_t i = 0;
    if (data.substr(0, 3) == "\xEF\xBB\xBF") {
        i = 3;
    }
    while (i < data.size() &&
           (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n')) {
        ++i;
    }
    const std::string head = LowerAscii(data.substr(i, 512));
    for (const char* tag : {"<!doctype html", "<html", "<head", "<body", "<title", "<script",
                            "<meta", "<div", "<p>", "<!--", "<table", "<h1", "<br"}) {
        if (head.rfind(tag, 0) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string ContentTypeFor(std::string_view path, std::string_view data) {
    const std::size_t slash = path.find_last_of('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = last.find_last_of('.');
    if (dot != std::string_view::npos) {
        const std::string ext = LowerAscii(last.substr(dot + 1));
        for (const auto& e : Extensions) {
            if (ext == e.Ext) {
                return e.Type;
            }
        }
    }
    std::string result;
    const std::string name(last);
    gboolean uncertain = FALSE;
    const TGString guessed(g_content_type_guess(name.empty() ? nullptr : name.c_str(),
                                                reinterpret_cast<const guchar*>(data.data()),
                                                data.size(), &uncertain));
    if (guessed != nullptr) {
        if (const TGString mime{g_content_type_get_mime_type(guessed)})
            result = mime.Get();
    }
    if ((result.empty() || result == "application/octet-stream" || result == "text/plain") &&
        LooksLikeHtml(data)) {
        return "text/html";
    }
    // An empty body shows as nothing rather than being offered as a download.
    if (data.empty() && (result.empty() || result == "application/x-zerosize")) {
        return "text/plain";
    }
    if (result.empty()) {
        return "application/octet-stream";
    }
    return result;
}

void InstallUrlMon() {
    SetInternetSessionProvider([](IInternetSession** session) {
        *session = NewInternetSession();
        return S_OK;
    });
}

void InitializeContentProtocol() {
    InstallUrlMon();
    InstallGuiDispatcher();
}

IInternetSession* NewInternetSession() {
    auto* session = new TInternetSession;
    session->AddRef();
    return session;
}

void SetUrlMonWebContext(WebKitWebContext* context) {
    CurrentContext.Reset(context != nullptr ? WEBKIT_WEB_CONTEXT(g_object_ref(context)) : nullptr);
    if (context == nullptr) {
        return;
    }
    std::vector<std::string> schemes;
    {
        std::lock_guard guard(NameSpaceLock);
        schemes = KnownSchemes();
    }
    for (const auto& scheme : schemes) {
        RegisterWithContext(context, scheme);
    }
}

WebKitWebContext* UrlMonWebContext() {
    return CurrentContext != nullptr ? CurrentContext.Get() : webkit_web_context_get_default();
}

} // namespace Folivant::Platform
