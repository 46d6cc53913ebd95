#pragma once

// The style manager: the registry of visual styles, the one active style,
// and preview drawing. The system look "Windows" is the desktop's own
// theme; every other style is a style sheet read from a style file
// among the executable's VCLSTYLE resources and, while active, installed for
// the whole screen, so that every window, message box and file dialog the
// program opens takes it. Where the toolkit does not read style sheets
// (Windows), the sheet's palette (StylePalette.h) paints those windows.
//
// A style file is the 13 bytes "VCL_STYLE 1.0" and a zlib stream; the
// stream holds the style's recorded name on its first line and its style
// sheet after it.

#include "base/Classes.h"
#include "platform/ui/Picture.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Folivant::Platform {

// "Unable to load style '%s'", "Unable to load styles: %s", and the
// preview's refusals.
class EStyleError : public Exception {
public:
    using Exception::Exception;
};

inline constexpr const char16_t* SystemStyleName = u"Windows";
inline constexpr const char StyleFileSignature[] = "VCL_STYLE 1.0";

struct TStyleFile {
    String Name;              // the name recorded in the file
    std::string ResourceName; // the resource it came from
    std::string StyleSheet;   // UTF-8, in the toolkit's style sheet language
};

// Decodes one style file; nothing when it is not a valid one (wrong
// signature, damaged or over-long stream, no name, text that is not UTF-8).
std::optional<TStyleFile> ParseStyleFile(std::span<const std::uint8_t> data);

// Comparison by the user's locale without regard to case.
bool SameStyleName(const String& a, const String& b);
int CompareStyleNames(const String& a, const String& b);

class TStyleManager {
public:
    struct TResource {
        std::string Name;
        std::vector<std::uint8_t> Data;
    };

    // A manager over the program's own VCLSTYLE resources.
    TStyleManager();
    // A manager over resources given in memory.
    explicit TStyleManager(std::vector<TResource> resources);
    ~TStyleManager();
    TStyleManager(const TStyleManager&) = delete;
    TStyleManager& operator=(const TStyleManager&) = delete;

    // The manager of the running program's own resources.
    static TStyleManager& Global();

    // Registers the style files the first time it is called. Raises
    // EStyleError naming the resources that failed (once; later calls see
    // the files that did register).
    void RegisterStyleFiles();
    // "Windows" first, then the registered names in resource order.
    std::vector<String> StyleNames();
    // Finds the style by SameStyleName among the loaded styles, then among
    // the registered files, and makes it the active one. False when there is
    // no such style; the active style then stays.
    bool SetStyle(const String& name);
    const String& ActiveStyleName() const { return FActiveName; }
    // The registered file of exactly that recorded name.
    const TStyleFile* FindStyleFile(const String& exactName);

    // Draws a small window in the style with caption as its title into a
    // new width x height picture with alpha for an image control. The active
    // style is not changed.
    static TPicture PreviewPicture(const TStyleFile& file, int width, int height,
                                   const String& caption);

private:
    // The styles activated once and the one installed now (the toolkit's
    // side), in the order of FLoadedNames.
    struct TSheets;
    // Where Activate finds no sheet: the system's own look.
    static constexpr std::size_t NoSheet = static_cast<std::size_t>(-1);
    // Builds the toolkit's sheet of file and appends it to FSheets.
    void LoadSheet(const TStyleFile& file);
    // Installs sheet loaded (an index of FLoadedNames, or NoSheet).
    void Activate(const String& name, std::size_t loaded);

    bool FOwnResources = false;
    std::vector<TResource> FGivenResources;
    bool FRegistered = false;
    std::vector<TStyleFile> FFiles;
    std::unique_ptr<TSheets> FSheets;
    std::vector<String> FLoadedNames;
    String FActiveName = SystemStyleName;
};

} // namespace Folivant::Platform
