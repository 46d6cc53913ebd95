#include "browsercontrol/WebBrowserControl.h"

#include "base/Text.h"
#include "browsercontrol/BridgeHost.h"
#include "platform/ui/Application.h"
#include "platform/gtk/FormsGtk.h"
#include "platform/gtk/GlibOwner.h"
#include "platform/gtk/MediaBridgeGtk.h"
#include "platform/gtk/MessageBoxGtk.h"
#include "platform/ui/SaveDialog.h"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>

namespace Folivant::BrowserControl {

using namespace Folivant::Shared;
using Platform::TGOwner;
using Platform::TGString;

namespace {

// Set while a control raises its new-window events: a control created then
// is related to the opener's view.
WebKitWebView* PendingOpener = nullptr;

const char* const TextSelectionCss =
    "*, *::before, *::after { -webkit-user-select: none !important;"
    " user-select: none !important; }"
    " input, textarea, [contenteditable], [contenteditable] * {"
    " -webkit-user-select: text !important; user-select: text !important; }";

String FromUtf8(const char* text) {
    return text == nullptr ? String() : Utf8ToString(text);
}

// Where a download goes is the reader's choice, in the save dialog; the
// dialog opens on the folder chosen last, at first on the downloads folder.
void ChooseDownloadDestination(WebKitDownload* download) {
    const bool chosen = Platform::GuardCallback(
        [&] {
            static Platform::TSaveDialog dialog;
            const std::string previous = StringToUtf8(dialog.FileName);
            std::string folder;
            if (!previous.empty()) {
                folder = TGString(g_path_get_dirname(previous.c_str())).Get();
            } else {
                const gchar* downloads = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
                folder = downloads != nullptr ? downloads : g_get_home_dir();
            }
            const char* name = static_cast<const char*>(
                g_object_get_data(G_OBJECT(download), "folivant-suggested"));
            std::string file =
                TGString(g_path_get_basename(name != nullptr && *name != '\0' ? name : "download"))
                    .Get();
            if (file == "/" || file == "." || file == "..")
                file = "download";
            dialog.FileName = Utf8ToString(
                TGString(g_build_filename(folder.c_str(), file.c_str(), nullptr)).Get());
            if (!dialog.Execute())
                return false;
            const TGString uri(
                g_filename_to_uri(StringToUtf8(dialog.FileName).c_str(), nullptr, nullptr));
            if (uri == nullptr)
                return false;
            webkit_download_set_allow_overwrite(download, TRUE);
            webkit_download_set_destination(download, uri);
            return true;
        },
        false);
    if (!chosen)
        webkit_download_cancel(download);
}

gboolean DecideDownloadDestination(WebKitDownload* download, gchar* suggested, gpointer) {
    // The download waits until a destination is set or it is cancelled; the
    // dialog runs once the engine's signal has returned.
    g_object_set_data_full(G_OBJECT(download), "folivant-suggested",
                           g_strdup(suggested != nullptr ? suggested : ""), g_free);
    auto held = std::make_shared<TGOwner<WebKitDownload>>(WEBKIT_DOWNLOAD(g_object_ref(download)));
    Platform::PostCall([held] { ChooseDownloadDestination(held->Get()); });
    return TRUE;
}

void DownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer) {
    g_signal_connect(download, "decide-destination", G_CALLBACK(DecideDownloadDestination),
                     nullptr);
}

// The web context of every browser control. The web processes run in their
// sandbox; it has to be switched on before the first one starts.
WebKitWebContext* EngineContext() {
    static WebKitWebContext* context = [] {
        WebKitWebContext* c = webkit_web_context_get_default();
        if (std::getenv("FOLIVANT_NO_SANDBOX") == nullptr)
            webkit_web_context_set_sandbox_enabled(c, TRUE);
        // What the engine cannot show is downloaded, never silently.
        g_signal_connect(c, "download-started", G_CALLBACK(DownloadStarted), nullptr);
        // window.external comes from the runtime's module in the engine's
        // processes, for the publication's own documents only.
        InstallBridge(c);
        return c;
    }();
    return context;
}

struct TFieldReader {
    const String& Text;
    std::size_t Pos;

