// The line combiner: every line handed over is written once, in order per
// thread, by one writer at a time; a writer that logs through its own
// combiner does not wait for itself; Flush waits for lines another thread is
// about to write, within its time limit; a full queue holds its senders back.
#include "core/line_combiner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// The file the combiner writes to: what it received, and checks that no
// two batches were ever written at once.
struct Sink {
    std::mutex mutex;
    std::string written;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> batches{0};
    // When set, the first batch waits for `release`.
    bool hold_first = false;
    std::atomic<bool> holding{false};
    std::mutex gate_mutex;
    std::condition_variable gate;
    bool released = false;

    static void write(void* context, const char* data, size_t length) {
        Sink* sink = static_cast<Sink*>(context);
        if (sink->inside.fetch_add(1) != 0)
            sink->overlapped = true;
        if (sink->batches.fetch_add(1) == 0 && sink->hold_first) {
            sink->holding = true;
            std::unique_lock<std::mutex> lock(sink->gate_mutex);
            sink->gate.wait(lock, [sink] { return sink->released; });
        }
        {
            std::lock_guard<std::mutex> lock(sink->mutex);
            sink->written.append(data, length);
        }
        sink->inside.fetch_sub(1);
    }
    void release() {
        std::lock_guard<std::mutex> lock(gate_mutex);
        released = true;
        gate.notify_all();
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(mutex);
        return written;
    }
    void wait_holding() {
        for (int i = 0; i < 5000 && !holding; i++)
            usleep(1000);
        ASSERT_TRUE(holding.load());
    }
};

TEST(LineCombiner, EveryLineOnceInOrderPerThreadOneWriterAtATime) {
    Sink sink;
    LineCombiner combiner(Sink::write, &sink);
    const int threads = 8, lines = 2000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++)
        workers.emplace_back([&combiner, t] {
            for (int i = 0; i < lines; i++) {
                std::string line = std::to_string(t) + " " + std::to_string(i) + "\n";
                combiner.Add(line.data(), line.size());
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_FALSE(sink.overlapped.load());

    std::istringstream text(sink.text());
    std::map<int, int> next;
    int t, i, count = 0;
    while (text >> t >> i) {
        ASSERT_EQ(i, next[t]) << "thread " << t;
        next[t]++;
        count++;
    }
    EXPECT_EQ(count, threads * lines);
}

// A batch writer that logs (a failure to open the file, say) hands its line
// to its own combiner: it is written after the batch, and nobody waits for
// ever.
struct LoggingWriter {
    LineCombiner* combiner = nullptr;
    std::string written;
    static void write(void* context, const char* data, size_t length) {
        LoggingWriter* self = static_cast<LoggingWriter*>(context);
        self->written.append(data, length);
        if (std::string(data, length).find("first") != std::string::npos) {
            self->combiner->Add("from the writer\n", 16);
            EXPECT_FALSE(self->combiner->Flush(100)); // its own lines wait for it
        }
    }
};

TEST(LineCombiner, WriterThatLogsThroughItsOwnCombiner) {
    LoggingWriter writer;
    LineCombiner combiner(LoggingWriter::write, &writer);
    writer.combiner = &combiner;
    combiner.Add("first\n", 6);
    EXPECT_EQ(writer.written, "first\nfrom the writer\n");
}

TEST(LineCombiner, FlushWaitsForTheLinesAnotherThreadWrites) {
    Sink sink;
    sink.hold_first = true;
    LineCombiner combiner(Sink::write, &sink);
    std::thread writer([&] { combiner.Add("held\n", 5); });
    sink.wait_holding();

    // The writer is busy: this line is left to it and Add returns at once.
    combiner.Add("queued\n", 7);
    EXPECT_EQ(sink.text(), "");
    // It cannot be written before the writer goes on: Flush gives up.
    EXPECT_FALSE(combiner.Flush(50));

    std::thread releaser([&] {
        usleep(50000);
        sink.release();
    });
    EXPECT_TRUE(combiner.Flush(5000));
    EXPECT_EQ(sink.text(), "held\nqueued\n");
    writer.join();
    releaser.join();
    EXPECT_TRUE(combiner.Flush(0)); // nothing left
}

TEST(LineCombiner, FullQueueHoldsItsSendersBackUntilTheWriterTakesIt) {
    Sink sink;
    sink.hold_first = true;
    LineCombiner combiner(Sink::write, &sink);
    std::thread writer([&] { combiner.Add("held\n", 5); });
    sink.wait_holding();

    std::string big(LineCombiner::QUEUE_LIMIT, 'x');
    big.back() = '\n';
    combiner.Add(big.data(), big.size()); // fills the queue, returns
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        combiner.Add("after\n", 6);
        returned = true;
    });
    usleep(50000);
    EXPECT_FALSE(returned.load());
    sink.release();
    sender.join();
    writer.join();
    EXPECT_TRUE(combiner.Flush(5000));
    EXPECT_EQ(sink.text(), "held\n" + big + "after\n");
}

} // namespace
