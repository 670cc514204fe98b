// The main loop, run on the main thread: an io_context on Linux, a
// window-message loop on Windows. Every timer handler runs here, one at a
// time; an error escaping a handler is written to the event log and the loop
// goes on.
#pragma once

#include <exception>

// Runs the main loop on the calling thread until EncerrarLaco is called.
// Handlers already queued keep their place for a later run.
void ExecutarLaco();

// Asks the main loop to end once the running handler (if any) has returned.
// May be called from any thread, also before ExecutarLaco starts.
void EncerrarLaco();

// What the loop does with an error that escaped one of its handlers: one
// error entry in the event log under the executable's file name, except for
// AbortoSilencioso. For handlers that the system calls back from inside the
// loop (a window procedure), where an error may not travel further.
void RegistrarErroDoLaco(const std::exception_ptr& erro) noexcept;

// An error that ends a handler without being recorded anywhere.
class AbortoSilencioso : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};