    bool AtEnd() const { return Pos >= Text.size(); }
    // Reads one "<type><length>:<text>" field.
    bool Next(char16_t& type, String& body) {
        if (Pos >= Text.size())
            return false;
        type = Text[Pos++];
        std::size_t length = 0;
        bool digits = false;
        while (Pos < Text.size() && Text[Pos] >= u'0' && Text[Pos] <= u'9') {
            length = length * 10 + static_cast<std::size_t>(Text[Pos] - u'0');
            if (length > Text.size())
                return false;
            digits = true;
            ++Pos;
        }
        if (!digits || Pos >= Text.size() || Text[Pos] != u':')
            return false;
        ++Pos;
        if (Text.size() - Pos < length)
            return false;
        body = Text.substr(Pos, length);
        Pos += length;
        return true;
    }
};

String Field(char16_t type, const String& body) {
    std::string n = std::to_string(body.size());
    return String(1, type) + String(n.begin(), n.end()) + u":" + body;
}

bool ParseInt32(const String& text, std::int32_t& out) {
    std::string s = StringToUtf8(text);
    if (s.empty())
        return false;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (*end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

TVariant DecodeArgument(char16_t type, const String& body) {
    switch (type) {
    case u's':
        return TVariant::FromString(body);
    case u'i': {
        std::int32_t v = 0;
        if (ParseInt32(body, v))
            return TVariant::FromInt(v);
        return TVariant::FromString(body);
    }
    case u'd': {
        std::string s = StringToUtf8(body);
        char* end = nullptr;
        double d = std::strtod(s.c_str(), &end);
        if (end != nullptr && *end == '\0' && !s.empty())
            return TVariant::FromDouble(d);
        if (s == "Infinity")
            return TVariant::FromDouble(HUGE_VAL);
        if (s == "-Infinity")
            return TVariant::FromDouble(-HUGE_VAL);
        return TVariant::FromDouble(std::nan(""));
    }
    case u'b':
        return TVariant::FromBool(body == u"1");
    case u'n':
        return TVariant::Null();
    case u'o':
        return {.vt = VT_DISPATCH, .bstrVal = body};
    default:
        return TVariant::Empty();
    }
}

String EncodeResult(const TVariant& v) {
    switch (v.vt) {
    case VT_BSTR:
        return Field(u's', v.bstrVal);
    case VT_I2:
    case VT_I4: {
        std::string n = std::to_string(v.intVal);
        return Field(u'i', String(n.begin(), n.end()));
    }
    case VT_BOOL:
        return Field(u'b', v.intVal != 0 ? u"1" : u"0");
    case VT_R8:
        return Field(u'd', VariantToText(v));
    case VT_NULL:
        return Field(u'n', String());
    default:
        return Field(u'u', String());
    }
}

TShiftState ShiftOf(unsigned state) {
    return Platform::ShiftStateOf(state);
}

} // namespace

std::uint32_t HostFlagsOf(TUserInterfaceOptions options) {
    std::uint32_t flags = 0;
    for (unsigned k = 0; k <= ForceUserActivationOnActiveXJava; ++k)
        if (options & (1u << k))
            flags |= k <= 14 ? (1u << k) : (1u << (k + 1));
    return flags;
}

std::uint16_t VirtualKeyOf(unsigned keyval) {
    return Platform::VirtualKeyOfKeyval(keyval);
}

// The find dialog: the text to find, next and previous, match case. It is
// not modal, so the page that asked for it goes on at once.
struct TWebBrowserControl::TFindDialog {
    GtkWidget* Window = nullptr;
    GtkWidget* Entry = nullptr;
    GtkWidget* MatchCase = nullptr;
    GtkWidget* Status = nullptr;
    String LastText;
    bool LastMatchCase = false;
    bool LastBackwards = false;
    bool Searched = false;

    ~TFindDialog() {
        if (Window != nullptr)
            gtk_widget_destroy(Window);
    }
};

namespace {

// The script world of the navigation-key script: pages cannot see or
// replace what runs there.
const char* const NavigationKeyWorld = "folivant-navigation-keys";

// The private marker of the navigation-key script's reports.
const std::string& NavigationKeyMarker() {
    static const std::string marker = [] {
        std::random_device device;
        std::string m = "folivant-keys:";
        static const char hex[] = "0123456789abcdef";
        for (int i = 0; i < 32; ++i)
            m += hex[device() & 15];
        return m + ":";
    }();
    return marker;
}

// The engine takes Alt+Left and Alt+Right for itself (they never come back
// unconsumed), so whether the page kept them is seen from inside: once the
// key's dispatch is over, a key the page did not cancel is reported to the
// host, which goes back or forward.
std::string NavigationKeyScript() {
    return "(function(){var ask=window.prompt,later=window.setTimeout,m='" + NavigationKeyMarker() +
           "';window.addEventListener('keydown',function(e){"
           "if(!e.isTrusted||!e.altKey||e.ctrlKey||e.shiftKey||e.metaKey)return;"
           "var r=e.key==='ArrowLeft'?'L':e.key==='ArrowRight'?'R':'';if(!r)return;"
           "later.call(window,function(){if(!e.defaultPrevented)ask.call(window,m+r)},0)"
           "},false)})();";
}

// A new settings object with every writable setting of source.
WebKitSettings* CopySettings(WebKitSettings* source) {
    WebKitSettings* copy = webkit_settings_new();
    guint count = 0;
    g_autofree GParamSpec** specs =
        g_object_class_list_properties(G_OBJECT_GET_CLASS(source), &count);
    for (guint i = 0; i < count; ++i) {
        const GParamFlags flags = specs[i]->flags;
        if ((flags & G_PARAM_READWRITE) != G_PARAM_READWRITE ||
            (flags & (G_PARAM_CONSTRUCT_ONLY | G_PARAM_DEPRECATED)) != 0)
            continue;
        GValue value = G_VALUE_INIT;
        g_value_init(&value, specs[i]->value_type);
        g_object_get_property(G_OBJECT(source), specs[i]->name, &value);
        g_object_set_property(G_OBJECT(copy), specs[i]->name, &value);
        g_value_unset(&value);
    }
    return copy;
}

} // namespace

struct TWebBrowserControl::TSignals {
    static TWebBrowserControl* Self(gpointer data) {
        return static_cast<TWebBrowserControl*>(data);
    }

    static gboolean DecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data) {
        return Platform::GuardCallback(
            [&]() -> gboolean {
                if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
                    return DecideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision), Self(data));
                if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
                    return FALSE;
                TWebBrowserControl* self = Self(data);
                if (!self->OnBeforeNavigate2)
                    return FALSE;
                auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
                WebKitNavigationAction* action =
                    webkit_navigation_policy_decision_get_navigation_action(navigation);
                WebKitURIRequest* request = webkit_navigation_action_get_request(action);
                TVariant url = TVariant::FromString(FromUtf8(webkit_uri_request_get_uri(request)));
                TVariant flags = TVariant::FromInt(0);
                TVariant target = TVariant::FromString(String());
                TVariant postData;
                TVariant headers = TVariant::FromString(String());
                VARIANT_BOOL cancel = VARIANT_FALSE;
                auto alive = self->FAlive;
                // The handler may run a modal dialog; the decision stays
                // ours until it returns.
                const TGOwner<WebKitPolicyDecision> held(
                    WEBKIT_POLICY_DECISION(g_object_ref(decision)));
                // A handler's failure is reported like any other; the
                // navigation goes on as no handler had cancelled it.
                if (!Platform::GuardCallback(
                        [&] {
                            self->OnBeforeNavigate2(self, self, url, flags, target, postData,
                                                    headers, cancel);
                            return true;
                        },
                        false))
                    cancel = VARIANT_FALSE;
                if (*alive && cancel != VARIANT_FALSE) {
                    webkit_policy_decision_ignore(decision);
                    // The check turned the new window's first address into
                    // a save or a program start: the window never shows it.
                    self->CloseBlankNewWindow();
                } else {
                    webkit_policy_decision_use(decision);
                }
                return TRUE;
            },
            gboolean(FALSE));
    }

    static gboolean DecideResponse(WebKitResponsePolicyDecision* decision,
                                   TWebBrowserControl* self) {
        if (webkit_response_policy_decision_is_mime_type_supported(decision) ||
            !webkit_response_policy_decision_is_main_frame_main_resource(decision))
            return FALSE;
        WebKitURIResponse* response = webkit_response_policy_decision_get_response(decision);
        const char* uri = webkit_uri_response_get_uri(response);
        if (uri == nullptr)
            return FALSE;
        if (!HasFvpScheme(uri)) {
            // The engine would drop a document it cannot show; it is
            // downloaded instead, to where the reader chooses.
            webkit_policy_decision_download(WEBKIT_POLICY_DECISION(decision));
            return TRUE;
        }
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        if (!self->OnFileDownload)
            return TRUE;
        // The handler shows a modal dialog; it runs after the engine's event.
        // A new window opened for the document only is closed after it.
        Platform::PostCallWhileAlive(self->FAlive, [self, url = FromUtf8(uri)] {
            if (self->OnFileDownload)
                self->OnFileDownload(self, url);
            self->CloseBlankNewWindow();
        });
        return TRUE;
    }

    static GtkWidget* Create(WebKitWebView* view, WebKitNavigationAction* action, gpointer data) {
        return Platform::GuardCallback(
            [&]() -> GtkWidget* {
                TWebBrowserControl* self = Self(data);
                TWebBrowserControl* ppDisp = nullptr;
                VARIANT_BOOL cancel = VARIANT_FALSE;
                WebKitURIRequest* request = webkit_navigation_action_get_request(action);
                String url = FromUtf8(webkit_uri_request_get_uri(request));
                // A window on the publication opens only for the publication:
                // for a link or form, which the engine follows only from a
                // document that may show the publication's pages, or for the
                // window.open of one of its documents, which the runtime's
                // module announces. A page from elsewhere, also one framed by
                // the publication, gets no window, not even an empty one.
                if (HasFvpScheme(webkit_uri_request_get_uri(request))) {
                    const bool announced = std::exchange(self->FOpenAnnounced, false);
                    const WebKitNavigationType type =
                        webkit_navigation_action_get_navigation_type(action);
                    const bool followed = type == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED ||
                                          type == WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED ||
                                          type == WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED;
                    if (!HasFvpScheme(webkit_web_view_get_uri(view)) || (!followed && !announced))
                        return nullptr;
                }
                {
                    // Controls created by the handlers are related to this view.
                    struct TOpener {
                        WebKitWebView* Previous;
                        explicit TOpener(WebKitWebView* opener)
                            : Previous(std::exchange(PendingOpener, opener)) {}
                        ~TOpener() { PendingOpener = Previous; }
                    } opener(view);
                    if (self->OnNewWindow3)
                        self->OnNewWindow3(self, ppDisp, cancel, 0, self->LocationURL(), url);
                    if (ppDisp == nullptr && cancel == VARIANT_FALSE && self->OnNewWindow2)
                        self->OnNewWindow2(self, ppDisp, cancel);
                }
                if (cancel != VARIANT_FALSE || ppDisp == nullptr)
                    return nullptr;
                ppDisp->FBlankNewWindow = true;
                return GTK_WIDGET(ppDisp->FWebView);
            },
            static_cast<GtkWidget*>(nullptr));
    }

    static void Close(WebKitWebView*, gpointer data) {
        Platform::GuardCallback([&] { Self(data)->HandleHostCall(u"C"); });
    }

    static gboolean ScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
        return Platform::GuardCallback(
            [&]() -> gboolean {
                if (Self(data)->FUnloaded) {
                    // A closed window shows nothing; its page may go.
                    if (webkit_script_dialog_get_dialog_type(dialog) ==
                        WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
                        webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
                    return TRUE;
                }
                if (NavigationKeyReport(dialog, Self(data)))
                    return TRUE;
                return FALSE;
            },
            gboolean(FALSE));
    }

    static gboolean KeyPress(GtkWidget*, GdkEventKey* event, gpointer data) {
        return Platform::GuardCallback(
            [&]() -> gboolean {
                TWebBrowserControl* self = Self(data);
                if (self->FHaveLastKey && self->FLastKeyTime == event->time &&
                    self->FLastKeyval == event->keyval &&
                    self->FLastKeycode == event->hardware_keycode) {
                    // The page did not consume the key: it goes to the
                    // engine's own accelerators. The view itself must still
                    // see this second arrival (it then hands the next key to
                    // the page again), so it is never taken here.
                    self->PostEngineCommand(Platform::CommandOfReturnedKey(
                        VirtualKeyOf(event->keyval), ShiftOf(event->state)));
                    return FALSE;
                }
                self->FHaveLastKey = true;
                self->FLastKeyTime = event->time;
                self->FLastKeyval = event->keyval;
                self->FLastKeycode = event->hardware_keycode;
                return self->KeyDown(event->keyval, event->hardware_keycode, event->state) ? TRUE
                                                                                           : FALSE;
            },
            gboolean(FALSE));
    }

    // A key the engine keeps for itself (Alt+Left, Alt+Right) reported by
    // the navigation-key script once the page has let it pass.
    static bool NavigationKeyReport(WebKitScriptDialog* dialog, TWebBrowserControl* self) {
        if (webkit_script_dialog_get_dialog_type(dialog) != WEBKIT_SCRIPT_DIALOG_PROMPT)
            return false;
        const char* message = webkit_script_dialog_get_message(dialog);
        const std::string& marker = NavigationKeyMarker();
        if (message == nullptr || std::strncmp(message, marker.c_str(), marker.size()) != 0)
            return false;
        const std::string report = message + marker.size();
        webkit_script_dialog_prompt_set_text(dialog, "");
        if (report == "L" || report == "R")
            self->PostEngineCommand(Platform::EngineCommandOf(
                report == "L" ? Platform::VirtualKey::Left : Platform::VirtualKey::Right, ssAlt));
        return true;
    }

    static gboolean ButtonPress(GtkWidget*, GdkEventButton* event, gpointer data) {
        return Platform::GuardCallback(
            [&]() -> gboolean {
                // The mouse's back and forward buttons.
                if (event->type != GDK_BUTTON_PRESS || (event->button != 8 && event->button != 9))
                    return FALSE;
                Self(data)->PostEngineCommand(event->button == 8 ? ecGoBack : ecGoForward);
                return TRUE;
            },
            gboolean(FALSE));
    }

    static gboolean ContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*,
                                WebKitHitTestResult* hit, gpointer data) {
        return Platform::GuardCallback(
            [&]() -> gboolean {
                TWebBrowserControl* self = Self(data);
                TIEPopupMenus disabled = self->DisabledPopupMenus;
                if (disabled & PopupMenuBit(rcmAll))
                    return TRUE;
                TIEPopupMenu context = rcmDefault;
                if (webkit_hit_test_result_context_is_link(hit))
                    context = rcmAnchor;
                else if (webkit_hit_test_result_context_is_image(hit))
                    context = rcmImage;
                else if (webkit_hit_test_result_context_is_editable(hit))
                    context = rcmControl;
                else if (webkit_hit_test_result_context_is_selection(hit))
                    context = rcmSelText;
                return (disabled & PopupMenuBit(context)) ? TRUE : FALSE;
            },
            gboolean(TRUE));
    }

    static void LoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
        Platform::GuardCallback([&] {
            TWebBrowserControl* self = Self(data);
            if (event == WEBKIT_LOAD_STARTED && self->FScriptsStopped) {
                // Scripts stopped after an error stay stopped only for the
                // page on which the user chose so; they run again before
                // the next page's first script.
                self->FScriptsStopped = false;
                WebKitSettings* settings = webkit_web_view_get_settings(view);
                webkit_settings_set_enable_javascript(settings, TRUE);
            }
            if (event == WEBKIT_LOAD_COMMITTED)
                self->FBlankNewWindow = false;
            if (event == WEBKIT_LOAD_FINISHED && self->OnDocumentComplete)
                self->OnDocumentComplete(self);
        });
    }

    static void FindNext(TWebBrowserControl* self, bool backwards) {
        TFindDialog& d = *self->FFindDialog;
        WebKitFindController* finder = webkit_web_view_get_find_controller(self->FWebView);
        String text = FromUtf8(gtk_entry_get_text(GTK_ENTRY(d.Entry)));
        bool matchCase = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(d.MatchCase));
        gtk_label_set_text(GTK_LABEL(d.Status), "");
        if (text.empty()) {
            webkit_find_controller_search_finish(finder);
            d.Searched = false;
            return;
        }
        if (d.Searched && text == d.LastText && matchCase == d.LastMatchCase &&
            backwards == d.LastBackwards) {
            if (backwards)
                webkit_find_controller_search_previous(finder);
            else
                webkit_find_controller_search_next(finder);
            return;
        }
        guint32 options = WEBKIT_FIND_OPTIONS_WRAP_AROUND;
        if (!matchCase)
            options |= WEBKIT_FIND_OPTIONS_CASE_INSENSITIVE;
        if (backwards)
            options |= WEBKIT_FIND_OPTIONS_BACKWARDS;
        webkit_find_controller_search(finder, StringToUtf8(text).c_str(), options, G_MAXUINT);
        d.LastText = text;
        d.LastMatchCase = matchCase;
        d.LastBackwards = backwards;
        d.Searched = true;
    }

    static void FindNextClicked(GtkButton*, gpointer data) {
        Platform::GuardCallback([&] { FindNext(Self(data), false); });
    }
    static void FindPreviousClicked(GtkButton*, gpointer data) {
        Platform::GuardCallback([&] { FindNext(Self(data), true); });
    }
    static void FindCloseClicked(GtkButton*, gpointer data) {
        Platform::GuardCallback([&] {
            TWebBrowserControl* self = Self(data);
            webkit_find_controller_search_finish(
                webkit_web_view_get_find_controller(self->FWebView));
            self->FFindDialog->Searched = false;
            gtk_widget_hide(self->FFindDialog->Window);
        });
    }
    static gboolean FindDelete(GtkWidget* widget, GdkEvent*, gpointer data) {
        FindCloseClicked(nullptr, data);
        return TRUE;
    }
    static void FindFailed(WebKitFindController*, gpointer data) {
        Platform::GuardCallback([&] {
            TWebBrowserControl* self = Self(data);
            if (self->FFindDialog)
                gtk_label_set_text(GTK_LABEL(self->FFindDialog->Status), "Not found");
        });
    }
    static void FindFound(WebKitFindController*, guint, gpointer data) {
        Platform::GuardCallback([&] {
            TWebBrowserControl* self = Self(data);
            if (self->FFindDialog)
                gtk_label_set_text(GTK_LABEL(self->FFindDialog->Status), "");
        });
    }
};

