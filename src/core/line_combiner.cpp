#include "core/line_combiner.h"

#include <time.h>

#include "core/compat.h"

namespace {

// The combiner whose batch this thread is writing right now, if any.
thread_local const LineCombiner* writing_here = nullptr;

} // namespace

LineCombiner::LineCombiner(BatchWriter write, void* context)
    : write_(write), context_(context), handed_(0), written_(0), writing_(false),
      next_writer_waits_(false), handed_over_(false), added_by_writer_(false), rounds_left_(0) {
    pthread_mutex_init(&lock_, nullptr);
    p_cond_init_monotonic(&written_cond_);
}

LineCombiner::~LineCombiner() {
    pthread_cond_destroy(&written_cond_);
    pthread_mutex_destroy(&lock_);
}

void LineCombiner::WriteQueued() {
    const LineCombiner* outer = writing_here;
    writing_here = this;
    rounds_left_ = WRITER_ROUNDS;
    while (!queued_.empty() && (rounds_left_ > 0 || added_by_writer_)) {
        if (rounds_left_ > 0)
            rounds_left_--;
        added_by_writer_ = false;
        batch_.swap(queued_);
        pthread_mutex_unlock(&lock_);
        write_(context_, batch_.data(), batch_.size());
        pthread_mutex_lock(&lock_);
        written_ += batch_.size();
        batch_.clear();
        pthread_cond_broadcast(&written_cond_);
    }
    // What is still queued was handed over after the last batch began: the
    // next writer, waiting for this broadcast, writes it. It gets the role
    // directly, so a thread coming meanwhile cannot take it first and starve
    // it; while it wakes, such threads still leave their lines to it.
    if (next_writer_waits_)
        handed_over_ = true;
    else
        writing_ = false;
    rounds_left_ = 0;
    writing_here = outer;
    pthread_cond_broadcast(&written_cond_);
}

void LineCombiner::Add(const char* line, size_t length) {
    pthread_mutex_lock(&lock_);
    if (writing_here == this) {
        queued_.append(line, length);
        handed_ += length;
        added_by_writer_ = true;
        pthread_mutex_unlock(&lock_);
        return;
    }
    while (writing_ && queued_.size() >= QUEUE_LIMIT)
        pthread_cond_wait(&written_cond_, &lock_);
    queued_.append(line, length);
    handed_ += length;
    // A writer at work with a batch still ahead, or the next writer, takes
    // this line.
    if (writing_ && (rounds_left_ > 0 || next_writer_waits_)) {
        pthread_mutex_unlock(&lock_);
        return;
    }
    if (writing_) {
        next_writer_waits_ = true;
        while (!handed_over_)
            pthread_cond_wait(&written_cond_, &lock_);
        handed_over_ = false;
        next_writer_waits_ = false;
    } else {
        writing_ = true;
    }
    WriteQueued();
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
        // Inside this combiner's own batch writer: what is queued goes out
        // when it returns.
        done = written_ + batch_.size() >= target;
    } else {
        while (written_ < target) {
            if (!writing_) {
                writing_ = true;
                WriteQueued();
            } else if (pthread_cond_timedwait(&written_cond_, &lock_, &deadline) != 0 &&
                       written_ < target) {
                done = false;
                break;
            }
        }
    }
    pthread_mutex_unlock(&lock_);
    return done;
}
