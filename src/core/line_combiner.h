// LineCombiner: many threads append lines to one log file with few writes
// and short waits.
//
// A thread hands its line to Add. When no thread is writing, it becomes the
// writer: it passes everything queued (its own line and the lines others
// handed over meanwhile) to the batch writer in one call, and then, once
// more, what was queued during that call. A thread that comes while the
// writer still has that second batch ahead queues its line and returns at
// once: the writer takes it. The first thread that comes later becomes the
// next writer: it queues its line, waits until the writer is done and then
// writes what is queued, in the same two batches. Threads that come while a
// next writer waits queue their line and return at once: the next writer
// takes it. The writer hands its role straight to the next writer, so no
// thread that comes meanwhile can take it first and the next writer never
// waits more than one writer's turn. So a line is written by the time its
// Add returns, or by the writer at work or the next writer; no thread
// writes more than two batches of others' lines; at most one thread a
// combiner sleeps waiting for a writer, so a busy log costs its senders no
// wake-ups; one system call serves many lines; a thread alone on the log
// writes its own line before Add returns. Lines keep the order in which
// they were handed over.
//
// The batch writer runs without the combiner's lock; it receives whole lines
// only, and may itself call Add of any combiner: a line it adds to its own
// combiner is written in a further batch before its writer returns.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

class LineCombiner {
public:
    typedef void (*BatchWriter)(void* context, const char* data, size_t length);
    // A queue this full makes further lines wait until a writer takes it.
    static constexpr size_t QUEUE_LIMIT = 1 << 20;
    // Batches one writer writes at most (beyond lines it adds itself).
    static constexpr int WRITER_ROUNDS = 2;

    LineCombiner(BatchWriter write, void* context);
    ~LineCombiner();
    LineCombiner(const LineCombiner&) = delete;
    LineCombiner& operator=(const LineCombiner&) = delete;

    void Add(const char* line, size_t length);
    // Waits until every line handed over so far has been passed to the
    // batch writer, writing them itself when no writer is at work; gives up
    // after timeout_ms (false), and at once inside the batch writer. For
    // the ends of the process.
    bool Flush(int timeout_ms);

private:
    void WriteQueued(); // lock held on entry and on return; writing_ set

    BatchWriter write_;
    void* context_;
    pthread_mutex_t lock_;
    pthread_cond_t written_cond_; // a batch was written, or the writer stopped
    std::string queued_;
    std::string batch_; // the writer's, outside the lock
    uint64_t handed_;  // bytes ever handed over
    uint64_t written_; // bytes ever passed to the batch writer
    bool writing_;
    bool next_writer_waits_; // a thread waits to write after the writer at work
    bool handed_over_;       // the writer at work ended and left writing_ to it
    bool added_by_writer_; // the batch writer added lines of its own
    int rounds_left_;      // batches the writer at work may still write
};
