#include "core/line_combiner.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <new>

#include "core/compat.h"

struct LineCombiner::Line {
    Line* older;
    size_t length;
    char* text() { return reinterpret_cast<char*>(this + 1); }
};

namespace {

// The combiner whose batch this thread is writing right now, if any.
thread_local const LineCombiner* writing_here = nullptr;

} // namespace

LineCombiner::LineCombiner(BatchWriter write, void* context)
    : write_(write), context_(context), queue_(nullptr), state_(IDLE), queued_(0), handed_(0),
      written_(0), waiters_(0), batch_length_(0) {
    pthread_mutex_init(&lock_, nullptr);
    p_cond_init_monotonic(&waited_cond_);
}

LineCombiner::~LineCombiner() {
    Line* line = queue_.exchange(nullptr);
    while (line != nullptr) {
        Line* older = line->older;
        free(line);
        line = older;
    }
    pthread_cond_destroy(&waited_cond_);
    pthread_mutex_destroy(&lock_);
}

void LineCombiner::Push(const char* text, size_t length) {
    Line* line = static_cast<Line*>(malloc(sizeof(Line) + length));
    if (line == nullptr)
        throw std::bad_alloc();
    line->length = length;
    memcpy(line->text(), text, length);
    // Counted as queued before it is (a writer subtracts it once taken), as
    // handed over once it is (Flush waits only for lines it can reach).
    queued_ += length;
    line->older = queue_.load(std::memory_order_relaxed);
    while (!queue_.compare_exchange_weak(line->older, line))
        ;
    handed_ += length;
}

void LineCombiner::WakeWaiters() {
    if (waiters_.load() == 0)
        return;
    pthread_mutex_lock(&lock_);
    pthread_cond_broadcast(&waited_cond_);
    pthread_mutex_unlock(&lock_);
}

void LineCombiner::WriteTaken(Line* newest_first) {
    Line* oldest_first = nullptr;
    size_t length = 0;
    while (newest_first != nullptr) {
        Line* older = newest_first->older;
        newest_first->older = oldest_first; // now: the next newer
        oldest_first = newest_first;
        length += newest_first->length;
        newest_first = older;
    }
    batch_.clear();
    batch_.reserve(length);
    while (oldest_first != nullptr) {
        Line* newer = oldest_first->older;
        batch_.append(oldest_first->text(), oldest_first->length);
        free(oldest_first);
        oldest_first = newer;
    }
    queued_ -= length;
    batch_length_ = length;
    write_(context_, batch_.data(), batch_.size());
    written_ += length;
    batch_length_ = 0;
    WakeWaiters();
}

void LineCombiner::WriteAsWriter() {
    const LineCombiner* outer = writing_here;
    writing_here = this;
    for (;;) {
        Line* taken = queue_.exchange(nullptr);
        if (taken != nullptr) {
            WriteTaken(taken);
            continue;
        }
        // A thread that queued its line after the look above and saw a
        // writer at work left it to this one: the role goes, the queue is
        // looked at once more, and the role taken back for what is there,
        // unless another thread took it first (which then writes it).
        state_.store(IDLE);
        WakeWaiters();
        int idle = IDLE;
        if (queue_.load() == nullptr || !state_.compare_exchange_strong(idle, WRITING))
            break;
    }
    writing_here = outer;
}

void LineCombiner::Add(const char* line, size_t length) {
    if (writing_here == this) {
        // From the batch writer: its writer takes it in a further batch.
        Push(line, length);
        return;
    }
    if (queued_.load() >= QUEUE_LIMIT && state_.load() != IDLE) {
        pthread_mutex_lock(&lock_);
        waiters_++;
        while (queued_.load() >= QUEUE_LIMIT && state_.load() != IDLE)
            pthread_cond_wait(&waited_cond_, &lock_);
        waiters_--;
        pthread_mutex_unlock(&lock_);
    }
    Push(line, length);
    int idle = IDLE;
    if (state_.compare_exchange_strong(idle, WRITING))
        WriteAsWriter();
}

bool LineCombiner::Flush(int timeout_ms) {
    uint64_t target = handed_.load();
    if (writing_here == this) {
        // Inside this combiner's own batch writer: what is queued goes out
        // when it returns.
        return written_.load() + batch_length_ >= target;
    }
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (written_.load() >= target)
            return true;
        int idle = IDLE;
        if (state_.compare_exchange_strong(idle, WRITING)) {
            WriteAsWriter();
            continue;
        }
        pthread_mutex_lock(&lock_);
        waiters_++;
        int waited = 0;
        while (written_.load() < target && state_.load() != IDLE && waited == 0)
            waited = pthread_cond_timedwait(&waited_cond_, &lock_, &deadline);
        waiters_--;
        pthread_mutex_unlock(&lock_);
        if (waited != 0)
            return written_.load() >= target;
    }
}
