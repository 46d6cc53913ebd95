#include "browsercontrol/windows/WebBrowserHost.h"

#include "browsercontrol/windows/ExternalDispatch.h"

#include <docobj.h>
#include <exdispid.h>
#include <mshtmhst.h>
#include <mshtml.h>
#include <ocidl.h>
#include <olectl.h>

#include <commctrl.h>

#include <utility>

namespace Folivant::BrowserControl {

namespace {

const wchar_t HostWindowClass[] = L"FolivantWebBrowserHost";

// The command group of the document host's own commands (script errors).
const GUID CGID_DocHostCommands = {
    0xf38bc242, 0xb950, 0x11d1, {0x89, 0x18, 0x00, 0xc0, 0x4f, 0xc2, 0xc8, 0x36}};
// The browser's command group; command 1 is the find dialog.
const GUID CGID_WebBrowserCommands = {
    0xed016940, 0xbd5b, 0x11cf, {0xba, 0x4e, 0x00, 0xc0, 0x4f, 0xd7, 0x08, 0x16}};
const DWORD FindCommand = 1;
// The engine's notice, in this command group, that its document window
// exists.
const GUID CGID_ExplorerCommands = {
    0x000214d0, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const DWORD DocumentWindowCommand = 39;
const UINT_PTR FocusWatchId = 1;

const DISPID DispidAmbientDlControl = -5512;
const DISPID DispidAmbientUserMode = -709;

void Check(HRESULT hr, const char16_t* what) {
    if (FAILED(hr))
        throw EWebBrowserError(String(what) + u" failed.");
}

// The VARIANT an event argument stands for, through one reference.
const VARIANT* Deref(const VARIANT& arg) {
    if (arg.vt == (VT_BYREF | VT_VARIANT))
        return arg.pvarVal;
    return &arg;
}

String TextOf(const VARIANT& arg) {
    const VARIANT* value = Deref(arg);
    if (value == nullptr)
        return String();
    if (value->vt == VT_BSTR)
        return WideToString(value->bstrVal);
    if (value->vt == (VT_BYREF | VT_BSTR) && value->pbstrVal != nullptr)
        return WideToString(*value->pbstrVal);
    return String();
}

// The object an event's pDisp argument names, or null.
IDispatch* DispatchOf(const VARIANT& arg) {
    const VARIANT* value = Deref(arg);
    if (value != nullptr && value->vt == VT_DISPATCH)
        return value->pdispVal;
    if (value != nullptr && value->vt == (VT_BYREF | VT_DISPATCH) && value->ppdispVal != nullptr)
        return *value->ppdispVal;
    return nullptr;
}

// Whether two interface pointers belong to one COM object (their IUnknown
// is the same).
bool SameObject(IUnknown* a, IUnknown* b) {
    if (a == nullptr || b == nullptr)
        return false;
    TComPtr<IUnknown> ua, ub;
    if (FAILED(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ua.Put()))) ||
        FAILED(b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ub.Put()))))
        return false;
    return ua.Get() == ub.Get();
}

std::int32_t IntOf(const VARIANT& arg) {
    const VARIANT* value = Deref(arg);
    if (value == nullptr)
        return 0;
    switch (value->vt) {
    case VT_I4:
    case VT_INT:
        return value->lVal;
    case VT_BYREF | VT_I4:
        return value->plVal != nullptr ? *value->plVal : 0;
    default:
        return 0;
    }
}

bool BoolOf(const VARIANT& arg) {
    const VARIANT* value = Deref(arg);
    if (value == nullptr)
        return false;
    if (value->vt == VT_BOOL)
        return value->boolVal != VARIANT_FALSE;
    if (value->vt == (VT_BYREF | VT_BOOL) && value->pboolVal != nullptr)
        return *value->pboolVal != VARIANT_FALSE;
    return false;
}

// A by-reference VARIANT_BOOL out argument (Cancel), or null.
VARIANT_BOOL* BoolSlot(VARIANT& arg) {
    return arg.vt == (VT_BYREF | VT_BOOL) ? arg.pboolVal : nullptr;
}

