#pragma once

// Decrypts large entries on a thread of its own while the caller's thread
// inflates what is already decrypted; the extraction stays synchronous.

#include "archive/ZipCrypto.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace Folivant::Archive {

class TDecryptWorker {
public:
    TDecryptWorker() = default;
    ~TDecryptWorker();
    TDecryptWorker(const TDecryptWorker&) = delete;
    TDecryptWorker& operator=(const TDecryptWorker&) = delete;

    // How many bytes of the current job are decrypted; reaches the job's
    // size when it ends, also when it was cancelled.
    const std::atomic<std::size_t>& Ready() const { return FReady; }

    // Starts the thread; raises when the system has none to give.
    void Launch();
    // Decrypts size bytes from in to out with crypto's keys.
    void Start(const TZipCrypto& crypto, const std::uint8_t* in, std::uint8_t* out,
               std::size_t size);
    // Stops the job early (when decoding gave up) and waits until the
    // thread no longer touches the buffers.
    void Finish(bool cancel);

private:
    void Run();

    std::thread FThread;
    std::mutex FMutex;
    std::condition_variable FWake, FIdle;
    bool FQuit = false, FBusy = false;
    std::optional<TZipCrypto> FCrypto;
    const std::uint8_t* FIn = nullptr;
    std::uint8_t* FOut = nullptr;
    std::size_t FSize = 0;
    std::atomic<std::size_t> FReady{0};
    std::atomic<bool> FCancel{false};
};

} // namespace Folivant::Archive
