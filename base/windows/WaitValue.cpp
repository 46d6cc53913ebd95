#include "base/WaitValue.h"

#include <windows.h>

namespace Folivant::WaitValue {

static_assert(sizeof(std::atomic<std::size_t>) == sizeof(std::size_t) &&
              std::atomic<std::size_t>::is_always_lock_free);

void WaitWhile(const std::atomic<std::size_t>& value, std::size_t old) {
    WaitOnAddress(const_cast<std::atomic<std::size_t>*>(&value), &old, sizeof(old), INFINITE);
}

void WakeAll(std::atomic<std::size_t>& value) {
    WakeByAddressAll(&value);
}

} // namespace Folivant::WaitValue