TWebBrowserControl::TWebBrowserControl() : FAlive(std::make_shared<bool>(true)) {
    EngineContext();
    FHostFlags = HostFlagsOf(FUserInterfaceOptions);
    if (PendingOpener != nullptr) {
        // Related views share the opener's process, policies and injected
        // scripts. Each gets a copy of the opener's settings, so that
        // scripts stopped after an error on one page stay running in the
        // other windows.
        FWebView = WEBKIT_WEB_VIEW(webkit_web_view_new_with_related_view(PendingOpener));
        const TGOwner<WebKitSettings> settings(
            CopySettings(webkit_web_view_get_settings(PendingOpener)));
        webkit_web_view_set_settings(FWebView, settings);
    } else {
        const TGOwner<WebKitUserContentManager> content(webkit_user_content_manager_new());
        const std::string keys = NavigationKeyScript();
        g_autoptr(WebKitUserScript) script = webkit_user_script_new_for_world(
            keys.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
            WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, NavigationKeyWorld, nullptr, nullptr);
        webkit_user_content_manager_add_script(content, script);
        Platform::TMediaBridge::InstallInto(content);
        const TGOwner<WebKitSettings> settings(webkit_settings_new());
        webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
        // A page the window leaves is unloaded, so that its unload handlers
        // run (a page kept for going back would only be hidden).
        webkit_settings_set_enable_page_cache(settings, FALSE);
        // Pages may start sound without a user gesture, as they always
        // could in the publication's engine. Related views take these
        // policies from their opener.
        const TGOwner<WebKitWebsitePolicies> policies(
            webkit_website_policies_new_with_policies("autoplay", WEBKIT_AUTOPLAY_ALLOW, nullptr));
        FWebView = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context",
                                                EngineContext(), "user-content-manager",
                                                content.Get(), "settings", settings.Get(),
                                                "website-policies", policies.Get(), nullptr));
    }
    FViewOwner.reset(WEBKIT_WEB_VIEW(g_object_ref_sink(FWebView)));
    ConnectSignals();
    AttachBridge(this);
}

