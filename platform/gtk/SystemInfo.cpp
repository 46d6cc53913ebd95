#include "platform/ui/SystemInfo.h"

#include "platform/gtk/GlibOwner.h"
#include "base/Text.h"

#include <gdk/gdk.h>
#include <pango/pango.h>

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

namespace Folivant::Platform {

String ComputerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return String();
    return Utf8ToString(name);
}

String UserName() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_name == nullptr)
        return String();
    return Utf8ToString(found->pw_name);
}

int TextWidth(const String& font, const String& text) {
    GdkScreen* screen = gdk_screen_get_default();
    const TGOwner<PangoContext> context(screen != nullptr ? gdk_pango_context_get_for_screen(screen)
                                                          : nullptr);
    if (context == nullptr)
        return 0;
    const TGOwner<PangoLayout> layout(pango_layout_new(context));
    if (!font.empty()) {
        PangoFontDescription* description =
            pango_font_description_from_string(StringToUtf8(font).c_str());
        pango_layout_set_font_description(layout, description);
        pango_font_description_free(description);
    }
    const std::string utf8 = StringToUtf8(text);
    pango_layout_set_text(layout, utf8.data(), static_cast<int>(utf8.size()));
    int width = 0;
    pango_layout_get_pixel_size(layout, &width, nullptr);
    return width;
}

} // namespace Folivant::Platform
