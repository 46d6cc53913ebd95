#include "archive/ZipDecryptWorker.h"

#include "base/WaitValue.h"

#include <algorithm>

namespace Folivant::Archive {

TDecryptWorker::~TDecryptWorker() {
    {
        std::lock_guard lock(FMutex);
        FQuit = true;
    }
    FWake.notify_all();
    if (FThread.joinable())
        FThread.join();
}

void TDecryptWorker::Launch() {
    FThread = std::thread([this] { Run(); });
}

void TDecryptWorker::Start(const TZipCrypto& crypto, const std::uint8_t* in, std::uint8_t* out,
                           std::size_t size) {
    std::unique_lock lock(FMutex);
    FCrypto = crypto;
    FIn = in;
    FOut = out;
    FSize = size;
    FReady.store(0, std::memory_order_relaxed);
    FCancel.store(false, std::memory_order_relaxed);
    FBusy = true;
    lock.unlock();
    FWake.notify_all();
}

void TDecryptWorker::Finish(bool cancel) {
    if (cancel)
        FCancel.store(true, std::memory_order_relaxed);
    std::unique_lock lock(FMutex);
    FIdle.wait(lock, [this] { return !FBusy; });
}

void TDecryptWorker::Run() {
    std::unique_lock lock(FMutex);
    for (;;) {
        FWake.wait(lock, [this] { return FQuit || FBusy; });
        if (FQuit)
            return;
        lock.unlock();
        // Small first steps let inflation start almost at once; later
        // steps grow so that hand-overs stay rare.
        std::size_t step = 8 * 1024;
        for (std::size_t done = 0; done < FSize && !FCancel.load(std::memory_order_relaxed);) {
            const std::size_t n = std::min(step, FSize - done);
            FCrypto->Decrypt(FIn + done, FOut + done, n);
            done += n;
            FReady.store(done, std::memory_order_release);
            WaitValue::WakeAll(FReady);
            step = std::min<std::size_t>(step * 2, 128 * 1024);
        }
        // Whoever waits for more input must see the end even when cancelled.
        FReady.store(FSize, std::memory_order_release);
        WaitValue::WakeAll(FReady);
        lock.lock();
        FBusy = false;
        FIdle.notify_all();
    }
}

} // namespace Folivant::Archive
