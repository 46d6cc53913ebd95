#pragma once

// The application object: the GUI thread's message loop, the application
// title, and the report of a failure that escapes an event handler. Every
// callback entry point of the toolkit catches and reports here, so no
// failure unwinds into C code and the loop goes on.

#include "base/Classes.h"

#include <exception>
#include <functional>
#include <memory>
#include <utility>

namespace Folivant::Platform {

// The executable's file name up to its first ".", every character after the
// first in lower case.
String ApplicationTitle();
String ApplicationTitleOf(const String& fileName);

// The text shown for a failure: its message, with "." appended when the last
// character's code is above that of ".".
String ExceptionMessageText(const String& message);
String MessageOf(const std::exception_ptr& failure);

// Shows the failure in a message box with the error icon, one OK button, and
// the application title as caption.
void ShowException(const std::exception_ptr& failure);
// For use inside catch (...): reports the current failure and never raises.
void HandleCallbackException() noexcept;

// The guard of a callback entry point of the toolkit: runs body; a failure
// escaping it is reported by HandleCallbackException and the callback
// returns onFailure, so nothing unwinds into C code.
template <class F> void GuardCallback(F&& body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (...) {
        HandleCallbackException();
    }
}
template <class F, class R> R GuardCallback(F&& body, R onFailure) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        HandleCallbackException();
        return onFailure;
    }
}

// Brings up the toolkit on the display of the environment; false when there
// is none. The command line is not handed to the toolkit: every argument
// belongs to the pages. programName (argv[0]) names the program to the
// desktop.
bool InitializeApplication(const char* programName);

// SIGINT and SIGTERM call onSignal on the GUI thread, from its loop, until
// StopWatchingTerminationSignals. The first such signal also marks the
// shut-down as requested.
void WatchTerminationSignals(std::function<void()> onSignal);
void StopWatchingTerminationSignals();
// True once the end of the run was asked for from outside. Modal windows
// are no longer shown from then on: each answers at once as its close
// button would.
bool ShutDownRequested();
// Runs action once the GUI thread is back in its outermost loop, with no
// modal window's loop below it on the stack, so that action may free what
// those windows' callers still use.
void WhenInOutermostLoop(std::function<void()> action);

// Runs action on the GUI thread from its message loop, once the event
// handler that posts it has returned; a failure it raises is reported like
// a handler's. A call whose owner may be gone by then checks that itself.
void PostCall(std::function<void()> action);

// Runs the GUI thread's message loop until Terminate.
void RunMessageLoop();
void TerminateMessageLoop();
bool MessageLoopRunning();

// PostCall for an action on an object that may be freed before the loop
// runs it: the owner holds alive and sets it false when it goes, and the
// action runs only while alive still exists and is true.
void PostCallWhileAlive(std::weak_ptr<bool> alive, std::function<void()> action);

} // namespace Folivant::Platform
