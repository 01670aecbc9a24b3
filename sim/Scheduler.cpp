#include "sim/Scheduler.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

namespace sim {
namespace detail {

using platform::kInfinite;

namespace {

constexpr std::uint32_t kNoOwner = 0xFFFFFFFFu;
// Id of any thread that is not a participant (the test's own thread).
constexpr std::uint32_t kOutsideId = 0;
constexpr std::size_t kTraceTailLines = 25;

const char* PriorityName(platform::ThreadPriority p) {
    switch (p) {
    case platform::ThreadPriority::Idle: return "Idle";
    case platform::ThreadPriority::Lowest: return "Lowest";
    case platform::ThreadPriority::BelowNormal: return "BelowNormal";
    case platform::ThreadPriority::Normal: return "Normal";
    case platform::ThreadPriority::AboveNormal: return "AboveNormal";
    case platform::ThreadPriority::Highest: return "Highest";
    case platform::ThreadPriority::TimeCritical: return "TimeCritical";
    }
    return "?";
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

std::string ExceptionText(const std::exception_ptr& e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        return ex.what();
    } catch (...) {
        return "exception of unknown type";
    }
}

}  // namespace

class MutexImpl;
class TokenImpl;

struct Participant {
    enum class State { Ready, Running, Sleeping, WaitingLock, Joining, Ended };

    std::uint32_t id = 0;
    std::string name;
    platform::ThreadPriority priority = platform::ThreadPriority::Normal;
    std::function<void()> body;
    std::thread thread;
    std::condition_variable cv;

    State state = State::Ready;
    // Current wait.
    bool hasDeadline = false;
    std::uint64_t deadline = 0;
    std::uint64_t waitSeq = 0;
    MutexImpl* waitMutex = nullptr;
    std::string waitMutexName;
    TokenImpl* waitToken = nullptr;
    bool cancellableSleep = false;
    Participant* joinTarget = nullptr;
    // Outcome of the last wait: join saw the end / sleep was cancelled.
    bool wakeResult = false;
    std::string wakeReason;

    std::vector<Participant*> joiners;

    bool ended = false;       // as Join and HasEnded see it
    bool terminated = false;  // ended through Terminate
    bool abort = false;       // every port call unwinds
    bool exited = false;      // the backing thread is past the body
    // Set while a terminating participant waits for this one to unwind.
    Participant* returnTo = nullptr;

    std::string Label() const { return name + " (#" + std::to_string(id) + ")"; }
};

class SchedulerCore : public std::enable_shared_from_this<SchedulerCore> {
public:
    explicit SchedulerCore(const Scheduler::Options& options)
        : opt_(options), rng_(options.seed) {}

    void Run(std::function<void()> body);

    std::uint64_t NowMs() const {
        std::lock_guard<std::mutex> lk(m_);
        return now_;
    }
    void AdjustCalendarSeconds(std::int64_t delta);
    std::vector<std::string> Trace() const;

    std::uint64_t MonotonicMs();
    std::int64_t CalendarSeconds();
    std::int64_t PerformanceCounter();
    void Sleep(std::uint32_t ms);
    void Preempt();
    std::uint64_t PreemptionCount() const {
        std::lock_guard<std::mutex> lk(m_);
        return preemptions_;
    }
    std::uint64_t Seed() const { return opt_.seed; }
    bool SleepCancellable(std::uint32_t ms, platform::CancelToken& token);

    std::unique_ptr<platform::Thread> Start(std::function<void()> body,
                                            platform::ThreadPriority priority,
                                            const std::string& name);
    std::unique_ptr<platform::Mutex> CreateMutex(const std::string& name);
    std::unique_ptr<platform::CancelToken> CreateCancelToken();
    std::uint32_t CurrentThreadId();

    // Entry points of the handles.
    void Lock(MutexImpl& mx);
    void Unlock(MutexImpl& mx);
    void ForgetMutex(MutexImpl& mx);
    void Cancel(TokenImpl& token);
    bool IsCancelled(const TokenImpl& token) const;
    void ForgetToken(TokenImpl& token);
    bool Join(Participant* target, std::uint32_t timeoutMs);
    void Terminate(Participant* target);
    bool HasEnded(const Participant* target) const;

private:
    using Lock_ = std::unique_lock<std::mutex>;

    Participant* Self() const;
    void RequireNoRun(const char* what) const;
    bool Proceed(Participant* self) const;
    Participant* NewParticipant(std::function<void()> body, platform::ThreadPriority priority,
                                const std::string& name);
    void ThreadMain(Participant* self);
    void Control(Lock_& lk);

