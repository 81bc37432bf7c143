#include "core/line_combiner.h"

#include <time.h>

namespace {

// The combiner whose lines this thread is writing right now, if any.
thread_local const LineCombiner* writing_here = nullptr;

} // namespace

LineCombiner::LineCombiner(BatchWriter write, void* context)
    : write_(write), context_(context), handed_(0), written_(0), writing_(false) {
    pthread_mutex_init(&lock_, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&taken_, &attributes);
    pthread_condattr_destroy(&attributes);
}

LineCombiner::~LineCombiner() {
    pthread_cond_destroy(&taken_);
    pthread_mutex_destroy(&lock_);
}

void LineCombiner::WriteQueued() {
    const LineCombiner* outer = writing_here;
    writing_here = this;
    while (!queued_.empty()) {
        batch_.swap(queued_);
        pthread_cond_broadcast(&taken_);
        pthread_mutex_unlock(&lock_);
        write_(context_, batch_.data(), batch_.size());
        pthread_mutex_lock(&lock_);
        written_ += batch_.size();
        batch_.clear();
        pthread_cond_broadcast(&taken_);
    }
    writing_ = false;
    pthread_cond_broadcast(&taken_);
    writing_here = outer;
}

void LineCombiner::Add(const char* line, size_t length) {
    pthread_mutex_lock(&lock_);
    if (writing_here != this) {
        while (writing_ && queued_.size() >= QUEUE_LIMIT)
            pthread_cond_wait(&taken_, &lock_);
    }
    queued_.append(line, length);
    handed_ += length;
    if (!writing_) {
        writing_ = true;
        WriteQueued();
    }
    pthread_mutex_unlock(&lock_);
}

bool LineCombiner::Flush(int timeout_ms) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&lock_);
    uint64_t target = handed_;
    bool done = true;
    if (writing_here == this) {
        // Called from inside this combiner's own batch writer: what is
        // queued goes out when it returns.
        done = written_ + batch_.size() >= target && queued_.empty();
    } else {
        while (written_ < target && writing_) {
            if (pthread_cond_timedwait(&taken_, &lock_, &deadline) != 0 && written_ < target &&
                writing_) {
                done = false;
                break;
            }
        }
        if (done && written_ < target) {
            writing_ = true;
            WriteQueued();
        }
    }
    pthread_mutex_unlock(&lock_);
    return done;
}
