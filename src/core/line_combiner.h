// LineCombiner: many threads append lines to one log file without waiting
// for each other's writes.
//
// Until StartWriter, Add writes through the batch writer itself, one thread
// at a time, lines that came meanwhile going with it (start-up, before the
// process detaches: a thread would not survive the fork). From StartWriter
// on, a writer thread of the combiner's own does every write: Add queues the
// line, wakes the writer if it sleeps, and returns; the writer passes
// everything queued to the batch writer in one call, again and again. Lines
// keep the order in which they were handed over. The queue holds about
// QUEUE_LIMIT bytes: a thread that finds it fuller waits until the writer
// takes it. Flush waits for what was handed over before it; the ends of the
// process call it.
//
// The batch writer runs without the combiner's lock; it receives whole lines
// only, and may itself call Add of any combiner (a line it adds to its own is
// written in the next batch).
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
    // Stops the writer thread first (the logs' combiners are never
    // destroyed: they live as long as the process).
    ~LineCombiner();
    LineCombiner(const LineCombiner&) = delete;
    LineCombiner& operator=(const LineCombiner&) = delete;

    void Add(const char* line, size_t length);
    // Starts the writer thread (once; false when it cannot be started, and
    // Add keeps writing itself).
    bool StartWriter();
    // Writes what is queued and ends the writer thread; Add writes itself
    // again from then on.
    void StopWriter();
    // Waits until every line handed over so far has been passed to the
    // batch writer, writing them itself when no writer runs; gives up after
    // timeout_ms (false), and at once inside the batch writer.
    bool Flush(int timeout_ms);

private:
    static void* WriterMain(void* self);
    void WriteQueued(); // lock held on entry and on return; writing_ set

    BatchWriter write_;
    void* context_;
    pthread_mutex_t lock_;
    pthread_cond_t work_cond_;    // lines wait for the sleeping writer thread
    pthread_cond_t written_cond_; // a batch was written
    std::string queued_;
    std::string batch_; // the writer's, outside the lock
    uint64_t handed_;  // bytes ever handed over
    uint64_t written_; // bytes ever passed to the batch writer
    bool writing_;
    bool writer_running_;
    bool writer_sleeping_;
    bool writer_stopping_;
    pthread_t writer_;
};