    void BlockAndWait(Lock_& lk, Participant* self);
    void Dispatch();
    Participant* PickReady();
    bool AdvanceTime();
    void MakeReady(Participant* p, std::string reason);
    void Detach(Participant* p);
    void MarkEnded(Participant* p);
    void Fail(std::exception_ptr e);

    std::string OwnerLabel(std::uint32_t ownerId) const;
    std::string Describe(const Participant* p) const;
    std::string DescribeAlive() const;
    std::string TraceTail() const;
    void TraceLine(const Participant* p, const std::string& what);
    void TraceScheduler(const std::string& what);
    void AddTrace(std::string line);
    std::uint64_t NextRandom();

    mutable std::mutex m_;
    const Scheduler::Options opt_;
    std::uint64_t now_ = 0;
    std::int64_t calendarOffset_ = 0;

    std::vector<std::unique_ptr<Participant>> participants_;
    std::deque<Participant*> ready_;
    // Who holds the baton; nullptr: the controller (Run's own thread).
    Participant* running_ = nullptr;
    std::condition_variable controllerCv_;

    bool runStarted_ = false;
    bool runActive_ = false;
    bool mainDone_ = false;
    bool aborting_ = false;
    std::exception_ptr failure_;
    std::exception_ptr mainException_;

    std::uint64_t rng_;
    std::uint64_t waitSeq_ = 0;
    std::uint64_t preemptions_ = 0;
    std::uint32_t nextTokenId_ = 1;

    std::deque<std::string> trace_;
    std::uint64_t traceDropped_ = 0;

    friend class MutexImpl;
    friend class TokenImpl;
};

namespace {
thread_local const SchedulerCore* t_core = nullptr;
thread_local Participant* t_self = nullptr;
}  // namespace

class MutexImpl final : public platform::Mutex {
public:
    MutexImpl(std::shared_ptr<SchedulerCore> core, std::string name)
        : core_(std::move(core)), name_(std::move(name)) {}
    ~MutexImpl() override { core_->ForgetMutex(*this); }
    void Lock() override { core_->Lock(*this); }
    void Unlock() override { core_->Unlock(*this); }

    std::shared_ptr<SchedulerCore> core_;
    std::string name_;
    std::uint32_t ownerId_ = kNoOwner;
    std::uint32_t depth_ = 0;
    std::deque<Participant*> waiters_;
};

class TokenImpl final : public platform::CancelToken {
public:
    TokenImpl(std::shared_ptr<SchedulerCore> core, std::uint32_t id)
        : core_(std::move(core)), id_(id) {}
    ~TokenImpl() override { core_->ForgetToken(*this); }
    void Cancel() override { core_->Cancel(*this); }
    bool IsCancelled() const override { return core_->IsCancelled(*this); }

