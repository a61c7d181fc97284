// Waiting on the system without the interpreter: other threads run meanwhile,
// and a long read stops when a signal handler raises (Ctrl-C).
// Python-free: the host layer installs the hooks that hand the interpreter
// over, take it back and run pending signal handlers.
#pragma once
#include <chrono>
#include <cstdint>

namespace karvo::io {

struct BlockingHooks {
    void* (*release)() = nullptr;       // hands the interpreter over; returns what reacquire takes
    void (*reacquire)(void*) = nullptr;
    // With the interpreter held: runs pending signal handlers; nonzero when
    // one raised (its error stays set). Null: reads are never stopped.
    int (*check_signals)() = nullptr;
    // With the interpreter held: whether this thread runs signal handlers.
    // Other threads never take the interpreter back midway to look.
    bool (*signals_here)() = nullptr;
};
void set_blocking_hooks(BlockingHooks hooks);

// Work on fewer bytes than this keeps the interpreter: handing it over and
// taking it back costs more than such a read from the page cache.
constexpr uint64_t kReleaseFrom = 64 * 1024;

// A stretch of blocking work on `bytes` bytes, run without the interpreter
// when it is large. An inner scope inside a released one does nothing. Reads in pieces call interrupted() between pieces.
class Blocking {
public:
    explicit Blocking(uint64_t bytes = kReleaseFrom);
    ~Blocking();
    Blocking(const Blocking&) = delete;
    Blocking& operator=(const Blocking&) = delete;

private:
    friend bool interrupted();
    bool check();

    bool released_ = false;
    bool checks_ = false;  // whether this thread looks for signals midway
    bool stopped_ = false;
    void* state_ = nullptr;
    std::chrono::steady_clock::time_point last_check_;
};

// Whether the blocking work of this thread must stop: a signal handler
// raised, and its error is set. The interpreter is then held again (taken
// back for good). Looks at most every few milliseconds; false outside a
// released scope.
bool interrupted();

}  // namespace karvo::io
