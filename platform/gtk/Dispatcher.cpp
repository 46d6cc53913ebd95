#include "platform/gtk/Dispatcher.h"

#include "shared/AsyncPlugProto.h"

#include "platform/gtk/GlibOwner.h"
#include <glib.h>

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

namespace Folivant::Platform {

namespace {

// One posted call. The caller waits on it; the GUI thread runs it, or marks
// it undelivered when the context drops the source without running it.
struct TPostedCall {
    const std::function<void()>* Call = nullptr;
    std::mutex Lock;
    std::condition_variable Finished;
    bool Done = false;
    std::exception_ptr Error;

    void Finish(std::exception_ptr error) {
        std::lock_guard guard(Lock);
        if (!Done) {
            Error = std::move(error);
            Done = true;
            Finished.notify_all();
        }
    }
};

gboolean RunPostedCall(gpointer data) {
    auto* posted = static_cast<std::shared_ptr<TPostedCall>*>(data);
    std::exception_ptr error;
    try {
        (*(*posted)->Call)();
    } catch (...) {
        error = std::current_exception();
    }
    (*posted)->Finish(error);
    return G_SOURCE_REMOVE;
}

void DropPostedCall(gpointer data) {
    auto* posted = static_cast<std::shared_ptr<TPostedCall>*>(data);
    // A source destroyed without running (its context went away) must not
    // leave the caller waiting for ever.
    (*posted)->Finish(std::make_exception_ptr(
        Shared::EInternetException(u"The request could not reach the GUI thread")));
    delete posted;
}

} // namespace

TGuiDispatcher::TGuiDispatcher()
    : FThread(std::this_thread::get_id()), FContext(g_main_context_ref_thread_default()) {}

TGuiDispatcher::~TGuiDispatcher() = default;

void TGuiDispatcher::Send(const std::function<void()>& call) {
    if (std::this_thread::get_id() == FThread) {
        call();
        return;
    }
    auto posted = std::make_shared<TPostedCall>();
    posted->Call = &call;
    {
        const TGOwner<GSource> source(g_idle_source_new());
        g_source_set_priority(source, G_PRIORITY_HIGH);
        g_source_set_callback(source, RunPostedCall, new std::shared_ptr<TPostedCall>(posted),
                              DropPostedCall);
        g_source_attach(source, FContext);
    }
    {
        std::unique_lock lock(posted->Lock);
        posted->Finished.wait(lock, [&] { return posted->Done; });
    }
    if (posted->Error) {
        std::rethrow_exception(posted->Error);
    }
}

void InstallGuiDispatcher() {
    Shared::SetDispatcherFactory([] { return std::make_unique<TGuiDispatcher>(); });
}

} // namespace Folivant::Platform
