// Deterministic scheduler with virtual time: a test-only Clock and Threads.
//
// Every thread started through Start() is a participant backed by a real
// std::thread, but only one participant runs at a time. The running one hands
// the baton on only inside a port operation:
//   - Sleep(ms) (Sleep(0) is a plain yield: back of the runnable queue),
//   - SleepCancellable(ms > 0) on a token that is not cancelled yet,
//   - Mutex::Lock() on a mutex another participant holds,
//   - Thread::Join(ms > 0) on a thread that has not ended,
//   - Thread::Terminate() (the target is wound down before the call returns),
//   - Preempt() under a non-zero seed (the simulated devices call it at every
//     open, request and close),
//   - the end of its body.
// Join(0), SleepCancellable(0, token), an already cancelled token, Start,
// Unlock and Cancel never hand the baton on: a woken or started participant
// only becomes runnable and the caller keeps running.
//
// Choice of the next participant: with seed 0 the runnable queue is FIFO in
// the order participants became runnable. With a non-zero seed a splitmix64
// generator picks any runnable participant, so other interleavings can be
// explored and replayed. Priorities are recorded in the trace but never
// influence the choice.
//
// When nothing can run, virtual time jumps to the earliest deadline (sleep
// end, join time limit, cancellable sleep end); everyone due at that moment
// becomes runnable in the order in which they started waiting. With nothing
// runnable and no deadline the run fails with DeadlockError, naming each
// participant and what it waits on.
//
// Mutexes are recursive for their owner (critical sections). Waiters get the
// lock in the order they asked for it; Unlock hands it straight to the first
// waiter. Unlocking a mutex one does not own fails the run with
// MutexOwnershipError.
//
// Terminate() marks the target ended at once (joiners wake, HasEnded is true)
// and winds its backing thread down: the port operation it is blocked in
// throws ParticipantAborted (a target that never ran skips its body). Every
// later port call of an aborted participant throws again, except while an
// exception is already propagating (destructors), where calls return at once
// without effect. Port calls of an aborted participant never change shared
// state: in particular locks it held are NOT released, exactly as with
// TerminateThread. Note that C++ destructors on its stack do run.
//
// Run() failures (deadlock, virtual time limit, watchdog, mutex misuse, an
// exception escaping any participant, participants still alive when main
// returns) wind every remaining participant down the same way, latest started
// first and main last, and then throw. Participants left over when main
// returns are wound down after main's locals are gone: what their unwinding
// touches must outlive main's body.
// If the real-time watchdog expires while a participant never reaches a port
// operation, the process prints a diagnostic and aborts: such a thread
// cannot be stopped.
//
// Outside Run() the ports work single-threaded for the caller (thread id 0):
// Sleep advances virtual time, mutexes lock and unlock, Start throws
// std::logic_error, and waiting forever throws DeadlockError.
//
// Mutexes, tokens and thread handles keep the scheduler's state alive, so
// they may outlive the Scheduler object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Threads.h"

namespace sim {

class SchedulerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// No participant can run and none waits with a time limit.
class DeadlockError : public SchedulerError {
public:
    using SchedulerError::SchedulerError;
};

// The next event lies beyond Options::virtualLimitMs.
class VirtualTimeLimitExceeded : public SchedulerError {
public:
    using SchedulerError::SchedulerError;
};

// The main body returned while other participants had not ended.
class LeftoverThreadsError : public SchedulerError {
public:
    using SchedulerError::SchedulerError;
};

// The run took longer than Options::watchdogRealMs of real time.
class WatchdogExpired : public SchedulerError {
public:
    using SchedulerError::SchedulerError;
};

// A mutex was unlocked by a thread that does not hold it.
class MutexOwnershipError : public SchedulerError {
public:
    using SchedulerError::SchedulerError;
};

// Unwinds an aborted participant. Deliberately not a std::exception so that
// ordinary handlers let it pass; tests should not need to catch it.
struct ParticipantAborted {};

namespace detail {
class SchedulerCore;
}

class Scheduler final : public platform::Clock, public platform::Threads {
public:
    struct Options {
        // 0: FIFO choice; otherwise seeds the choice among runnable participants.
        std::uint64_t seed = 0;
        // MonotonicMs() at virtual time 0.
        std::uint64_t monotonicStartMs = 3'600'000;
        // CalendarSeconds() at virtual time 0.
        std::int64_t calendarStartSeconds = 1'700'000'000;
        // A run fails when virtual time would pass this many ms.
        std::uint64_t virtualLimitMs = 24ull * 60 * 60 * 1000;
        // A run fails when it takes longer than this in real time.
        std::uint64_t watchdogRealMs = 20'000;
        // Trace lines kept (the most recent ones).
        std::size_t traceLimit = 200'000;
    };

    static constexpr std::int64_t kPerformanceFrequency = 10'000'000;

    Scheduler();
    explicit Scheduler(const Options& options);
    ~Scheduler() override;
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Runs `body` as participant "main" (id 1) and returns when it returns.
    // Throws the run's first failure, or rethrows the body's exception.
    // May be called once per scheduler.
    void Run(std::function<void()> body);

    // Virtual milliseconds since the scheduler was created.
    std::uint64_t NowMs() const;
    // A scheduling point for the simulated devices (each open, request and
    // close calls it): under a non-zero seed the baton may go to any
    // runnable participant, the caller included; under seed 0, outside
    // Run() and for a thread that is no participant it does nothing, so
    // FIFO runs keep their order.
    void Preempt();
    // Scheduling points passed so far at which another participant ran.
    std::uint64_t PreemptionCount() const;
    std::uint64_t Seed() const;
    // Moves the calendar clock (CalendarSeconds) by `deltaSeconds`.
    void AdjustCalendarSeconds(std::int64_t deltaSeconds);
    // One line per event: virtual time, participant, event.
    std::vector<std::string> Trace() const;

    // platform::Clock
    std::uint64_t MonotonicMs() override;
    std::int64_t CalendarSeconds() override;
    std::int64_t PerformanceCounter() override;
    std::int64_t PerformanceFrequency() override;
    void Sleep(std::uint32_t ms) override;
    bool SleepCancellable(std::uint32_t ms, platform::CancelToken& token) override;

    // platform::Threads
    std::unique_ptr<platform::Thread> Start(std::function<void()> body,
                                            platform::ThreadPriority priority,
                                            const std::string& name) override;
    std::unique_ptr<platform::Mutex> CreateMutex(const std::string& name) override;
    std::unique_ptr<platform::CancelToken> CreateCancelToken() override;
    // Participant id (main = 1, then 2, 3, ... in start order); 0 for any
    // other thread.
    std::uint32_t CurrentThreadId() override;

private:
    std::shared_ptr<detail::SchedulerCore> core_;
};

}  // namespace sim