void TWebBrowserControl::TViewRelease::operator()(WebKitWebView* view) const {
    TGOwner<WebKitWebView> released(view);
}

TWebBrowserControl::~TWebBrowserControl() {
    *FAlive = false;
    DetachBridge(this);
    FFindDialog.reset();
    g_signal_handlers_disconnect_by_data(FWebView, this);
    g_signal_handlers_disconnect_by_data(webkit_web_view_get_find_controller(FWebView), this);
    gtk_widget_destroy(GTK_WIDGET(FWebView));
}

void TWebBrowserControl::ConnectSignals() {
    g_signal_connect(FWebView, "decide-policy", G_CALLBACK(TSignals::DecidePolicy), this);
    g_signal_connect(FWebView, "create", G_CALLBACK(TSignals::Create), this);
    g_signal_connect(FWebView, "close", G_CALLBACK(TSignals::Close), this);
    g_signal_connect(FWebView, "script-dialog", G_CALLBACK(TSignals::ScriptDialog), this);
    g_signal_connect(FWebView, "key-press-event", G_CALLBACK(TSignals::KeyPress), this);
    g_signal_connect(FWebView, "button-press-event", G_CALLBACK(TSignals::ButtonPress), this);
    g_signal_connect(FWebView, "context-menu", G_CALLBACK(TSignals::ContextMenu), this);
    g_signal_connect(FWebView, "load-changed", G_CALLBACK(TSignals::LoadChanged), this);
    WebKitFindController* finder = webkit_web_view_get_find_controller(FWebView);
    g_signal_connect(finder, "failed-to-find-text", G_CALLBACK(TSignals::FindFailed), this);
    g_signal_connect(finder, "found-text", G_CALLBACK(TSignals::FindFound), this);
}

