#include "core/line_combiner.h"

#include <time.h>

namespace {

// The combiner whose batch this thread is writing right now, if any.
thread_local const LineCombiner* writing_here = nullptr;

} // namespace

LineCombiner::LineCombiner(BatchWriter write, void* context)
    : write_(write), context_(context), handed_(0), written_(0), writing_(false),
      writer_running_(false), writer_sleeping_(false), writer_stopping_(false), writer_() {
    pthread_mutex_init(&lock_, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&written_cond_, &attributes);
    pthread_cond_init(&work_cond_, &attributes);
    pthread_condattr_destroy(&attributes);
}

LineCombiner::~LineCombiner() {
    StopWriter();
    pthread_cond_destroy(&work_cond_);
    pthread_cond_destroy(&written_cond_);
    pthread_mutex_destroy(&lock_);
}

void LineCombiner::WriteQueued() {
    const LineCombiner* outer = writing_here;
    writing_here = this;
    while (!queued_.empty()) {
        batch_.swap(queued_);
        pthread_mutex_unlock(&lock_);
        write_(context_, batch_.data(), batch_.size());
        pthread_mutex_lock(&lock_);
        written_ += batch_.size();
        batch_.clear();
        pthread_cond_broadcast(&written_cond_);
    }
    writing_ = false;
    writing_here = outer;
    pthread_cond_broadcast(&written_cond_);
}

void* LineCombiner::WriterMain(void* self) {
    LineCombiner* combiner = static_cast<LineCombiner*>(self);
    pthread_mutex_lock(&combiner->lock_);
    for (;;) {
        while ((combiner->queued_.empty() || combiner->writing_) && !combiner->writer_stopping_) {
            combiner->writer_sleeping_ = true;
            pthread_cond_wait(&combiner->work_cond_, &combiner->lock_);
            combiner->writer_sleeping_ = false;
        }
        if (combiner->queued_.empty() && combiner->writer_stopping_)
            break;
        if (combiner->writing_) {
            // Stopping while a caller writes: its batch may leave lines
            // for this thread.
            pthread_cond_wait(&combiner->written_cond_, &combiner->lock_);
            continue;
        }
        combiner->writing_ = true;
        combiner->WriteQueued();
    }
    pthread_mutex_unlock(&combiner->lock_);
    return nullptr;
}

bool LineCombiner::StartWriter() {
    pthread_mutex_lock(&lock_);
    bool started = writer_running_;
    if (!started && !writer_stopping_) {
        writer_stopping_ = false;
        started = pthread_create(&writer_, nullptr, WriterMain, this) == 0;
        writer_running_ = started;
    }
    pthread_mutex_unlock(&lock_);
    return started;
}

void LineCombiner::StopWriter() {
    pthread_mutex_lock(&lock_);
    if (!writer_running_) {
        pthread_mutex_unlock(&lock_);
        return;
    }
    // Callers write themselves from now on; the thread writes what is
    // queued and ends.
    writer_running_ = false;
    writer_stopping_ = true;
    pthread_cond_signal(&work_cond_);
    pthread_mutex_unlock(&lock_);
    pthread_join(writer_, nullptr);
    pthread_mutex_lock(&lock_);
    writer_stopping_ = false;
    pthread_mutex_unlock(&lock_);
}

void LineCombiner::Add(const char* line, size_t length) {
    pthread_mutex_lock(&lock_);
    if (writing_here != this) {
        while (queued_.size() >= QUEUE_LIMIT && (writing_ || writer_running_))
            pthread_cond_wait(&written_cond_, &lock_);
    }
    queued_.append(line, length);
    handed_ += length;
    if (writer_running_) {
        if (writer_sleeping_)
            pthread_cond_signal(&work_cond_);
    } else if (writing_here != this) {
        // No writer thread yet: this thread writes, or waits for the one
        // writing to take its line.
        uint64_t mine = handed_;
        while (written_ < mine) {
            if (!writing_) {
                writing_ = true;
                WriteQueued();
            } else {
                pthread_cond_wait(&written_cond_, &lock_);
            }
        }
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
        // Inside this combiner's own batch writer: what is queued goes out
        // when it returns.
        done = written_ + batch_.size() >= target;
    } else {
        while (written_ < target) {
            if (!writing_ && !writer_running_) {
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
