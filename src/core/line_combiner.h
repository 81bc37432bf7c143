// LineCombiner: many threads append lines to one log file with few writes
// and without waiting for each other.
//
// A thread hands its line to Add, which pushes it onto a queue without a
// lock. When no thread is writing, it becomes the writer: it passes
// everything queued (its own line and the lines others handed over
// meanwhile) to the batch writer in one call, then what was queued during
// that call, and so on until the queue is empty. A thread that comes while
// a writer is at work queues its line and returns at once: the writer takes
// it. So a line is written by the time its Add returns, or by the writer at
// work; one system call serves many lines; a thread alone on the log writes
// its own line before Add returns; lines keep the order in which they were
// queued.
//
// Nobody sleeps on a writer or on a lock to log: a thread the scheduler
// preempts while it queues or writes holds up no other thread's request.
// A writer writes more than its own batch only when lines came during its
// last write, so its turn ends as soon as the lines stop outpacing one
// write. The lock below only serves the sleepers of the rare paths (Flush,
// and senders held back by a full queue).
//
// The batch writer runs without any lock; it receives whole lines only, and
// may itself call Add of any combiner: a line it adds to its own combiner is
// written in a further batch before its writer returns.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>

class LineCombiner {
public:
    typedef void (*BatchWriter)(void* context, const char* data, size_t length);
    // A queue this full makes further lines wait until a writer takes it.
    static constexpr size_t QUEUE_LIMIT = 1 << 20;

    LineCombiner(BatchWriter write, void* context);
    ~LineCombiner();
    LineCombiner(const LineCombiner&) = delete;
    LineCombiner& operator=(const LineCombiner&) = delete;

    // Throws std::bad_alloc when the line cannot be queued.
    void Add(const char* line, size_t length);
    // Waits until every line handed over so far has been passed to the
    // batch writer, writing them itself when no writer is at work; gives up
    // after timeout_ms (false), and at once inside the batch writer. For
    // the ends of the process.
    bool Flush(int timeout_ms);

private:
    struct Line; // a queued line, in its own allocation

    enum State { IDLE, WRITING };

    // Writes as the writer (state_ WRITING and the role this thread's)
    // until the queue is empty, and leaves the role.
    void WriteAsWriter();
    // Passes the lines taken off the queue to the batch writer, oldest
    // first, and frees them.
    void WriteTaken(Line* newest_first);
    void Push(const char* line, size_t length);
    // Wakes the sleepers, if any, to look at the counters again.
    void WakeWaiters();

    BatchWriter write_;
    void* context_;
    std::atomic<Line*> queue_;         // newest first
    std::atomic<int> state_;           // State
    std::atomic<uint64_t> queued_;     // bytes on the queue
    std::atomic<uint64_t> handed_;     // bytes ever handed over
    std::atomic<uint64_t> written_;    // bytes ever passed to the batch writer
    std::atomic<int> waiters_;         // threads sleeping on waited_cond_
    pthread_mutex_t lock_;
    pthread_cond_t waited_cond_; // a batch was written, or the writer left
    std::string batch_;   // the writer's
    size_t batch_length_; // bytes of the batch being written (the writer's)
};
