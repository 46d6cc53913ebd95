#include "platform/ProgramResources.h"

#include "platform/ExeResources.h"

namespace Folivant::Platform {

namespace {

// The program's own table, mapped once for the whole run; none when the
// executable cannot be read. Never unmapped, so that the bytes handed out
// stay valid for the whole run, static destructors at exit included.
const TExeResources* OwnTable() {
    static const TExeResources* const table = []() -> const TExeResources* {
        try {
            return new TExeResources(TExeResources::OwnExecutable());
        } catch (const EResourceError&) {
            return nullptr;
        }
    }();
    return table;
}

} // namespace

std::optional<std::span<const std::uint8_t>> OwnResource(std::string_view type,
                                                         std::string_view name) {
    const TExeResources* table = OwnTable();
    const TResourceInfo* info = table != nullptr ? table->Find(type, name) : nullptr;
    if (info == nullptr)
        return std::nullopt;
    return table->Data(*info);
}

std::vector<std::string> OwnResourceNames(std::string_view type) {
    std::vector<std::string> names;
    if (const TExeResources* table = OwnTable())
        for (const TResourceInfo& info : table->Resources())
            if (SameResourceName(info.Type, type))
                names.push_back(info.Name);
    return names;
}

} // namespace Folivant::Platform