GtkWidget* TWebBrowserControl::Widget() const {
    return GTK_WIDGET(FWebView);
}

void TWebBrowserControl::PlaceInto(Platform::TForm& form) {
    Platform::HostControl(form, Widget());
}

void TWebBrowserControl::Show() {
    gtk_widget_show(Widget());
}

bool TWebBrowserControl::Visible() const {
    return gtk_widget_get_visible(Widget());
}

void TWebBrowserControl::SetFocus() {
    gtk_widget_grab_focus(Widget());
}

void TWebBrowserControl::SaveSnapshot(const std::string& path,
                                      std::function<void(bool written)> done) {
    struct TRequest {
        std::string Path;
        std::function<void(bool)> Done;
    };
    webkit_web_view_get_snapshot(
        FWebView, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<TRequest> request(static_cast<TRequest*>(data));
            Platform::TGError error;
            cairo_surface_t* surface =
                webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, error.Out());
            bool written = false;
            if (surface != nullptr) {
                written = cairo_surface_write_to_png(surface, request->Path.c_str()) ==
                          CAIRO_STATUS_SUCCESS;
                cairo_surface_destroy(surface);
            }
            Platform::GuardCallback([&] {
                if (request->Done)
                    request->Done(written);
            });
        },
        new TRequest{path, std::move(done)});
}

