#pragma once

// Points the per-user registry store at a private folder for the life of
// the object, so tests never see or touch the real ~/.config/folivant.

#include "support/TestSupport.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace Folivant::Testing {

class ScopedConfigHome {
public:
    ScopedConfigHome() {
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            FOld = old;
        ::setenv("XDG_CONFIG_HOME", FDir.Path().c_str(), 1);
    }
    ~ScopedConfigHome() {
        if (FOld)
            ::setenv("XDG_CONFIG_HOME", FOld->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }
    ScopedConfigHome(const ScopedConfigHome&) = delete;
    ScopedConfigHome& operator=(const ScopedConfigHome&) = delete;

    const std::filesystem::path& Path() const { return FDir.Path(); }
    // The environment entry that gives a child process the same store.
    std::string EnvEntry() const { return "XDG_CONFIG_HOME=" + FDir.Path().string(); }

private:
    TempDir FDir;
    std::optional<std::string> FOld;
};

} // namespace Folivant::Testing
