#pragma once

// The application object: the GUI thread's message loop, the application
// title, and the report of a failure that escapes an event handler. Every
// callback entry point of GTK, WebKit or GLib catches and reports here, so no
// failure unwinds into C code and the loop goes on.

#include "archive/Classes.h"

#include <exception>

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

// Runs the GUI thread's message loop until Terminate.
void RunMessageLoop();
void TerminateMessageLoop();
bool MessageLoopRunning();

} // namespace Folivant::Platform