void TWebBrowserControl::SetRegisterAsDropTarget(bool value) {
    FRegisterAsDropTarget = value;
    if (value && FDropHandlingType != ddtNo) {
        // WebKit's own drop handling is what the view had from the start.
        return;
    }
    if (!value)
        gtk_drag_dest_unset(GTK_WIDGET(FWebView));
}

void TWebBrowserControl::SetDropHandlingType(TDragDropHandlingType value) {
    FDropHandlingType = value;
    if (value == ddtNo) {
        // Without a drop destination a dropped file or link neither
        // navigates nor reaches the page.
        gtk_drag_dest_unset(GTK_WIDGET(FWebView));
        FRegisterAsDropTarget = false;
    }
}

void TWebBrowserControl::SetUserInterfaceOptions(TUserInterfaceOptions value) {
    FUserInterfaceOptions = value;
    FHostFlags = HostFlagsOf(value);
    ApplyTextSelectionStyle();
}

void TWebBrowserControl::ApplyTextSelectionStyle() {
    // A dialog-style document has no text selection. The style sheet lives
    // in the content manager that related views share, so it is added once.
    WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(FWebView);
    auto* sheet = static_cast<WebKitUserStyleSheet*>(
        g_object_get_data(G_OBJECT(content), "folivant-no-select"));
    bool want = (FHostFlags & 0x1) != 0;
    if (want && sheet == nullptr) {
        sheet = webkit_user_style_sheet_new(TextSelectionCss, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                            WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr);
        webkit_user_content_manager_add_style_sheet(content, sheet);
        g_object_set_data_full(G_OBJECT(content), "folivant-no-select", sheet,
                               reinterpret_cast<GDestroyNotify>(webkit_user_style_sheet_unref));
    } else if (!want && sheet != nullptr) {
        webkit_user_content_manager_remove_all_style_sheets(content);
        g_object_set_data(G_OBJECT(content), "folivant-no-select", nullptr);
    }
}

void TWebBrowserControl::Navigate(const String& url) {
    webkit_web_view_load_uri(FWebView, StringToUtf8(url).c_str());
}

void TWebBrowserControl::CloseBlankNewWindow() {
    if (!std::exchange(FBlankNewWindow, false))
        return;
    // Closed as a script of the window would close it, once the engine's
    // event is over.
    Platform::PostCallWhileAlive(FAlive, [this] { HandleHostCall(u"C"); });
}

void TWebBrowserControl::Unload() {
    if (FUnloaded)
        return;
    FUnloaded = true;
    // Nothing the page does reaches the window any more: no navigation
    // check, no new window (the engine gets none to open into), no download.
    OnBeforeNavigate2 = nullptr;
    OnNewWindow2 = nullptr;
    OnNewWindow3 = nullptr;
    OnFileDownload = nullptr;
    // Silent at once; scripts off, so that no timer or unload handler of the
    // page runs; then the page itself is replaced by an empty one, which
    // ends its media and its timers for good.
    webkit_web_view_set_is_muted(FWebView, TRUE);
    FScriptsStopped = false;
    webkit_settings_set_enable_javascript(webkit_web_view_get_settings(FWebView), FALSE);
    webkit_web_view_stop_loading(FWebView);
    webkit_web_view_load_uri(FWebView, "about:blank");
}

String TWebBrowserControl::LocationURL() const {
    return FromUtf8(webkit_web_view_get_uri(FWebView));
}

bool TWebBrowserControl::HasHtmlDocument() const {
    WebKitWebResource* resource = webkit_web_view_get_main_resource(FWebView);
    if (resource == nullptr)
        return false;
    WebKitURIResponse* response = webkit_web_resource_get_response(resource);
    if (response == nullptr)
        return false;
    const char* mime = webkit_uri_response_get_mime_type(response);
    if (mime == nullptr)
        return false;
    std::string m(mime);
    return m == "text/html" || m == "application/xhtml+xml";
}