// The address a browser shows, empty when none.
String LocationOf(IWebBrowser2* browser) {
    BSTR url = nullptr;
    if (browser == nullptr || FAILED(browser->get_LocationURL(&url)) || url == nullptr)
        return String();
    String text(reinterpret_cast<const char16_t*>(url), SysStringLen(url));
    SysFreeString(url);
    return text;
}

// The first window of class className below root, at any depth.
HWND FindDescendant(HWND root, const wchar_t* className) {
    for (HWND child = GetWindow(root, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[64] = {};
        GetClassNameW(child, name, 64);
        if (lstrcmpW(name, className) == 0)
            return child;
        if (HWND found = FindDescendant(child, className))
            return found;
    }
    return nullptr;
}

// The shift state as the key notifications report it.
bool OnlyCtrlDown() {
    return (GetKeyState(VK_CONTROL) & 0x8000) != 0 && (GetKeyState(VK_SHIFT) & 0x8000) == 0;
}

} // namespace

// The site object: every host interface the engine asks the client site
// for, answered from the host's options and events.
class TBrowserSite final
    : public TComObject<IOleClientSite, IOleInPlaceSite, IOleInPlaceFrame, IOleControlSite,
                        IDocHostUIHandler2, IDocHostShowUI, IOleCommandTarget, IServiceProvider,
                        IDispatch, IProtectFocus> {
public:
    explicit TBrowserSite(TWebBrowserHost& host) : FHost(&host) {}
    // The host is going away: every later callback takes the defaults.
    void Detach() { FHost = nullptr; }

    // IOleClientSite
    HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override {
        if (moniker != nullptr)
            *moniker = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** container) override {
        if (container != nullptr)
            *container = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnShowWindow(WINBOOL show) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow (under both IOleInPlaceSite and IOleInPlaceFrame)
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override {
        if (window == nullptr)
            return E_POINTER;
        *window = FHost != nullptr ? FHost->FWindow : nullptr;
        return *window != nullptr ? S_OK : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(WINBOOL enter) override { return E_NOTIMPL; }

    // IOleInPlaceSite
    HRESULT STDMETHODCALLTYPE CanInPlaceActivate() override {
        return FHost != nullptr ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE OnInPlaceActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnUIActivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc,
                                               LPRECT position, LPRECT clip,
                                               LPOLEINPLACEFRAMEINFO frameInfo) override {
        if (frame == nullptr || doc == nullptr || position == nullptr || clip == nullptr)
            return E_POINTER;
        *frame = static_cast<IOleInPlaceFrame*>(this);
        AddRef();
        *doc = nullptr;
        RECT client{};
        if (FHost != nullptr)
            GetClientRect(FHost->FWindow, &client);
        *position = client;
        *clip = client;
        if (frameInfo != nullptr) {
            frameInfo->fMDIApp = FALSE;
            frameInfo->hwndFrame =
                FHost != nullptr ? GetAncestor(FHost->FWindow, GA_ROOT) : nullptr;
            frameInfo->haccel = nullptr;
            frameInfo->cAccelEntries = 0;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Scroll(SIZE extent) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnUIDeactivate(WINBOOL undoable) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnInPlaceDeactivate() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DiscardUndoState() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeactivateAndUndo() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnPosRectChange(LPCRECT position) override {
        TComPtr<IOleInPlaceObject> inPlace;
        if (FHost != nullptr && position != nullptr && FHost->FOleObject &&
            SUCCEEDED(FHost->FOleObject->QueryInterface(IID_IOleInPlaceObject,
                                                        reinterpret_cast<void**>(inPlace.Put()))))
            inPlace->SetObjectRects(position, position);
        return S_OK;
    }

    // IOleInPlaceUIWindow and IOleInPlaceFrame: no tool space, menus or
    // status bar to share.
    HRESULT STDMETHODCALLTYPE GetBorder(LPRECT border) override { return INPLACE_E_NOTOOLSPACE; }
    HRESULT STDMETHODCALLTYPE RequestBorderSpace(LPCBORDERWIDTHS widths) override {
        return INPLACE_E_NOTOOLSPACE;
    }
    HRESULT STDMETHODCALLTYPE SetBorderSpace(LPCBORDERWIDTHS widths) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetActiveObject(IOleInPlaceActiveObject* object,
                                              LPCOLESTR name) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE InsertMenus(HMENU shared, LPOLEMENUGROUPWIDTHS widths) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetMenu(HMENU shared, HOLEMENU ole, HWND active) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RemoveMenus(HMENU shared) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStatusText(LPCOLESTR text) override { return S_OK; }
    // Also IDocHostUIHandler::EnableModeless.
    HRESULT STDMETHODCALLTYPE EnableModeless(WINBOOL enable) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG message, WORD id) override {
        return S_FALSE;
    }

    // IOleControlSite
    HRESULT STDMETHODCALLTYPE OnControlInfoChanged() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockInPlaceActive(WINBOOL lock) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetExtendedControl(IDispatch** control) override {
        if (control != nullptr)
            *control = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE TransformCoords(POINTL* himetric, POINTF* container,
                                              DWORD flags) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* message, DWORD modifiers) override {
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE OnFocus(WINBOOL gotFocus) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ShowPropertyFrame() override { return E_NOTIMPL; }

    // IDocHostUIHandler
    HRESULT STDMETHODCALLTYPE ShowContextMenu(DWORD id, POINT* position, IUnknown* target,
                                              IDispatch* object) override {
        if (FHost == nullptr)
            return E_NOTIMPL;
        std::uint32_t disabled = FHost->FOptions.DisabledPopupMenus;
        if ((disabled & (1u << rcmAll)) != 0 || (id < rcmAll && (disabled & (1u << id)) != 0))
            return S_OK;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetHostInfo(DOCHOSTUIINFO* info) override {
        if (info == nullptr)
            return E_POINTER;
        info->cbSize = sizeof(DOCHOSTUIINFO);
        info->dwFlags = FHost != nullptr ? FHost->FOptions.HostInfoFlags : 0;
        info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
        info->pchHostCss = nullptr;
        info->pchHostNS = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ShowUI(DWORD id, IOleInPlaceActiveObject* object,
                                     IOleCommandTarget* target, IOleInPlaceFrame* frame,
                                     IOleInPlaceUIWindow* doc) override {
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE HideUI() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE UpdateUI() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE OnDocWindowActivate(WINBOOL activate) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(WINBOOL activate) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window,
                                           WINBOOL frameWindow) override {
        return S_OK;
    }
    // Ctrl plus a character of DisableCtrlShortcuts is swallowed; every
    // other key goes to the engine's own accelerators.
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG message, const GUID* group,
                                                   DWORD command) override {
        if (FHost == nullptr || message == nullptr || message->message != WM_KEYDOWN)
            return S_FALSE;
        const String& keys = FHost->FOptions.DisableCtrlShortcuts;
        if (keys.empty() || !OnlyCtrlDown())
            return S_FALSE;
        auto key = static_cast<char16_t>(message->wParam & 0xFFFF);
        return keys.find(key) != String::npos ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE GetOptionKeyPath(LPOLESTR* key, DWORD reserved) override {
        if (key != nullptr)
            *key = nullptr;
        return S_FALSE;
    }
    // Drops are refused: the engine is told not to be a drop target and
    // gets none from the host.
    HRESULT STDMETHODCALLTYPE GetDropTarget(IDropTarget* engineTarget,
                                            IDropTarget** target) override {
        if (target != nullptr)
            *target = nullptr;
        if (FHost != nullptr)
            FHost->RefuseDrops();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetExternal(IDispatch** external) override {
        if (external == nullptr)
            return E_POINTER;
        *external = nullptr;
        // A failure must not unwind into the engine: the page then has no
        // external object.
        try {
            if (FHost != nullptr && FHost->FEvents.GetExternal)
                *external = FHost->FEvents.GetExternal();
        } catch (...) {
            *external = nullptr;
        }
        return *external != nullptr ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE TranslateUrl(DWORD translate, LPWSTR url,
                                           LPWSTR* translated) override {
        if (translated != nullptr)
            *translated = nullptr;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE FilterDataObject(IDataObject* object,
                                               IDataObject** filtered) override {
        if (filtered != nullptr)
            *filtered = nullptr;
        return S_FALSE;
    }
    // IDocHostUIHandler2
    HRESULT STDMETHODCALLTYPE GetOverrideKeyPath(LPOLESTR* key, DWORD reserved) override {
        if (key != nullptr)
            *key = nullptr;
        return S_FALSE;
    }

    // IDocHostShowUI: the engine shows its own message boxes and help.
    HRESULT STDMETHODCALLTYPE ShowMessage(HWND window, LPOLESTR text, LPOLESTR caption, DWORD type,
                                          LPOLESTR helpFile, DWORD helpContext,
                                          LRESULT* result) override {
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE ShowHelp(HWND window, LPOLESTR helpFile, UINT command, DWORD data,
                                       POINT position, IDispatch* hit) override {
        return S_FALSE;
    }

    // IOleCommandTarget
    HRESULT STDMETHODCALLTYPE QueryStatus(const GUID* group, ULONG count, OLECMD* commands,
                                          OLECMDTEXT* text) override {
        if (commands == nullptr || count == 0)
            return E_POINTER;
        commands[0].cmdf = OLECMDF_SUPPORTED;
        return S_OK;
    }
    // Script errors: continue or stop the page's scripts without a dialog,
    // or let the engine ask the user.
    HRESULT STDMETHODCALLTYPE Exec(const GUID* group, DWORD command, DWORD option, VARIANT* in,
                                   VARIANT* out) override {
        if (FHost != nullptr && group != nullptr && IsEqualGUID(*group, CGID_ExplorerCommands) &&
            command == DocumentWindowCommand) {
            FHost->WatchDocumentFocus();
            return OLECMDERR_E_NOTSUPPORTED;
        }
        if (FHost == nullptr || group == nullptr || !IsEqualGUID(*group, CGID_DocHostCommands) ||
            command != OLECMDID_SHOWSCRIPTERROR)
            return OLECMDERR_E_NOTSUPPORTED;
        switch (FHost->FOptions.ScriptErrorAction) {
        case TScriptErrorAction::eaContinue:
        case TScriptErrorAction::eaCancel:
            if (out != nullptr) {
                VariantClear(out);
                out->vt = VT_BOOL;
                out->boolVal = FHost->FOptions.ScriptErrorAction == TScriptErrorAction::eaContinue
                                   ? VARIANT_TRUE
                                   : VARIANT_FALSE;
            }
            return S_OK;
        case TScriptErrorAction::eaAskUser:
        default:
            return S_FALSE;
        }
    }

    // IServiceProvider: only the focus guard is offered; pop-ups,
    // downloads and authentication follow the engine's defaults.
    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** object) override {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (IsEqualGUID(service, __uuidof(IProtectFocus)))
            return QueryInterface(riid, object);
        return E_NOINTERFACE;
    }

    // IProtectFocus
    HRESULT STDMETHODCALLTYPE AllowFocusChange(WINBOOL* allow) override {
        if (allow == nullptr)
            return E_POINTER;
        *allow = TRUE;
        return S_OK;
    }

    // IDispatch: the ambient properties the engine reads from its site.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        return NoTypeInfoCount(count);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
        return NoTypeInfo(info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override {
        for (UINT i = 0; ids != nullptr && i < count; ++i)
            ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                     UINT* argErr) override {
        if ((flags & DISPATCH_PROPERTYGET) == 0 || result == nullptr || FHost == nullptr)
            return DISP_E_MEMBERNOTFOUND;
        switch (id) {
        case DispidAmbientDlControl:
            VariantClear(result);
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(FHost->FOptions.DownloadControl);
            return S_OK;
        case DispidAmbientUserMode:
        case DISPID_AMBIENT_MESSAGEREFLECT:
        case DISPID_AMBIENT_SUPPORTSMNEMONICS:
        case DISPID_AMBIENT_AUTOCLIP:
            VariantClear(result);
            result->vt = VT_BOOL;
            result->boolVal = VARIANT_TRUE;
            return S_OK;
        case DISPID_AMBIENT_UIDEAD:
        case DISPID_AMBIENT_SHOWGRABHANDLES:
        case DISPID_AMBIENT_SHOWHATCHING:
            VariantClear(result);
            result->vt = VT_BOOL;
            result->boolVal = VARIANT_FALSE;
            return S_OK;
        case DISPID_AMBIENT_LOCALEID:
            VariantClear(result);
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(GetUserDefaultLCID());
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

protected:
    // IOleWindow, IOleInPlaceUIWindow: two paths lead there.
    void* ExtraInterface(REFIID riid) override {
        if (IsEqualIID(riid, IID_IOleWindow))
            return static_cast<IOleWindow*>(static_cast<IOleInPlaceSite*>(this));
        if (IsEqualIID(riid, IID_IOleInPlaceUIWindow))
            return static_cast<IOleInPlaceUIWindow*>(this);
        if (IsEqualIID(riid, __uuidof(IDocHostUIHandler)))
            return static_cast<IDocHostUIHandler*>(this);
        return nullptr;
    }

private:
    TWebBrowserHost* FHost;
};

// The sink of DWebBrowserEvents2: each event arrives as an Invoke with its
// dispatch id and its arguments in reverse order.
class TBrowserEventSink final : public TComObject<IDispatch> {
public:
    explicit TBrowserEventSink(TWebBrowserHost& host) : FHost(&host) {}
    void Detach() { FHost = nullptr; }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        return NoTypeInfoCount(count);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
        return NoTypeInfo(info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                     UINT* argErr) override {
        if (FHost == nullptr || params == nullptr)
            return S_OK;
        // An event handler's failure must not unwind into the engine.
        try {
            Dispatch(id, *params);
        } catch (...) {
        }
        return S_OK;
    }

protected:
    void* ExtraInterface(REFIID riid) override {
        if (IsEqualIID(riid, __uuidof(DWebBrowserEvents2)))
            return static_cast<IDispatch*>(this);
        return nullptr;
    }

private:
    void Dispatch(DISPID id, DISPPARAMS& params) {
        TWebBrowserEvents& events = FHost->FEvents;
        VARIANT* args = params.rgvarg;
        const UINT count = params.cArgs;
        switch (id) {
        case DISPID_BEFORENAVIGATE2: // pDisp, URL, Flags, Frame, PostData, Headers, Cancel
            if (count == 7 && events.BeforeNavigate2) {
                const String frameUrl = FrameLocationOf(args[6]);
                const String topUrl = FHost->LocationURL();
                RaiseCancellable(args[0], [&](bool& cancel) {
                    events.BeforeNavigate2(TextOf(args[5]), frameUrl, topUrl, cancel);
                });
            }
            break;
        case DISPID_NEWWINDOW2: // ppDisp, Cancel
            if (count == 2)
                RaiseNewWindow(args[1], args[0], String(), String());
            break;
        case DISPID_NEWWINDOW3: // ppDisp, Cancel, dwFlags, UrlContext, Url
            if (count == 5)
                RaiseNewWindow(args[4], args[3], TextOf(args[0]), TextOf(args[1]));
            break;
        case DISPID_WINDOWCLOSING: // IsChildWindow, Cancel
            if (count == 2 && events.WindowClosing)
                RaiseCancellable(
                    args[0], [&](bool& cancel) { events.WindowClosing(BoolOf(args[1]), cancel); });
            break;
        case DISPID_DOCUMENTCOMPLETE: // pDisp, URL
            // Raised for every frame too; pDisp is the control itself only
            // for the main document.
            if (count == 2 && events.DocumentComplete)
                events.DocumentComplete(TextOf(args[0]),
                                        SameObject(DispatchOf(args[1]), FHost->Browser()));
            break;
        case DISPID_NAVIGATEERROR: // pDisp, URL, Frame, StatusCode, Cancel
            if (count == 5 && events.NavigateError)
                events.NavigateError(TextOf(args[3]), IntOf(args[1]));
            break;
        default:
            break;
        }
    }

    // Runs handler with the event's Cancel and writes the answer back.
    template <class Handler> static void RaiseCancellable(VARIANT& cancelArg, Handler handler) {
        VARIANT_BOOL* slot = BoolSlot(cancelArg);
        bool cancel = slot != nullptr && *slot != VARIANT_FALSE;
        handler(cancel);
        if (slot != nullptr)
            *slot = cancel ? VARIANT_TRUE : VARIANT_FALSE;
    }

    // The address the navigating frame (the event's pDisp) shows now.
    static String FrameLocationOf(const VARIANT& arg) {
        IDispatch* frame = DispatchOf(arg);
        TComPtr<IWebBrowser2> browser;
        if (frame == nullptr || FAILED(frame->QueryInterface(
                                    IID_IWebBrowser2, reinterpret_cast<void**>(browser.Put()))))
            return String();
        return LocationOf(browser.Get());
    }

    void RaiseNewWindow(VARIANT& appArg, VARIANT& cancelArg, const String& url,
                        const String& opener) {
        TWebBrowserEvents& events = FHost->FEvents;
        if (!events.NewWindow)
            return;
        IDispatch** slot = appArg.vt == (VT_BYREF | VT_DISPATCH) ? appArg.ppdispVal : nullptr;
        VARIANT_BOOL* cancelSlot = BoolSlot(cancelArg);
        // Engines that raise both events ask once: a window handed back or
        // refused by the first is the answer.
        if ((slot != nullptr && *slot != nullptr) ||
            (cancelSlot != nullptr && *cancelSlot != VARIANT_FALSE))
            return;
        RaiseCancellable(cancelArg, [&](bool& cancel) {
            IDispatch* application = nullptr;
            events.NewWindow(url, opener, application, cancel);
            if (slot != nullptr && application != nullptr)
                *slot = application;
            else if (application != nullptr)
                application->Release();
        });
    }

    TWebBrowserHost* FHost;
};

TWebBrowserHost::TWebBrowserHost(HWND parent, const RECT& bounds, TWebBrowserOptions options,
                                 TWebBrowserEvents events)
    : FOptions(std::move(options)), FEvents(std::move(events)) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    if (!GetClassInfoExW(instance, HostWindowClass, &windowClass)) {
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        windowClass.lpszClassName = HostWindowClass;
        if (RegisterClassExW(&windowClass) == 0)
            throw EWebBrowserError(u"Registering the browser window class failed.");
    }
    FWindow = CreateWindowExW(0, HostWindowClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN,
                              bounds.left, bounds.top, bounds.right - bounds.left,
                              bounds.bottom - bounds.top, parent, nullptr, instance, this);
    if (FWindow == nullptr)
        throw EWebBrowserError(u"Creating the browser window failed.");
    FSite = new TBrowserSite(*this);
    FSink = new TBrowserEventSink(*this);
    try {
        Check(CoCreateInstance(__uuidof(WebBrowser), nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                               reinterpret_cast<void**>(FOleObject.Put())),
              u"Creating the WebBrowser control");
        Check(FOleObject->SetClientSite(static_cast<IOleClientSite*>(FSite)),
              u"Setting the client site");
        TComPtr<IPersistStreamInit> persist;
        if (SUCCEEDED(FOleObject->QueryInterface(IID_IPersistStreamInit,
                                                 reinterpret_cast<void**>(persist.Put()))))
            persist->InitNew();
        RECT client{};
        GetClientRect(FWindow, &client);
        Check(FOleObject->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr,
                                 static_cast<IOleClientSite*>(FSite), 0, FWindow, &client),
              u"Activating the WebBrowser control");
        Check(
            FOleObject->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(FBrowser.Put())),
            u"Asking the control for IWebBrowser2");
        FBrowser->put_Silent(FOptions.Silent ? VARIANT_TRUE : VARIANT_FALSE);
        FBrowser->put_RegisterAsBrowser(VARIANT_TRUE);
        FBrowser->put_RegisterAsDropTarget(VARIANT_FALSE);
        TComPtr<IConnectionPointContainer> container;
        Check(FBrowser->QueryInterface(IID_IConnectionPointContainer,
                                       reinterpret_cast<void**>(container.Put())),
              u"Asking the control for its events");
        Check(container->FindConnectionPoint(__uuidof(DWebBrowserEvents2), FConnectionPoint.Put()),
              u"Finding the control's events");
        Check(FConnectionPoint->Advise(FSink->Unknown(), &FCookie),
              u"Connecting to the control's events");
    } catch (...) {
        Destroy();
        throw;
    }
}

TWebBrowserHost::~TWebBrowserHost() {
    Destroy();
}

void TWebBrowserHost::Destroy() {
    if (FViewWindow != nullptr)
        RemoveWindowSubclass(FViewWindow, FocusWatch, FocusWatchId);
    if (FDocumentWindow != nullptr)
        RemoveWindowSubclass(FDocumentWindow, FocusWatch, FocusWatchId);
    FViewWindow = FDocumentWindow = nullptr;
    if (FConnectionPoint && FCookie != 0)
        FConnectionPoint->Unadvise(FCookie);
    FCookie = 0;
    FConnectionPoint.Reset();
    FBrowser.Reset();
    if (FOleObject) {
        TComPtr<IOleInPlaceObject> inPlace;
        if (SUCCEEDED(FOleObject->QueryInterface(IID_IOleInPlaceObject,
                                                 reinterpret_cast<void**>(inPlace.Put()))))
            inPlace->InPlaceDeactivate();
        FOleObject->Close(OLECLOSE_NOSAVE);
        FOleObject->SetClientSite(nullptr);
        FOleObject.Reset();
    }
    if (FSink != nullptr) {
        FSink->Detach();
        FSink->Release();
        FSink = nullptr;
    }
    if (FSite != nullptr) {
        FSite->Detach();
        FSite->Release();
        FSite = nullptr;
    }
    if (FWindow != nullptr) {
        SetWindowLongPtrW(FWindow, GWLP_USERDATA, 0);
        DestroyWindow(FWindow);
        FWindow = nullptr;
    }
}

LRESULT CALLBACK TWebBrowserHost::WindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* host = reinterpret_cast<TWebBrowserHost*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_SIZE && host != nullptr && host->FOleObject) {
        RECT client{0, 0, LOWORD(lParam), HIWORD(lParam)};
        TComPtr<IOleInPlaceObject> inPlace;
        if (SUCCEEDED(host->FOleObject->QueryInterface(IID_IOleInPlaceObject,
                                                       reinterpret_cast<void**>(inPlace.Put()))))
            inPlace->SetObjectRects(&client, &client);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void TWebBrowserHost::SetHostInfoFlags(DWORD flags) {
    FOptions.HostInfoFlags = flags;
    TComPtr<IOleControl> control;
    if (FOleObject && SUCCEEDED(FOleObject->QueryInterface(
                          IID_IOleControl, reinterpret_cast<void**>(control.Put()))))
        control->OnAmbientPropertyChange(DispidAmbientDlControl);
}

void TWebBrowserHost::Navigate(const String& url) {
    BSTR text = StringToBstr(url);
    if (text == nullptr)
        throw EWebBrowserError(u"Out of memory.");
    HRESULT hr = FBrowser->Navigate(text, nullptr, nullptr, nullptr, nullptr);
    SysFreeString(text);
    Check(hr, u"Navigating");
}

void TWebBrowserHost::SetBounds(const RECT& bounds) {
    MoveWindow(FWindow, bounds.left, bounds.top, bounds.right - bounds.left,
               bounds.bottom - bounds.top, TRUE);
}

bool TWebBrowserHost::HasDocument(IDispatch** document) {
    *document = nullptr;
    if (!FBrowser || FAILED(FBrowser->get_Document(document)) || *document == nullptr)
        return false;
    TComPtr<IHTMLDocument2> html;
    if (SUCCEEDED(
            (*document)->QueryInterface(IID_IHTMLDocument2, reinterpret_cast<void**>(html.Put()))))
        return true;
    (*document)->Release();
    *document = nullptr;
    return false;
}

void TWebBrowserHost::ShowFindDialog() {
    TComPtr<IDispatch> document;
    if (!HasDocument(document.Put()))
        return;
    TComPtr<IOleCommandTarget> target;
    if (SUCCEEDED(document->QueryInterface(IID_IOleCommandTarget,
                                           reinterpret_cast<void**>(target.Put()))))
        target->Exec(&CGID_WebBrowserCommands, FindCommand, OLECMDEXECOPT_DODEFAULT, nullptr,
                     nullptr);
}

void TWebBrowserHost::PrintPreview() {
    TComPtr<IDispatch> document;
    if (!HasDocument(document.Put()))
        return;
    Check(FBrowser->ExecWB(OLECMDID_PRINTPREVIEW, OLECMDEXECOPT_DONTPROMPTUSER, nullptr, nullptr),
          u"Print preview");
}

IDispatch* TWebBrowserHost::Application() {
    IDispatch* application = nullptr;
    if (FBrowser && SUCCEEDED(FBrowser->get_Application(&application)))
        return application;
    return nullptr;
}

String TWebBrowserHost::LocationURL() {
    return LocationOf(FBrowser.Get());
}

void TWebBrowserHost::RefuseDrops() {
    if (FBrowser)
        FBrowser->put_RegisterAsDropTarget(VARIANT_FALSE);
    RevokeDocumentDrop();
}

IDispatch* TWebBrowserHost::EventSink() {
    if (FSink == nullptr)
        return nullptr;
    FSink->AddRef();
    return FSink;
}

void TWebBrowserHost::RevokeDocumentDrop() {
    HWND view = FindDescendant(FWindow, L"Shell DocObject View");
    HWND document = view != nullptr ? FindDescendant(view, L"Internet Explorer_Server") : nullptr;
    if (document != nullptr)
        RevokeDragDrop(document);
}

void TWebBrowserHost::WatchDocumentFocus() {
    if (FViewWindow != nullptr || FDocumentWindow != nullptr)
        return;
    HWND view = FindDescendant(FWindow, L"Shell DocObject View");
    HWND document = view != nullptr ? FindDescendant(view, L"Internet Explorer_Server") : nullptr;
    if (document == nullptr)
        return;
    auto data = reinterpret_cast<DWORD_PTR>(this);
    if (SetWindowSubclass(view, FocusWatch, FocusWatchId, data))
        FViewWindow = view;
    if (SetWindowSubclass(document, FocusWatch, FocusWatchId, data))
        FDocumentWindow = document;
}

// The engine's view and document windows: when one of them gets the
// keyboard focus the engine is made UI-active, so that the focus ends in the
// document; a destroyed window is no longer watched.
LRESULT CALLBACK TWebBrowserHost::FocusWatch(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam, UINT_PTR id, DWORD_PTR data) {
    auto* host = reinterpret_cast<TWebBrowserHost*>(data);
    if (message == WM_SETFOCUS && !host->FActivating && host->FOleObject && host->FSite) {
        host->FActivating = true;
        RECT client{};
        GetClientRect(host->FWindow, &client);
        host->FOleObject->DoVerb(OLEIVERB_UIACTIVATE, nullptr,
                                 static_cast<IOleClientSite*>(host->FSite), 0, host->FWindow,
                                 &client);
        host->FActivating = false;
    } else if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(window, FocusWatch, id);
        if (window == host->FViewWindow)
            host->FViewWindow = nullptr;
        if (window == host->FDocumentWindow)
            host->FDocumentWindow = nullptr;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

bool TWebBrowserHost::PreTranslateMessage(MSG& message) {
    if (message.message < WM_KEYFIRST || message.message > WM_KEYLAST)
        return false;
    if (message.hwnd != FWindow && !IsChild(FWindow, message.hwnd))
        return false;
    const bool keyDown = message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN;
    bool handled = false;
    if (keyDown && FEvents.KeyDown) {
        WORD key = static_cast<WORD>(message.wParam);
        FEvents.KeyDown(key);
        handled = key == 0;
    }
    if (!handled && FOleObject) {
        TComPtr<IOleInPlaceActiveObject> active;
        if (SUCCEEDED(FOleObject->QueryInterface(IID_IOleInPlaceActiveObject,
                                                 reinterpret_cast<void**>(active.Put())))) {
            MSG copy = message;
            copy.hwnd = FWindow;
            handled = active->TranslateAccelerator(&copy) == S_OK;
        }
    }
    // Enter always reaches the page through normal dispatch.
    if (keyDown && message.wParam == VK_RETURN)
        return false;
    return handled;
}

} // namespace Folivant::BrowserControl
