#include "base/WaitValue.h"

namespace Folivant::WaitValue {

void WaitWhile(const std::atomic<std::size_t>& value, std::size_t old) {
    value.wait(old, std::memory_order_acquire);
}

void WakeAll(std::atomic<std::size_t>& value) {
    value.notify_all();
}

} // namespace Folivant::WaitValue
