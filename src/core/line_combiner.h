// LineCombiner: many threads append lines to one log file with few writes
// and without waiting for each other's writes.
//
// A thread hands its line to Add. When no thread is writing, it becomes the
// writer: it takes everything queued (its own line included) and passes it
// to the batch writer, again and again until the queue is empty. A thread
// that finds a writer at work leaves its line in the queue for that writer
// and returns at once. Lines keep the order in which they were handed over,
// and every line handed over is written before its writer stops; only the
// end of the process can come between (see Flush).
//
// The queue holds about QUEUE_LIMIT bytes: a thread that finds it fuller
// waits until the writer takes it (a writer adding lines of its own, as a
// batch writer that logs does, never waits for itself).
//
// The batch writer runs without the combiner's lock; it receives whole lines
// only, and may itself call Add of any combiner.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

class LineCombiner {
public:
    typedef void (*BatchWriter)(void* context, const char* data, size_t length);
    static constexpr size_t QUEUE_LIMIT = 1 << 20;

    LineCombiner(BatchWriter write, void* context);
    ~LineCombiner();
    LineCombiner(const LineCombiner&) = delete;
    LineCombiner& operator=(const LineCombiner&) = delete;

    void Add(const char* line, size_t length);
    // Waits until every line handed over so far has been passed to the
    // batch writer, writing them itself when no writer is at work; gives up
    // after timeout_ms (false). For the ends of the process, which must not lose lines that
    // another thread was about to write.
    bool Flush(int timeout_ms);

private:
    void WriteQueued(); // lock held on entry and on return; writing set

    BatchWriter write_;
    void* context_;
    pthread_mutex_t lock_;
    pthread_cond_t taken_; // the writer took the queue, wrote a batch or stopped
    std::string queued_;
    std::string batch_; // the writer's, outside the lock
    uint64_t handed_;  // bytes ever handed over
    uint64_t written_; // bytes ever passed to the batch writer
    bool writing_;
};
