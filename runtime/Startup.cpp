#include "runtime/Startup.h"

#include "platform/ui/MessageBox.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace Folivant::Runtime {

namespace {

// The units whose initialisation has returned, in start-up order.
std::vector<const TUnit*>& InitializedUnits() {
    static std::vector<const TUnit*> units;
    return units;
}

} // namespace

const char16_t* RuntimeErrorCaption() {
    return u"Error";
}

std::u16string RuntimeErrorText(std::uintptr_t address) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(address & 0xFFFFFFFFu));
    std::u16string text = u"Runtime error 217 at ";
    for (const char* p = digits; *p != 0; ++p)
        text.push_back(static_cast<char16_t>(*p));
    return text;
}

void InitializeUnits(std::span<const TUnit> units) {
    for (const TUnit& unit : units) {
        try {
            if (unit.Initialize != nullptr)
                unit.Initialize();
        } catch (...) {
            FinalizeUnits();
            // The address shown is that of the initialisation that failed.
            const auto address = reinterpret_cast<std::uintptr_t>(unit.Initialize);
            try {
                Platform::MessageBox(RuntimeErrorText(address), RuntimeErrorCaption(),
                                     Platform::MB_ICONERROR | Platform::MB_OK);
            } catch (...) {
                std::fputs("Runtime error 217\n", stderr);
            }
            std::fflush(nullptr);
            std::exit(217);
        }
        InitializedUnits().push_back(&unit);
    }
}

void FinalizeUnits() {
    auto& units = InitializedUnits();
    while (!units.empty()) {
        const TUnit* unit = units.back();
        units.pop_back();
        try {
            if (unit->Finalize != nullptr)
                unit->Finalize();
        } catch (...) {
            // Shut-down goes on: the remaining units still release what they hold.
            std::fprintf(stderr, "folivant: finalising %s failed\n", unit->Name);
        }
    }
}

void Halt(int exitCode) {
    FinalizeUnits();
    std::fflush(nullptr);
    std::exit(exitCode);
}

} // namespace Folivant::Runtime
