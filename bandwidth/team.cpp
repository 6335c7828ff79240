// SPDX-License-Identifier: MIT
/*
 * team.cpp -- the pinned threads that measure the bandwidth: each pins
 * itself, maps and first touches its own buffer, and waits for commands;
 * a point starts them all together and times them from the common start to
 * the last one's end.
 */
#include "bandwidth/bandwidth.h"
#include "bandwidth/forms.h"
#include "machine/cpu.h"

#include "clock/clock.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <time.h>


#include <algorithm>
#include <cmath>
#include <iterator>
#include <system_error>

namespace bandwidth {

/* ====================== Readings ====================== */

static uint64_t counter_now()
{
    unsigned hi = 0;
    unsigned lo = 0;
    access_counter(&hi, &lo);
    return (uint64_t)hi << 32 | lo;
}

static uint64_t raw_ns()
{
    struct timespec t {
    };
    clock_gettime(CLOCK_MONOTONIC_RAW, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

uint64_t Team::now() const
{
    return timer_ == Timer::counter ? counter_now() : raw_ns();
}

double Team::seconds(uint64_t from, uint64_t to) const
{
    if (to <= from)
        return 0.0;
    double span = (double)(to - from);
    return timer_ == Timer::counter ? span / (mhz_ * 1e6) : span / 1e9;
}

/* ====================== The team ====================== */

/* The signals that end a session (Ctrl-C among them) wait while the team's
 * threads are made, so that they inherit a mask that blocks them: the
 * handlers (the record's file removed, the signal raised again) assume the
 * thread that started the session, and only it may take them.  The
 * creator's own mask comes back afterwards. */
namespace {
class EndingSignalsBlocked {
public:
    EndingSignalsBlocked()
    {
        sigset_t ending;
        sigemptyset(&ending);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaddset(&ending, sig);
        pthread_sigmask(SIG_BLOCK, &ending, &old_);
    }
    ~EndingSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    EndingSignalsBlocked(const EndingSignalsBlocked &) = delete;
    EndingSignalsBlocked &operator=(const EndingSignalsBlocked &) = delete;

private:
    sigset_t old_;
};
}  // namespace

Team::Team(const std::vector<int> &cpus, Machine machine, Timer timer, double mhz)
    : cpus_(cpus), machine_(std::move(machine)), timer_(timer), mhz_(mhz)
{
    if (timer_ == Timer::counter && !(mhz_ > 0.0)) {
        error_ = "the counter's rate is unknown";
        return;
    }
    for (int cpu : cpus_) {
        members_.push_back(std::make_unique<Member>());
        members_.back()->cpu = cpu;
    }
    command_.op = Op::pin;
    generation_ = 1;
    pending_ = (int)members_.size();
    {
        EndingSignalsBlocked blocked;
        for (size_t i = 0; i < members_.size(); i++) {
            try {
                members_[i]->thread = std::thread(&Team::work, this, i);
            } catch (const std::system_error &e) {
                /* The threads not started won't answer. */
                std::lock_guard<std::mutex> hold(mutex_);
                pending_ -= (int)(members_.size() - i);
                members_[i]->error = std::string("can't start a thread: ") + e.what();
                break;
            }
        }
    }
    wait_done();
    error_ = first_error();
}

Team::~Team()
{
    if (loading_)
        stop_load();
    Command quit;
    quit.op = Op::quit;
    post(quit);
    for (const auto &m : members_)
        if (m->thread.joinable())
            m->thread.join();
}

std::string Team::first_error() const
{
    auto failed = std::find_if(members_.begin(), members_.end(), [](const auto &m) { return !m->error.empty(); });
    return failed == members_.end() ? "" : (*failed)->error;
}

void Team::post(const Command &command)
{
    std::lock_guard<std::mutex> hold(mutex_);
    command_ = command;
    generation_++;
    command_.token = generation_;
    pending_ = (int)std::count_if(members_.begin(), members_.end(),
                                   [](const auto &m) { return m->thread.joinable(); });
    runners_ = pending_;
    work_cv_.notify_all();
}

void Team::wait_done()
{
    std::unique_lock<std::mutex> hold(mutex_);
    done_cv_.wait(hold, [this] { return pending_ == 0; });
}

bool Team::run_all(const Command &command)
{
    post(command);
    wait_done();
    error_ = first_error();
    return error_.empty();
}

/* work is a thread's life: pinned first, then one command at a time until
 * told to quit. */
void Team::work(size_t index)
{
    Member &m = *members_[index];
    uint64_t seen = 0;
    for (;;) {
        Command c;
        {
            std::unique_lock<std::mutex> hold(mutex_);
            work_cv_.wait(hold, [&] { return generation_ != seen; });
            seen = generation_;
            c = command_;
        }
        if (c.op == Op::quit) {
            if (m.buffer != nullptr)
                machine_.unmap(m.buffer, m.mapped);
            return;
        }
        run_member(m, index, c);
        std::lock_guard<std::mutex> hold(mutex_);
        if (--pending_ == 0)
            done_cv_.notify_all();
    }
}

bool Team::ensure_buffer(Member &m, size_t bytes) const
{
    if (!m.error.empty())
        return false;
    if (m.mapped >= bytes)
        return true;
    if (m.buffer != nullptr)
        machine_.unmap(m.buffer, m.mapped);
    m.buffer = nullptr;
    m.mapped = 0;
    void *b = machine_.map != nullptr ? machine_.map(bytes) : nullptr;
    if (b == nullptr) {
        m.error = "the thread on CPU " + std::to_string(m.cpu) + " can't map its buffer of " + std::to_string(bytes) +
                  " bytes: " + strerror(machine_.map != nullptr ? errno : EINVAL);
        return false;
    }
    m.buffer = static_cast<char *>(b);
    m.mapped = bytes;
    if (machine_.advise && !machine_.advise(b, bytes)) {
        m.error = "the thread on CPU " + std::to_string(m.cpu) + " can't have its buffer's pages as asked: " +
                  strerror(errno);
        return false;
    }
    /* The first touch, by this thread, on this CPU: every byte written, by
     * the narrowest write, which every processor of the architecture runs. */
    form_of(Kernel::write, isas().front())(b, bytes);
    return true;
}

/* start_together waits until every thread of the start has come; the last
 * to come reads the common start and lets them all go. */
void Team::start_together(uint64_t token)
{
    if (arrived_.fetch_add(1) + 1 == runners_) {
        arrived_.store(0);
        start_ = now();
        released_.store(token, std::memory_order_release);
        return;
    }
    while (released_.load(std::memory_order_acquire) != token)
        machine::spin_pause();
}

void Team::run_member(Member &m, size_t index, const Command &c)
{
    switch (c.op) {
    case Op::pin:
        if (machine_.pin == nullptr || !machine_.pin(m.cpu))
            m.error = "can't pin a thread to CPU " + std::to_string(m.cpu) + ": " +
                      strerror(machine_.pin == nullptr ? EINVAL : errno);
        break;
    case Op::calibrate:
        if (ensure_buffer(m, c.bytes)) {
            m.sink += c.fn(m.buffer, c.bytes);
            uint64_t t0 = now();
            m.sink += c.fn(m.buffer, c.bytes);
            m.call_s = seconds(t0, now());
        }
        break;
    case Op::measure: {
        /* One call before the start, untimed, so that a working set the
         * caches can hold is in them when the window opens, as it is for
         * every later call in it: the points measured in between will
         * have pushed it out. */
        bool ready = ensure_buffer(m, c.bytes);
        if (ready)
            m.sink += c.fn(m.buffer, c.bytes);
        start_together(c.token);
        if (ready)
            for (uint64_t i = 0; i < c.calls; i++)
                m.sink += c.fn(m.buffer, c.bytes);
        m.end = now();
        break;
    }
    case Op::offsets: {
        /* The narrowest of many brackets of system time round a counter
         * reading gives the two clocks' offset on this CPU. */
        double best_gap = 1e18;
        for (int i = 0; i < 200; i++) {
            uint64_t r0 = raw_ns();
            uint64_t t = counter_now();
            uint64_t r1 = raw_ns();
            double gap = (double)(r1 - r0);
            if (gap < best_gap) {
                best_gap = gap;
                m.offset_ns = (double)t / mhz_ * 1000.0 - ((double)r0 + gap / 2.0);
            }
        }
        break;
    }
    case Op::load: {
        if ((int)index < c.spare)
            break;
        const bool loads = ensure_buffer(m, c.bytes);
        begun_.fetch_add(1);
        if (!loads)
            break;
        const uint64_t block = c.block != 0 ? c.block : c.bytes;
        uint64_t at = 0;
        m.start = now();
        do {
            m.sink += c.fn(m.buffer + at, block);
            m.moved.store(m.moved.load(std::memory_order_relaxed) + block, std::memory_order_relaxed);
            at = at + 2 * block <= c.bytes ? at + block : 0;
            /* The delay ends early at a stop, however long it is. */
            for (uint64_t from = counter_now();
                 counter_now() - from < c.delay && !stop_.load(std::memory_order_relaxed);)
                machine::spin_pause();
        } while (!stop_.load(std::memory_order_relaxed));
        m.end = now();
        break;
    }
    case Op::release:
        if (m.buffer != nullptr)
            machine_.unmap(m.buffer, m.mapped);
        m.buffer = nullptr;
        m.mapped = 0;
        break;
    case Op::none:
    case Op::quit:
        break;
    }
}

Point Team::measure(bw_kernel_fn fn, uint64_t bytes)
{
    Point p;
    if (!error_.empty() || loading_ || members_.empty() || fn == nullptr || bytes == 0 || bytes % 1024 != 0) {
        p.error = !error_.empty() ? error_
                                  : "a point needs threads, a kernel and a working set of whole KiB, and no load running";
        return p;
    }
    Command c;
    c.fn = fn;
    c.bytes = bytes;
    const std::pair<bw_kernel_fn, uint64_t> key(fn, bytes);
    auto known = calls_.find(key);
    if (known != calls_.end()) {
        c.calls = known->second;
    } else {
        /* One call each, warm, timed: enough calls for the window, and a
         * fifth more, as the threads together may be slower than alone. */
        c.op = Op::calibrate;
        if (!run_all(c)) {
            p.error = error_;
            return p;
        }
        const double longest =
            std::max(0.0, (*std::max_element(members_.begin(), members_.end(), [](const auto &a, const auto &b) {
                              return a->call_s < b->call_s;
                          }))->call_s);
        c.calls = longest > 0.0 ? (uint64_t)std::ceil(least_window_s * 1.2 / longest) : 1000;
    }
    /* At a new count, a window shorter than asked (a first call slowed
     * down) is measured again with more calls.  The count is then kept:
     * every later measurement of the point does the same work, however
     * fast it goes. */
    const bool fresh = known == calls_.end();
    c.op = Op::measure;
    for (int tries = 0;; tries++) {
        if (!run_all(c)) {
            p.error = error_;
            return p;
        }
        const uint64_t last = (*std::max_element(members_.begin(), members_.end(), [](const auto &a, const auto &b) {
                                  return a->end < b->end;
                              }))->end;
        p.seconds = seconds(start_, last);
        if (p.seconds >= least_window_s || !fresh || tries == 3)
            break;
        double scale = p.seconds > 0.0 ? least_window_s * 1.2 / p.seconds : 2.0;
        c.calls = (uint64_t)std::ceil((double)c.calls * std::min(scale, 1000.0));
    }
    calls_[key] = c.calls;
    p.calls = c.calls;
    double moved = (double)bytes * (double)c.calls * (double)members_.size();
    p.gbs = p.seconds > 0.0 ? moved / p.seconds / 1e9 : 0.0;
    return p;
}

std::vector<double> Team::counter_offsets()
{
    std::vector<double> offsets;
    if (!error_.empty() || loading_ || !(mhz_ > 0.0))
        return offsets;
    Command c;
    c.op = Op::offsets;
    post(c);
    wait_done();
    std::transform(members_.begin(), members_.end(), std::back_inserter(offsets),
                   [](const auto &m) { return m->offset_ns; });
    return offsets;
}

void Team::start_load(bw_kernel_fn fn, uint64_t bytes, uint64_t delay, int spare, uint64_t block)
{
    if (!error_.empty() || loading_ || fn == nullptr || bytes == 0 || bytes % 1024 != 0 || block % 1024 != 0 ||
        block > bytes)
        return;
    Command c;
    c.op = Op::load;
    c.fn = fn;
    c.bytes = bytes;
    c.delay = delay;
    c.block = block;
    c.spare = spare;
    stop_.store(false);
    begun_.store(0);
    /* Every thread is idle here: the counts start afresh before any
     * thread, loader or spare, takes the command, so that a mark never
     * sees the last load's. */
    for (const auto &m : members_)
        m->moved.store(0);
    loading_ = true;
    post(c);
    /* Back only when every loader has its buffer and is loading, so that
     * what the caller then times runs under the whole load.  The spare
     * threads share the caller's CPUs: it yields to them. */
    int loaders = 0;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        loaders = std::max(0, runners_ - spare);
    }
    while (begun_.load() < loaders)
        std::this_thread::yield();
}

Load Team::stop_load()
{
    Load l;
    if (!loading_) {
        l.error = !error_.empty() ? error_ : "no load is running";
        return l;
    }
    stop_.store(true);
    wait_done();
    loading_ = false;
    error_ = first_error();
    if (!error_.empty()) {
        l.error = error_;
        return l;
    }
    uint64_t first = UINT64_MAX;
    uint64_t last = 0;
    for (const auto &m : members_)
        if (m->moved > 0) {
            l.bytes += m->moved;
            first = std::min(first, m->start);
            last = std::max(last, m->end);
        }
    l.seconds = l.bytes > 0 ? seconds(first, last) : 0.0;
    l.gbs = l.seconds > 0.0 ? (double)l.bytes / l.seconds / 1e9 : 0.0;
    return l;
}

LoadMark Team::load_mark() const
{
    LoadMark mark;
    for (const auto &m : members_)
        mark.bytes += m->moved.load(std::memory_order_relaxed);
    mark.time = now();
    return mark;
}

Load Team::load_between(const LoadMark &from, const LoadMark &to) const
{
    Load l;
    l.bytes = to.bytes >= from.bytes ? to.bytes - from.bytes : 0;
    l.seconds = seconds(from.time, to.time);
    l.gbs = l.seconds > 0.0 ? (double)l.bytes / l.seconds / 1e9 : 0.0;
    return l;
}

void Team::release()
{
    if (loading_)
        return;
    Command c;
    c.op = Op::release;
    post(c);
    wait_done();
}

}  // namespace bandwidth
