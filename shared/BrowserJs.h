#pragma once

// The script bridge: resolves the names of the host functions that pages call
// on window.external and runs them with the arguments the engine hands over.
// It reaches the browser control and the main window only through abstract
// faces, so it runs (and is tested) without a display.

#include "base/Classes.h"
#include "shared/ComTypes.h"

#include <cstdint>
#include <vector>

namespace Folivant::Shared {

// What the bridge needs of the browser control that called it.
class TJsBrowser {
public:
    virtual ~TJsBrowser() = default;
    // The find dialog on the current document; never fails.
    virtual void ShowFindDialog() = 0;
    // The print preview of the current document; a failure is raised.
    virtual void PrintPreview() = 0;
};

class TBrowserJs {
public:
    TBrowserJs() = default;

    // The ID of the first table entry whose name equals name when only the
    // letters A to Z are folded to lower case; -1 when none does.
    std::int32_t FunctionIDByName(const String& name) const;
    // The name of the first entry with this ID, or the empty string.
    String FunctionNameByID(std::int32_t id) const;
    // Runs function funcID. Arguments are in params.rgvarg in reverse order;
    // varResult may be null, and functions without result leave it as it is.
    // Failures of the actions are not caught here.
    void ExecuteFunction(TJsBrowser& browser, std::int32_t funcID, TDispParams& params,
                         TVariant* varResult) const;
    // True when browser's page started the host sound last and no page has
    // stopped it since; the record is dropped either way, as the browser is
    // going away. The window then stops the sound, which would otherwise
    // outlive its page.
    static bool ReleaseSound(const TJsBrowser& browser);

    // The command line of this process as one text, each argument quoted
    // when it contains spaces or is empty, so that SplitCommandLine gives the
    // arguments back.
    static String ProcessCommandLine();
    // The running program's full file name.
    static String ProcessFileName();
    // The words of a command line: skips characters 1 to 32 and a leading
    // pair of double quotes before each word; a double quote opens a stretch
    // that runs to the next one, inside which spaces belong to the word.
    // Words are collected until the first empty one.
    static std::vector<String> SplitCommandLine(const String& commandLine);
    // The number of arguments after word 0.
    static int ParamCount(const String& commandLine);
    // Argument 0 is programFile; 1 to the count the words; a negative index
    // or one above the count gives the empty string.
    static String ParamStr(const String& commandLine, int index, const String& programFile);
};

// The text of a script argument: strings as they are, numbers in decimal,
// Booleans as "true" or "false", empty, null and objects as the empty string.
String VariantToText(const TVariant& value);

} // namespace Folivant::Shared