void TWebBrowserControl::ShowFindDialog() {
    if (!HasHtmlDocument())
        return;
    if (!FFindDialog) {
        FFindDialog = std::make_unique<TFindDialog>();
        TFindDialog& d = *FFindDialog;
        d.Window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(d.Window), "Find");
        gtk_window_set_type_hint(GTK_WINDOW(d.Window), GDK_WINDOW_TYPE_HINT_DIALOG);
        gtk_window_set_resizable(GTK_WINDOW(d.Window), FALSE);
        gtk_window_set_destroy_with_parent(GTK_WINDOW(d.Window), TRUE);
        GtkWidget* grid = gtk_grid_new();
        gtk_container_set_border_width(GTK_CONTAINER(grid), 8);
        gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
        gtk_grid_set_column_spacing(GTK_GRID(grid), 6);
        gtk_grid_attach(GTK_GRID(grid), gtk_label_new_with_mnemonic("Fi_nd what:"), 0, 0, 1, 1);
        d.Entry = gtk_entry_new();
        gtk_entry_set_activates_default(GTK_ENTRY(d.Entry), TRUE);
        gtk_widget_set_hexpand(d.Entry, TRUE);
        gtk_grid_attach(GTK_GRID(grid), d.Entry, 1, 0, 2, 1);
        d.MatchCase = gtk_check_button_new_with_mnemonic("Match _case");
        gtk_grid_attach(GTK_GRID(grid), d.MatchCase, 0, 1, 2, 1);
        d.Status = gtk_label_new("");
        gtk_grid_attach(GTK_GRID(grid), d.Status, 2, 1, 1, 1);
        GtkWidget* previous = gtk_button_new_with_mnemonic("_Previous");
        GtkWidget* next = gtk_button_new_with_mnemonic("Find _Next");
        GtkWidget* close = gtk_button_new_with_mnemonic("_Close");
        gtk_widget_set_can_default(next, TRUE);
        gtk_grid_attach(GTK_GRID(grid), previous, 0, 2, 1, 1);
        gtk_grid_attach(GTK_GRID(grid), next, 1, 2, 1, 1);
        gtk_grid_attach(GTK_GRID(grid), close, 2, 2, 1, 1);
        gtk_container_add(GTK_CONTAINER(d.Window), grid);
        gtk_window_set_default(GTK_WINDOW(d.Window), next);
        g_signal_connect(next, "clicked", G_CALLBACK(TSignals::FindNextClicked), this);
        g_signal_connect(previous, "clicked", G_CALLBACK(TSignals::FindPreviousClicked), this);
        g_signal_connect(close, "clicked", G_CALLBACK(TSignals::FindCloseClicked), this);
        g_signal_connect(d.Window, "delete-event", G_CALLBACK(TSignals::FindDelete), this);
    }
    GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(FWebView));
    if (GTK_IS_WINDOW(top))
        gtk_window_set_transient_for(GTK_WINDOW(FFindDialog->Window), GTK_WINDOW(top));
    gtk_widget_show_all(FFindDialog->Window);
    gtk_window_present(GTK_WINDOW(FFindDialog->Window));
    gtk_widget_grab_focus(FFindDialog->Entry);
}

void TWebBrowserControl::PrintPreview() {
    if (!HasHtmlDocument())
        return;
    // The page that asked waits for its answer while this runs, and the
    // preview needs the page's process to draw: the dialog opens right after
    // the call has returned.
    Platform::PostCallWhileAlive(FAlive, [view = FWebView] {
        if (Platform::ShutDownRequested())
            return;
        const TGOwner<WebKitPrintOperation> operation(webkit_print_operation_new(view));
        GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(view));
        webkit_print_operation_run_dialog(operation,
                                          GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr);
    });
}

HRESULT TWebBrowserControl::GetIDsOfNames(const std::vector<String>& names,
                                          std::vector<DISPID>& dispIDs) {
    HRESULT rezult = E_NOTIMPL;
    if (dispIDs.size() < names.size())
        dispIDs.resize(names.size(), DISPID_UNKNOWN);
    if (OnGetIDsOfNames)
        OnGetIDsOfNames(this, names, dispIDs, rezult);
    return rezult;
}

HRESULT TWebBrowserControl::Invoke(DISPID dispID, std::uint16_t flags, TDispParams& params,
                                   TVariant* varResult, TExcepInfo* excepInfo) {
    try {
        HRESULT rezult = DISP_E_MEMBERNOTFOUND;
        if ((flags & DISPATCH_PROPERTYGET) && varResult != nullptr) {
            // The ambient properties the engine asks its host for.
            if (dispID == -5512) {
                *varResult = TVariant::FromInt(0x70);
                return S_OK;
            }
            if (dispID == -709) {
                *varResult = TVariant::FromBool(true);
                return S_OK;
            }
        }
        if (OnInvoke)
            OnInvoke(this, dispID, flags, params, varResult, rezult);
        return rezult;
    } catch (const Folivant::Exception& e) {
        if (excepInfo != nullptr) {
            excepInfo->wCode = 9999;
            excepInfo->bstrSource = u"Exception";
            excepInfo->bstrDescription = e.Message();
        }
        return DISP_E_EXCEPTION;
    } catch (const std::exception& e) {
        if (excepInfo != nullptr) {
            excepInfo->wCode = 9999;
            excepInfo->bstrSource = u"Exception";
            excepInfo->bstrDescription = Utf8ToString(e.what());
        }
        return DISP_E_EXCEPTION;
    }
}

bool TWebBrowserControl::KeyDown(unsigned keyval, unsigned hardwareKeycode,
                                 unsigned modifierState) {
    const std::uint16_t original = VirtualKeyOf(keyval);
    const TShiftState shift = ShiftOf(modifierState);
    std::uint16_t key = original;
    if (OnKeyDown && key != 0) {
        auto alive = FAlive;
        OnKeyDown(this, key, static_cast<std::uint16_t>((hardwareKeycode - 8) & 0xFF), shift);
        if (!*alive)
            return false;
    }
    return Platform::ControlKeepsKey(original, shift, key == 0, DisableCtrlShortcuts);
}

