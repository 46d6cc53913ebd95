#pragma once

// Waiting for a counter another thread advances: the decryption worker
// publishes how many bytes are ready and the inflater waits for more. Each
// platform has its own file: std::atomic's wait (a futex) on POSIX;
// WaitOnAddress on Windows, where the C++ library's own wait can miss a
// wake-up and hang.

#include <atomic>
#include <cstddef>

namespace Folivant::WaitValue {

// Returns once value no longer holds old (it may also return spuriously).
void WaitWhile(const std::atomic<std::size_t>& value, std::size_t old);
// Wakes every thread waiting on value.
void WakeAll(std::atomic<std::size_t>& value);

} // namespace Folivant::WaitValue
