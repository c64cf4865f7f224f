#pragma once
#include <pthread.h>
#include <signal.h>

namespace nightdehaze::files {

// Blocks SIGINT and SIGTERM on the calling thread while it lives, so that a
// step that must not stop half way (replacing files, renaming a finished
// temporary) runs to its end. A signal that arrives meanwhile is handled once
// the instance ends.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &block, &previous_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t previous_;
};

}  // namespace nightdehaze::files