bool TWebBrowserControl::PostEngineCommand(TEngineCommand command) {
    if ((command == ecGoBack && !webkit_web_view_can_go_back(FWebView)) ||
        (command == ecGoForward && !webkit_web_view_can_go_forward(FWebView)) || command == ecNone)
        return false;
    // The engine is still handling the key or the page's script is waiting
    // for its answer; it navigates once that is over.
    Platform::PostCallWhileAlive(FAlive, [view = FWebView, command] {
        switch (command) {
        case ecGoBack:
            webkit_web_view_go_back(view);
            break;
        case ecGoForward:
            webkit_web_view_go_forward(view);
            break;
        case ecRefresh:
            webkit_web_view_reload(view);
            break;
        case ecNone:
            break;
        }
    });
    return true;
}

void TWebBrowserControl::ShowScriptError(const String& message, const String& source, int line) {
    switch (ScriptErrorAction) {
    case eaContinue:
        return;
    case eaCancel:
        break;
    case eaAskUser: {
        std::string text =
            "An error has occurred in the script on this page.\n\nLine: " + std::to_string(line) +
            "\nError: " + StringToUtf8(message) + "\nURL: " + StringToUtf8(source) +
            "\n\nDo you want to continue running scripts on this page?";
        GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(FWebView));
        GtkWidget* dialog =
            gtk_message_dialog_new(GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr, GTK_DIALOG_MODAL,
                                   GTK_MESSAGE_WARNING, GTK_BUTTONS_YES_NO, "%s", text.c_str());
        std::string caption = StringToUtf8(DialogBoxes.NewCaption);
        gtk_window_set_title(GTK_WINDOW(dialog),
                             caption.empty() ? "Script error" : caption.c_str());
        auto alive = FAlive;
        int response = Platform::RunModalDialog(GTK_DIALOG(dialog));
        gtk_widget_destroy(dialog);
        if (!*alive || response == GTK_RESPONSE_YES)
            return;
        break;
    }
    }
    // Stop running scripts on this page; the next page runs them again.
    FScriptsStopped = true;
    webkit_settings_set_enable_javascript(webkit_web_view_get_settings(FWebView), FALSE);
}

String TWebBrowserControl::HandleHostCall(const String& request) {
    try {
        if (request.empty())
            return u"XBad host call";
        TFieldReader reader{request, 1};
        switch (request[0]) {
        case u'N': {
            char16_t type = 0;
            String name;
            if (!reader.Next(type, name) || type != u's')
                return u"XBad host call";
            TWebBrowserControl* external = nullptr;
            if (OnGetExternal)
                OnGetExternal(this, external);
            std::vector<DISPID> ids(1, DISPID_UNKNOWN);
            HRESULT hr = external != nullptr ? external->GetIDsOfNames({name}, ids) : E_NOTIMPL;
            if (hr != S_OK)
                return u"TObject doesn't support property or method '" + name + u"'";
            std::string n = std::to_string(ids[0]);
            return u"R" + Field(u'i', String(n.begin(), n.end()));
        }
        case u'I': {
            char16_t type = 0;
            String body;
            std::int32_t id = 0;
            if (!reader.Next(type, body) || type != u'i' || !ParseInt32(body, id))
                return u"XBad host call";
            TDispParams params;
            while (!reader.AtEnd()) {
                if (!reader.Next(type, body))
                    return u"XBad host call";
                params.rgvarg.push_back(DecodeArgument(type, body));
            }
            // The engine hands arguments over last first.
            std::reverse(params.rgvarg.begin(), params.rgvarg.end());
            TWebBrowserControl* external = nullptr;
            if (OnGetExternal)
                OnGetExternal(this, external);
            if (external == nullptr)
                return u"XThe host function is not available here";
            TVariant result;
            TExcepInfo excep;
            HRESULT hr = external->Invoke(id, DISPATCH_METHOD | DISPATCH_PROPERTYGET, params,
                                          &result, &excep);
            if (hr == DISP_E_EXCEPTION)
                return u"X" + excep.bstrDescription;
            if (Failed(hr)) {
                char code[16];
                std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(hr));
                return u"XThe host call failed with error 0x" + Utf8ToString(code);
            }
            return u"R" + EncodeResult(result);
        }
        case u'C': {
            VARIANT_BOOL cancel = VARIANT_FALSE;
            auto alive = FAlive;
            if (OnWindowClosing)
                OnWindowClosing(this, VARIANT_FALSE, cancel);
            if (*alive && cancel == VARIANT_FALSE) {
                GtkWidget* top = gtk_widget_get_toplevel(GTK_WIDGET(FWebView));
                if (GTK_IS_WINDOW(top))
                    gtk_window_close(GTK_WINDOW(top));
            }
            return u"R" + Field(u'u', String());
        }
        case u'O': {
            // The page's window.open begins (1) or has returned (0).
            char16_t type = 0;
            String begins;
            if (!reader.Next(type, begins) || type != u'b')
                return u"XBad host call";
            FOpenAnnounced = begins == u"1";
            return u"R" + Field(u'u', String());
        }
        case u'E': {
            char16_t type = 0;
            String message, source, lineText;
            reader.Next(type, message);
            reader.Next(type, source);
            reader.Next(type, lineText);
            std::int32_t line = 0;
            ParseInt32(lineText, line);
            ShowScriptError(message, source, line);
            return u"R" + Field(u'u', String());
        }
        default:
            return u"XBad host call";
        }
    } catch (const Folivant::Exception& e) {
        return u"X" + e.Message();
    } catch (const std::exception& e) {
        return u"X" + Utf8ToString(e.what());
    } catch (...) {
        return u"XThe host call failed";
    }
}

} // namespace Folivant::BrowserControl