    std::shared_ptr<SchedulerCore> core_;
    std::uint32_t id_;
    bool cancelled_ = false;
    std::vector<Participant*> waiters_;
};

class ThreadHandle final : public platform::Thread {
public:
    // `target` nullptr: a thread that was never started (asked for by an
    // aborted participant); it counts as ended.
    ThreadHandle(std::shared_ptr<SchedulerCore> core, Participant* target)
        : core_(std::move(core)), target_(target) {}
    bool Join(std::uint32_t timeoutMs) override { return core_->Join(target_, timeoutMs); }
    void Terminate() override { core_->Terminate(target_); }
    bool HasEnded() override { return core_->HasEnded(target_); }

private:
    std::shared_ptr<SchedulerCore> core_;
    Participant* target_;
};

// ---------------------------------------------------------------------------
// Bookkeeping helpers (all called with m_ held)

Participant* SchedulerCore::Self() const { return t_core == this ? t_self : nullptr; }

void SchedulerCore::RequireNoRun(const char* what) const {
    if (runActive_) {
        throw std::logic_error(std::string(what) +
                               " called during Scheduler::Run from a thread that is not a participant");
    }
}

// False: the caller is aborted and already unwinding, so the operation returns
// at once without effect. Throws ParticipantAborted when it is aborted and
// not unwinding.
bool SchedulerCore::Proceed(Participant* self) const {
    if (!self->abort && !aborting_) return true;
    if (std::uncaught_exceptions() > 0) return false;
    throw ParticipantAborted{};
}

Participant* SchedulerCore::NewParticipant(std::function<void()> body,
                                           platform::ThreadPriority priority,
                                           const std::string& name) {
    auto p = std::make_unique<Participant>();
    p->id = static_cast<std::uint32_t>(participants_.size() + 1);
    p->name = name;
    p->priority = priority;
    p->body = std::move(body);
    participants_.push_back(std::move(p));
    return participants_.back().get();
}

std::uint64_t SchedulerCore::NextRandom() {
    // splitmix64
    std::uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void SchedulerCore::MakeReady(Participant* p, std::string reason) {
    p->state = Participant::State::Ready;
    p->hasDeadline = false;
    p->waitMutex = nullptr;
    p->waitToken = nullptr;
    p->cancellableSleep = false;
    p->joinTarget = nullptr;
    p->wakeReason = std::move(reason);
    ready_.push_back(p);
}

// Removes `p` from whatever it waits in (or the runnable queue).
void SchedulerCore::Detach(Participant* p) {
    auto erase = [p](auto& container) {
        container.erase(std::remove(container.begin(), container.end(), p), container.end());
    };
    erase(ready_);
    if (p->waitMutex) erase(p->waitMutex->waiters_);
    if (p->waitToken) erase(p->waitToken->waiters_);
    if (p->joinTarget) erase(p->joinTarget->joiners);
    p->hasDeadline = false;
    p->waitMutex = nullptr;
    p->waitToken = nullptr;
    p->joinTarget = nullptr;
}

void SchedulerCore::MarkEnded(Participant* p) {
    p->ended = true;
    p->state = Participant::State::Ended;
    p->hasDeadline = false;
    for (Participant* j : p->joiners) {
        j->wakeResult = true;
        MakeReady(j, "joined " + p->Label());
    }
    p->joiners.clear();
}

void SchedulerCore::Fail(std::exception_ptr e) {
    if (!failure_) {
        failure_ = e;
        const std::string text = ExceptionText(e);
        TraceScheduler("run fails: " + text.substr(0, text.find('\n')));
    }
    aborting_ = true;
}

// ---------------------------------------------------------------------------
// Baton passing

Participant* SchedulerCore::PickReady() {
    if (ready_.empty()) return nullptr;
    std::size_t index = 0;
    if (opt_.seed != 0) index = static_cast<std::size_t>(NextRandom() % ready_.size());
    Participant* p = ready_[index];
    ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(index));
    return p;
}

// Jumps to the earliest deadline and makes everyone due then runnable.
// False (and the run failed) when there is none or it is beyond the limit.
bool SchedulerCore::AdvanceTime() {
    std::vector<Participant*> waiting;
    for (const auto& p : participants_) {
        if (!p->ended && p->hasDeadline) waiting.push_back(p.get());
    }
    if (waiting.empty()) {
        Fail(std::make_exception_ptr(DeadlockError(
            "deadlock at " + std::to_string(now_) +
            " ms: no participant can run and none waits with a time limit\n" + DescribeAlive() +
            TraceTail())));
        return false;
    }
    std::uint64_t earliest = waiting.front()->deadline;
    for (Participant* p : waiting) earliest = std::min(earliest, p->deadline);
    if (earliest > opt_.virtualLimitMs) {
        Fail(std::make_exception_ptr(VirtualTimeLimitExceeded(
            "virtual time limit of " + std::to_string(opt_.virtualLimitMs) +
            " ms exceeded at " + std::to_string(now_) + " ms: the next event is due at " +
            std::to_string(earliest) + " ms\n" + DescribeAlive() + TraceTail())));
        return false;
    }
    if (earliest > now_) {
        TraceScheduler("time advances by " + std::to_string(earliest - now_) + " ms");
        now_ = earliest;
    }
    std::vector<Participant*> due;
    for (Participant* p : waiting) {
        if (p->deadline == earliest) due.push_back(p);
    }
    std::sort(due.begin(), due.end(),
              [](const Participant* a, const Participant* b) { return a->waitSeq < b->waitSeq; });
    for (Participant* p : due) {
        std::string reason;
        if (p->state == Participant::State::Joining) {
            reason = "join of " + p->joinTarget->Label() + " timed out";
        } else {
            reason = p->cancellableSleep ? "cancellable sleep ended" : "sleep ended";
        }
        Detach(p);
        p->wakeResult = false;
        MakeReady(p, std::move(reason));
    }
    return true;
}

// Hands the baton to the next participant (possibly the caller itself), or to
// the controller when the run is being wound down or has just failed.
void SchedulerCore::Dispatch() {
    if (!aborting_) {
        Participant* next = PickReady();
        if (!next && AdvanceTime()) next = PickReady();
        if (next) {
            next->state = Participant::State::Running;
            running_ = next;
            next->cv.notify_one();
            return;
        }
    }
    running_ = nullptr;
    controllerCv_.notify_one();
}

// The caller has recorded what it waits for; gives the baton away and waits
// until it comes back.
void SchedulerCore::BlockAndWait(Lock_& lk, Participant* self) {
    Dispatch();
    while (running_ != self) self->cv.wait(lk);
    if (!self->abort && !aborting_) TraceLine(self, "resumes: " + self->wakeReason);
}

void SchedulerCore::ThreadMain(Participant* self) {
    t_core = this;
    t_self = self;
    Lock_ lk(m_);
    while (running_ != self) self->cv.wait(lk);

    std::exception_ptr error;
    {
        std::function<void()> body = std::move(self->body);
        const bool runBody = !self->abort && !aborting_;
        if (runBody) TraceLine(self, "begins");
        lk.unlock();
        if (runBody) {
            try {
                body();
            } catch (const ParticipantAborted&) {
            } catch (...) {
                error = std::current_exception();
            }
        }
        // The body and its captures go away before the lock is taken again.
    }
    lk.lock();

    self->exited = true;
    if (!self->ended) {
        TraceLine(self, error ? "ends with an exception: " + ExceptionText(error) : "ends");
        MarkEnded(self);
    }
    if (error && !self->abort && !aborting_) {
        if (self->id == 1) {
            mainException_ = error;
        } else {
            Fail(error);
        }
    }

    if (self->id == 1) {
        mainDone_ = true;
        if (mainException_) {
            aborting_ = true;
        } else if (!failure_) {
            std::string alive = DescribeAlive();
            if (!alive.empty()) {
                Fail(std::make_exception_ptr(LeftoverThreadsError(
                    "main returned at " + std::to_string(now_) +
                    " ms while participants had not ended:\n" + alive + TraceTail())));
            }
        }
        running_ = nullptr;
        controllerCv_.notify_one();
    } else if (self->returnTo) {
        Participant* back = self->returnTo;
        self->returnTo = nullptr;
        running_ = back;
        back->cv.notify_one();
    } else {
        Dispatch();
    }
}

// Runs on Run's own thread: waits while participants hold the baton, then
// winds down whoever is left, and keeps the watchdog.
void SchedulerCore::Control(Lock_& lk) {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::milliseconds(
        static_cast<std::int64_t>(std::min<std::uint64_t>(opt_.watchdogRealMs, 1ull << 40)));
    auto limit = Clock::now() + period;
    bool fired = false;
    for (;;) {
        if (running_) {
            if (controllerCv_.wait_until(lk, limit, [this] { return running_ == nullptr; })) continue;
            std::string message = "watchdog: the run took more than " +
                                  std::to_string(opt_.watchdogRealMs) +
                                  " ms of real time; virtual time " + std::to_string(now_) +
                                  " ms, running: " + running_->Label() + "\n" + DescribeAlive() +
                                  TraceTail();
            if (!fired) {
                fired = true;
                Fail(std::make_exception_ptr(WatchdogExpired(message)));
                limit = Clock::now() + period;
                continue;
            }
            std::fprintf(stderr, "sim::Scheduler: %s\n%s has not reached a port operation since; aborting\n",
                         message.c_str(), running_->Label().c_str());
            std::fflush(stderr);
            std::abort();
        }
        if (mainDone_ && !aborting_) return;
        aborting_ = true;
        // Latest started first and main last: threads tend to use what the
        // threads that started them own.
        Participant* next = nullptr;
        for (auto it = participants_.rbegin(); it != participants_.rend(); ++it) {
            if ((*it)->thread.joinable() && !(*it)->exited) {
                next = it->get();
                break;
            }
        }
        if (!next) return;
        if (!next->ended) TraceLine(next, "wound down");
        Detach(next);
        if (!next->ended) next->state = Participant::State::Running;
        next->abort = true;
        running_ = next;
        next->cv.notify_one();
    }
}

// ---------------------------------------------------------------------------
// Diagnostics and trace

std::string SchedulerCore::OwnerLabel(std::uint32_t ownerId) const {
    if (ownerId == kNoOwner) return "nobody";
    if (ownerId == kOutsideId) return "the thread outside the run";
    const Participant* owner = participants_[ownerId - 1].get();
    return owner->Label() + (owner->terminated ? " (terminated)" : "");
}

std::string SchedulerCore::Describe(const Participant* p) const {
    using S = Participant::State;
    const std::string until = p->hasDeadline ? " until " + std::to_string(p->deadline) + " ms"
                                             : " without limit";
    switch (p->state) {
    case S::Ready: return "is runnable";
    case S::Running: return "is running";
    case S::Ended: return "has ended";
    case S::Sleeping:
        if (!p->cancellableSleep) return "sleeps" + until;
        if (!p->waitToken) return "sleeps cancellably on a destroyed token" + until;
        return "sleeps cancellably on token #" + std::to_string(p->waitToken->id_) + until;
    case S::WaitingLock:
        if (!p->waitMutex) return "waits for mutex " + Quoted(p->waitMutexName) + " (destroyed)";
        return "waits for mutex " + Quoted(p->waitMutexName) + " held by " +
               OwnerLabel(p->waitMutex->ownerId_);
    case S::Joining: return "joins " + p->joinTarget->Label() + until;
    }
    return "?";
}

std::string SchedulerCore::DescribeAlive() const {
    std::string text;
    for (const auto& p : participants_) {
        if (!p->ended) text += "  " + p->Label() + " " + Describe(p.get()) + "\n";
    }
    return text;
}

std::string SchedulerCore::TraceTail() const {
    std::string text = "last events:\n";
    const std::size_t n = std::min(trace_.size(), kTraceTailLines);
    for (std::size_t i = trace_.size() - n; i < trace_.size(); ++i) text += "  " + trace_[i] + "\n";
    return text;
}

void SchedulerCore::AddTrace(std::string line) {
    if (opt_.traceLimit == 0) {
        ++traceDropped_;
        return;
    }
    if (trace_.size() >= opt_.traceLimit) {
        trace_.pop_front();
        ++traceDropped_;
    }
    trace_.push_back(std::move(line));
}

void SchedulerCore::TraceLine(const Participant* p, const std::string& what) {
    std::string t = std::to_string(now_);
    if (t.size() < 10) t.insert(0, 10 - t.size(), ' ');
    AddTrace(t + " ms  " + (p ? "#" + std::to_string(p->id) + " " + p->name : "#0 outside") +
             ": " + what);
}

void SchedulerCore::TraceScheduler(const std::string& what) {
    std::string t = std::to_string(now_);
    if (t.size() < 10) t.insert(0, 10 - t.size(), ' ');
    AddTrace(t + " ms  scheduler: " + what);
}

std::vector<std::string> SchedulerCore::Trace() const {
    std::lock_guard<std::mutex> lk(m_);
    std::vector<std::string> out;
    out.reserve(trace_.size() + 1);
    if (traceDropped_ > 0) out.push_back("(" + std::to_string(traceDropped_) + " earlier lines not kept)");
    out.insert(out.end(), trace_.begin(), trace_.end());
    return out;
}

// ---------------------------------------------------------------------------
// Run

void SchedulerCore::Run(std::function<void()> body) {
    Lock_ lk(m_);
    if (Self()) throw std::logic_error("Scheduler::Run called from inside a run");
    if (runStarted_) throw std::logic_error("Scheduler::Run may be called only once per scheduler");
    runStarted_ = true;

    Participant* main = NewParticipant(std::move(body), platform::ThreadPriority::Normal, "main");
    main->state = Participant::State::Running;
    running_ = main;
    try {
        main->thread = std::thread(&SchedulerCore::ThreadMain, this, main);
    } catch (...) {
        running_ = nullptr;
        main->ended = main->exited = true;
        std::function<void()> doomed = std::move(main->body);
        lk.unlock();
        throw;
    }
    runActive_ = true;
    Control(lk);
    lk.unlock();

    for (const auto& p : participants_) {
        if (p->thread.joinable()) p->thread.join();
    }
    lk.lock();
    runActive_ = false;
    if (failure_) std::rethrow_exception(failure_);
    if (mainException_) std::rethrow_exception(mainException_);
}

// ---------------------------------------------------------------------------
// Clock

std::uint64_t SchedulerCore::MonotonicMs() {
    Lock_ lk(m_);
    if (Participant* self = Self()) Proceed(self);
    return opt_.monotonicStartMs + now_;
}

std::int64_t SchedulerCore::CalendarSeconds() {
    Lock_ lk(m_);
    if (Participant* self = Self()) Proceed(self);
    return opt_.calendarStartSeconds + static_cast<std::int64_t>(now_ / 1000) + calendarOffset_;
}

std::int64_t SchedulerCore::PerformanceCounter() {
    Lock_ lk(m_);
    if (Participant* self = Self()) Proceed(self);
    return static_cast<std::int64_t>(opt_.monotonicStartMs + now_) *
           (Scheduler::kPerformanceFrequency / 1000);
}

void SchedulerCore::AdjustCalendarSeconds(std::int64_t delta) {
    Lock_ lk(m_);
    calendarOffset_ += delta;
    TraceLine(Self(), "calendar clock moved by " + std::to_string(delta) + " s");
}

void SchedulerCore::Preempt() {
    if (opt_.seed == 0) return;
    Lock_ lk(m_);
    Participant* self = Self();
    if (!self || !Proceed(self) || ready_.empty()) return;
    MakeReady(self, "scheduling point");
    Participant* next = PickReady();
    if (next == self) {  // the draw kept the caller running
        self->state = Participant::State::Running;
        return;
    }
    ++preemptions_;
    TraceLine(self, "scheduling point");
    next->state = Participant::State::Running;
    running_ = next;
    next->cv.notify_one();
    while (running_ != self) self->cv.wait(lk);
    if (!self->abort && !aborting_) TraceLine(self, "resumes: " + self->wakeReason);
    Proceed(self);
}

void SchedulerCore::Sleep(std::uint32_t ms) {
    Lock_ lk(m_);
    Participant* self = Self();
    if (!self) {
        RequireNoRun("Sleep");
        if (ms == kInfinite) throw DeadlockError("Sleep(INFINITE) outside a run would never return");
        TraceLine(nullptr, "sleep " + std::to_string(ms) + " ms");
        now_ += ms;
        return;
    }
    if (!Proceed(self)) return;
    if (ms == 0) {
        TraceLine(self, "yield");
        MakeReady(self, "yield");
    } else {
        self->state = Participant::State::Sleeping;
        self->hasDeadline = ms != kInfinite;
        self->deadline = now_ + ms;
        self->waitSeq = ++waitSeq_;
        TraceLine(self, ms == kInfinite ? "sleep without limit" : "sleep " + std::to_string(ms) + " ms");
    }
    BlockAndWait(lk, self);
    Proceed(self);
}

bool SchedulerCore::SleepCancellable(std::uint32_t ms, platform::CancelToken& token) {
    auto* tk = dynamic_cast<TokenImpl*>(&token);
    if (!tk || tk->core_.get() != this) {
        throw std::logic_error("SleepCancellable: the token was not created by this scheduler");
    }
    Lock_ lk(m_);
    Participant* self = Self();
    if (!self) {
        RequireNoRun("SleepCancellable");
        if (tk->cancelled_) return true;
        if (ms == kInfinite) {
            throw DeadlockError("SleepCancellable(INFINITE) outside a run would never return");
        }
        TraceLine(nullptr, "cancellable sleep " + std::to_string(ms) + " ms");
        now_ += ms;
        return false;
    }
    if (!Proceed(self)) return true;
    const std::string what = "cancellable sleep on token #" + std::to_string(tk->id_);
    if (tk->cancelled_) {
        TraceLine(self, what + ": already cancelled");
        return true;
    }
    if (ms == 0) return false;
    self->state = Participant::State::Sleeping;
    self->cancellableSleep = true;
    self->waitToken = tk;
    self->hasDeadline = ms != kInfinite;
    self->deadline = now_ + ms;
    self->waitSeq = ++waitSeq_;
    tk->waiters_.push_back(self);
    TraceLine(self, what + (ms == kInfinite ? " without limit" : " " + std::to_string(ms) + " ms"));
    BlockAndWait(lk, self);
    if (!Proceed(self)) return true;
    return self->wakeResult;
}

// ---------------------------------------------------------------------------
// Threads

std::unique_ptr<platform::Thread> SchedulerCore::Start(std::function<void()> body,
                                                       platform::ThreadPriority priority,
                                                       const std::string& name) {
    std::function<void()> doomed;  // destroyed after the lock is released
    Lock_ lk(m_);
    Participant* self = Self();
    if (!self) {
        RequireNoRun("Threads::Start");
        throw std::logic_error("Threads::Start called outside Scheduler::Run");
    }
    if (!Proceed(self)) {
        doomed = std::move(body);
        return std::make_unique<ThreadHandle>(shared_from_this(), nullptr);
    }
    Participant* p = NewParticipant(std::move(body), priority, name);
    try {
        p->thread = std::thread(&SchedulerCore::ThreadMain, this, p);
    } catch (...) {
        p->ended = p->exited = true;
        p->state = Participant::State::Ended;
        doomed = std::move(p->body);
        throw;
    }
    TraceLine(self, "start " + p->Label() + ", priority " + PriorityName(priority));
    MakeReady(p, "started");
    return std::make_unique<ThreadHandle>(shared_from_this(), p);
}

std::unique_ptr<platform::Mutex> SchedulerCore::CreateMutex(const std::string& name) {
    return std::make_unique<MutexImpl>(shared_from_this(), name);
}

std::unique_ptr<platform::CancelToken> SchedulerCore::CreateCancelToken() {
    std::uint32_t id;
    {
        std::lock_guard<std::mutex> lk(m_);
        id = nextTokenId_++;
    }
    return std::make_unique<TokenImpl>(shared_from_this(), id);
}

std::uint32_t SchedulerCore::CurrentThreadId() {
    std::lock_guard<std::mutex> lk(m_);
    Participant* self = Self();
    return self ? self->id : kOutsideId;
}

void SchedulerCore::Lock(MutexImpl& mx) {
    Lock_ lk(m_);
    Participant* self = Self();
    const std::string what = "lock " + Quoted(mx.name_);
    if (!self) {
        RequireNoRun("Mutex::Lock");
        if (mx.ownerId_ == kNoOwner || mx.ownerId_ == kOutsideId) {
            mx.ownerId_ = kOutsideId;
            ++mx.depth_;
            return;
        }
        throw DeadlockError("the thread outside the run would wait forever for mutex " +
                            Quoted(mx.name_) + " held by " + OwnerLabel(mx.ownerId_));
    }
    if (!Proceed(self)) return;
    if (mx.ownerId_ == kNoOwner) {
        mx.ownerId_ = self->id;
        mx.depth_ = 1;
        TraceLine(self, what);
        return;
    }
    if (mx.ownerId_ == self->id) {
        ++mx.depth_;
        TraceLine(self, what + " again, depth " + std::to_string(mx.depth_));
        return;
    }
    TraceLine(self, what + ": waits, held by " + OwnerLabel(mx.ownerId_));
    self->state = Participant::State::WaitingLock;
    self->waitMutex = &mx;
    self->waitMutexName = mx.name_;
    self->waitSeq = ++waitSeq_;
    mx.waiters_.push_back(self);
    BlockAndWait(lk, self);
    Proceed(self);
}

void SchedulerCore::Unlock(MutexImpl& mx) {
    Lock_ lk(m_);
    Participant* self = Self();
    if (!self) {
        RequireNoRun("Mutex::Unlock");
        if (mx.ownerId_ != kOutsideId) {
            throw MutexOwnershipError("the thread outside the run unlocked mutex " +
                                      Quoted(mx.name_) + " held by " + OwnerLabel(mx.ownerId_));
        }
        if (--mx.depth_ == 0) mx.ownerId_ = kNoOwner;
        return;
    }
    if (self->abort || aborting_) return;
    const std::string what = "unlock " + Quoted(mx.name_);
    if (mx.ownerId_ != self->id) {
        TraceLine(self, what + ", held by " + OwnerLabel(mx.ownerId_));
        Fail(std::make_exception_ptr(MutexOwnershipError(
            self->Label() + " unlocked mutex " + Quoted(mx.name_) + " held by " +
            OwnerLabel(mx.ownerId_) + " at " + std::to_string(now_) + " ms\n" + TraceTail())));
        return;
    }
    if (--mx.depth_ > 0) {
        TraceLine(self, what + ", depth " + std::to_string(mx.depth_));
        return;
    }
    if (mx.waiters_.empty()) {
        mx.ownerId_ = kNoOwner;
        TraceLine(self, what);
        return;
    }
    Participant* next = mx.waiters_.front();
    mx.waiters_.pop_front();
    mx.ownerId_ = next->id;
    mx.depth_ = 1;
    next->waitMutex = nullptr;
    TraceLine(self, what + ", handed to " + next->Label());
    MakeReady(next, "got " + Quoted(mx.name_));
}

void SchedulerCore::ForgetMutex(MutexImpl& mx) {
    std::lock_guard<std::mutex> lk(m_);
    for (Participant* p : mx.waiters_) p->waitMutex = nullptr;
    mx.waiters_.clear();
}

void SchedulerCore::Cancel(TokenImpl& tk) {
    Lock_ lk(m_);
    Participant* self = Self();
    if (self && (self->abort || aborting_)) return;
    if (tk.cancelled_) return;
    tk.cancelled_ = true;
    TraceLine(self, "cancel token #" + std::to_string(tk.id_));
    std::vector<Participant*> waiters = std::move(tk.waiters_);
    tk.waiters_.clear();
    for (Participant* p : waiters) {
        p->wakeResult = true;
        MakeReady(p, "token #" + std::to_string(tk.id_) + " cancelled");
    }
}

bool SchedulerCore::IsCancelled(const TokenImpl& tk) const {
    std::lock_guard<std::mutex> lk(m_);
    return tk.cancelled_;
}

void SchedulerCore::ForgetToken(TokenImpl& tk) {
    std::lock_guard<std::mutex> lk(m_);
    for (Participant* p : tk.waiters_) p->waitToken = nullptr;
    tk.waiters_.clear();
}

bool SchedulerCore::Join(Participant* target, std::uint32_t timeoutMs) {
    if (!target) return true;
    Lock_ lk(m_);
    Participant* self = Self();
    if (!self) {
        RequireNoRun("Thread::Join");
        if (target->ended) return true;
        if (timeoutMs == kInfinite) {
            throw DeadlockError("the thread outside the run would wait forever for " +
                                target->Label());
        }
        now_ += timeoutMs;
        return false;
    }
    if (!Proceed(self)) return target->ended;
    const std::string what = "join " + target->Label();
    if (target->ended) {
        TraceLine(self, what + ": has ended");
        return true;
    }
    if (timeoutMs == 0) {
        TraceLine(self, what + ": has not ended");
        return false;
    }
    self->state = Participant::State::Joining;
    self->joinTarget = target;
    self->hasDeadline = timeoutMs != kInfinite;
    self->deadline = now_ + timeoutMs;
    self->waitSeq = ++waitSeq_;
    target->joiners.push_back(self);
    TraceLine(self, what + (timeoutMs == kInfinite ? " without limit"
                                                   : ", limit " + std::to_string(timeoutMs) + " ms"));
    BlockAndWait(lk, self);
    if (!Proceed(self)) return target->ended;
    return self->wakeResult;
}

void SchedulerCore::Terminate(Participant* target) {
    if (!target) return;
    Lock_ lk(m_);
    Participant* self = Self();
    if (!self) {
        RequireNoRun("Thread::Terminate");
        return;  // after a run every participant has ended
    }
    if (!Proceed(self)) return;
    if (target->ended) {
        TraceLine(self, "terminate " + target->Label() + ": has ended");
        return;
    }
    if (target == self) {
        TraceLine(self, "terminates itself");
        MarkEnded(self);
        self->terminated = self->abort = true;
        Proceed(self);
        return;
    }
    TraceLine(self, "terminate " + target->Label());
    Detach(target);
    MarkEnded(target);
    target->terminated = target->abort = true;
    // Wind the target's backing thread down now, while everything it may
    // touch on the way out still exists.
    target->returnTo = self;
    running_ = target;
    target->cv.notify_one();
    while (running_ != self) self->cv.wait(lk);
}

bool SchedulerCore::HasEnded(const Participant* target) const {
    if (!target) return true;
    std::lock_guard<std::mutex> lk(m_);
    return target->ended;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Scheduler

Scheduler::Scheduler() : Scheduler(Options()) {}
Scheduler::Scheduler(const Options& options)
    : core_(std::make_shared<detail::SchedulerCore>(options)) {}
Scheduler::~Scheduler() = default;

void Scheduler::Run(std::function<void()> body) { core_->Run(std::move(body)); }
std::uint64_t Scheduler::NowMs() const { return core_->NowMs(); }
void Scheduler::AdjustCalendarSeconds(std::int64_t deltaSeconds) {
    core_->AdjustCalendarSeconds(deltaSeconds);
}
std::vector<std::string> Scheduler::Trace() const { return core_->Trace(); }

std::uint64_t Scheduler::MonotonicMs() { return core_->MonotonicMs(); }
std::int64_t Scheduler::CalendarSeconds() { return core_->CalendarSeconds(); }
std::int64_t Scheduler::PerformanceCounter() { return core_->PerformanceCounter(); }
std::int64_t Scheduler::PerformanceFrequency() { return kPerformanceFrequency; }
void Scheduler::Sleep(std::uint32_t ms) { core_->Sleep(ms); }
void Scheduler::Preempt() { core_->Preempt(); }
std::uint64_t Scheduler::PreemptionCount() const { return core_->PreemptionCount(); }
std::uint64_t Scheduler::Seed() const { return core_->Seed(); }
bool Scheduler::SleepCancellable(std::uint32_t ms, platform::CancelToken& token) {
    return core_->SleepCancellable(ms, token);
}

std::unique_ptr<platform::Thread> Scheduler::Start(std::function<void()> body,
                                                   platform::ThreadPriority priority,
                                                   const std::string& name) {
    return core_->Start(std::move(body), priority, name);
}
std::unique_ptr<platform::Mutex> Scheduler::CreateMutex(const std::string& name) {
    return core_->CreateMutex(name);
}
std::unique_ptr<platform::CancelToken> Scheduler::CreateCancelToken() {
    return core_->CreateCancelToken();
}
std::uint32_t Scheduler::CurrentThreadId() { return core_->CurrentThreadId(); }

}  // namespace sim
