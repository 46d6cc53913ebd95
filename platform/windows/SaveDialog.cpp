#include "platform/ui/SaveDialog.h"

// The dialog is the system's classic save dialog, GetSaveFileNameW, in the
// explorer style, resizable, showing hidden files and asking nothing before
// a file is replaced. Its hook registers the dialog with the modal windows
// that CloseModalWindows cancels and gives it the active style, again once
// it has made its folder view and whenever that view is made anew.

#include "platform/ui/Application.h"
#include "platform/windows/ModalWindows.h"
#include "platform/windows/StyleDrawingWindows.h"

#include <windows.h>

#include <commdlg.h>

#include <memory>
#include <vector>

namespace Folivant::Platform {

namespace {

// "Name|patterns|Name|patterns" as the dialog takes it: each piece ended by
// a null, the list by a second one. A name without patterns is left out.
std::wstring FilterList(const String& filter) {
    std::vector<std::wstring> pieces(1);
    for (const char16_t c : filter) {
        if (c == u'|')
            pieces.emplace_back();
        else
            pieces.back() += static_cast<wchar_t>(c);
    }
    std::wstring list;
    for (std::size_t i = 0; i + 1 < pieces.size(); i += 2) {
        list += pieces[i];
        list += L'\0';
        list += pieces[i + 1];
        list += L'\0';
    }
    return list;
}

struct THookState {
    std::unique_ptr<TModalWindowScope> Scope;
};

UINT_PTR CALLBACK DialogHook(HWND child, UINT message, WPARAM, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* state =
            reinterpret_cast<THookState*>(reinterpret_cast<OPENFILENAMEW*>(lParam)->lCustData);
        // The hook's window is a child of the explorer-style dialog.
        const HWND dialog = GetParent(child);
        try {
            state->Scope = std::make_unique<TModalWindowScope>(
                dialog, [dialog] { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); });
        } catch (...) {
        }
        StyleSystemDialog(dialog);
    } else if (message == WM_NOTIFY) {
        const UINT code = reinterpret_cast<const NMHDR*>(lParam)->code;
        if (code == CDN_INITDONE || code == CDN_FOLDERCHANGE)
            StyleSystemDialog(GetParent(child));
    }
    return 0;
}

} // namespace

bool TSaveDialog::Execute() {
    // Once the end of the run was asked for, the dialog answers as if
    // cancelled at once.
    if (ShutDownRequested())
        return false;
    // Long paths fit; the dialog reports a longer choice as an error.
    std::vector<wchar_t> name(32768);
    std::wstring folder;
    if (!FileName.empty()) {
        std::wstring previous(FileName.begin(), FileName.end());
        const std::size_t slash = previous.find_last_of(L"\\/");
        if (slash != std::wstring::npos) {
            folder = previous.substr(0, slash + 1);
            previous.erase(0, slash + 1);
        }
        if (previous.size() < name.size())
            std::copy(previous.begin(), previous.end(), name.begin());
    }
    const std::wstring filter = FilterList(Filter);
    const std::wstring title(Title.begin(), Title.end());
    THookState state;

    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = GetActiveWindow();
    dialog.lpstrFilter = filter.empty() ? nullptr : filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = name.data();
    dialog.nMaxFile = static_cast<DWORD>(name.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_ENABLEHOOK | OFN_ENABLESIZING | OFN_FORCESHOWHIDDEN |
                   OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST;
    dialog.lCustData = reinterpret_cast<LPARAM>(&state);
    dialog.lpfnHook = DialogHook;
    if (!GetSaveFileNameW(&dialog))
        return false;

    String chosen(reinterpret_cast<const char16_t*>(name.data()));
    const std::size_t slash = chosen.find_last_of(u"\\/");
    const std::size_t start = slash == String::npos ? 0 : slash + 1;
    if (!DefaultExt.empty() && chosen.find(u'.', start) == String::npos)
        chosen += u"." + DefaultExt;
    FileName = chosen;
    return true;
}

} // namespace Folivant::Platform
