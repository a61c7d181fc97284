#include "io/blocking.hpp"

namespace karvo::io {
namespace {

BlockingHooks g_hooks;
thread_local Blocking* t_scope = nullptr;  // the released scope of this thread, if any

// How often a long read takes the interpreter back to run signal handlers:
// often enough for Ctrl-C to feel immediate, rarely enough to cost nothing
// even when other threads keep the interpreter busy.
constexpr auto kCheckEvery = std::chrono::milliseconds(10);

}  // namespace

void set_blocking_hooks(BlockingHooks hooks) { g_hooks = hooks; }

Blocking::Blocking(uint64_t bytes) {
    if (bytes < kReleaseFrom || !g_hooks.release || !g_hooks.reacquire || t_scope) return;
    checks_ = g_hooks.check_signals && (!g_hooks.signals_here || g_hooks.signals_here());
    state_ = g_hooks.release();
    released_ = true;
    last_check_ = std::chrono::steady_clock::now();
    t_scope = this;
}

Blocking::~Blocking() {
    if (t_scope != this) return;
    t_scope = nullptr;
    if (released_) g_hooks.reacquire(state_);
}

bool Blocking::check() {
    if (stopped_) return true;
    if (!checks_) return false;
    auto now = std::chrono::steady_clock::now();
    if (now - last_check_ < kCheckEvery) return false;
    g_hooks.reacquire(state_);
    // Handlers run Python code on this thread, reads too: theirs are scopes
    // of their own, outside this one.
    t_scope = nullptr;
    int raised = g_hooks.check_signals();
    t_scope = this;
    if (raised) {
        // Keep the interpreter: the caller returns with the handler's error.
        released_ = false;
        stopped_ = true;
        return true;
    }
    state_ = g_hooks.release();
    last_check_ = std::chrono::steady_clock::now();
    return false;
}

bool interrupted() { return t_scope && t_scope->check(); }

}  // namespace karvo::io
