// Blocks signals on the calling thread for the lifetime of the object: for the few steps that a
// signal handler must see either not begun or complete, and for the helper threads that must
// leave every signal to the main thread (a thread started meanwhile inherits the mask). Any
// thread.
#pragma once

#include <signal.h>

namespace kelo {

class SignalsBlocked {
 public:
  // Every signal.
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous_);
  }
  explicit SignalsBlocked(const sigset_t& some) { pthread_sigmask(SIG_BLOCK, &some, &previous_); }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace kelo
