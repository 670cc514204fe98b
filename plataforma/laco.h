// The main loop: one io_context run on the main thread. Every timer handler
// runs here, one at a time; an error escaping a handler is written to the
// event log and the loop goes on.
#pragma once

#include <exception>

#include <boost/asio/io_context.hpp>

// The main thread's io_context. It lives for the whole process (timers of
// global objects may still refer to it while statics are destroyed).
boost::asio::io_context& ContextoPrincipal();

// Runs the main loop on the calling thread until EncerrarLaco is called.
// Handlers already queued keep their place for a later run.
void ExecutarLaco();

// Asks the main loop to end once the running handler (if any) has returned.
// May be called from any thread, also before ExecutarLaco starts.
void EncerrarLaco();

// An error that ends a handler without being recorded anywhere.
class AbortoSilencioso : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};
