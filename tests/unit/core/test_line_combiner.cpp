// The line combiner: every line handed over is written once, in order per
// thread, by one writer at a time; a thread alone writes its own line
// before Add returns; a thread that comes while a writer works returns at
// once and the writer writes its line; a writer that logs through its own
// combiner does not wait for itself; a full queue holds its senders back;
// Flush gives up within its time limit.
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
    // Batches (numbered from 1) that wait for `release` before they are
    // written: the first `hold_batches` of them.
    int hold_batches = 0;
    std::atomic<int> holding{0}; // the number of the batch waiting, 0: none
    std::mutex gate_mutex;
    std::condition_variable gate;
    int released = 0; // batches allowed to go on

    static void write(void* context, const char* data, size_t length) {
        Sink* sink = static_cast<Sink*>(context);
        if (sink->inside.fetch_add(1) != 0)
            sink->overlapped = true;
        int number = sink->batches.fetch_add(1) + 1;
        if (number <= sink->hold_batches) {
            sink->holding = number;
            std::unique_lock<std::mutex> lock(sink->gate_mutex);
            sink->gate.wait(lock, [sink, number] { return sink->released >= number; });
            sink->holding = 0;
        }
        {
            std::lock_guard<std::mutex> lock(sink->mutex);
            sink->written.append(data, length);
        }
        sink->inside.fetch_sub(1);
    }
    void release() {
        std::lock_guard<std::mutex> lock(gate_mutex);
        released++;
        gate.notify_all();
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(mutex);
        return written;
    }
    void wait_holding(int number) {
        for (int i = 0; i < 5000 && holding != number; i++)
            usleep(1000);
        ASSERT_EQ(holding.load(), number);
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
    EXPECT_TRUE(combiner.Flush(0)); // nothing left behind
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

TEST(LineCombiner, AThreadAloneWritesItsLineBeforeAddReturns) {
    Sink sink;
    LineCombiner combiner(Sink::write, &sink);
    combiner.Add("one\n", 4);
    EXPECT_EQ(sink.text(), "one\n");
    combiner.Add("two\n", 4);
    EXPECT_EQ(sink.text(), "one\ntwo\n");
    EXPECT_EQ(sink.batches.load(), 2);
}

// A batch writer that logs (a failure to open the file, say) hands its line
// to its own combiner: it is written in a further batch before its writer
// returns, and nobody waits for ever.
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

// Threads that come while the writer is at work leave their lines to it
// and return at once, whichever of its batches it is on; it writes them
// before it returns. Flush gives up while nothing can be written.
TEST(LineCombiner, ThreadsThatComeWhileAWriterWorksReturnAtOnce) {
    Sink sink;
    sink.hold_batches = 2;
    LineCombiner combiner(Sink::write, &sink);
    std::thread writer([&] { combiner.Add("held\n", 5); });
    sink.wait_holding(1);

    std::thread early([&] { combiner.Add("early\n", 6); });
    early.join(); // returns while the first batch is still held
    EXPECT_EQ(sink.text(), "");
    EXPECT_FALSE(combiner.Flush(50));

    sink.release();
    sink.wait_holding(2); // the writer's second batch: the early line
    // One after the other, so that their order is known: neither waits for
    // the held batch.
    std::thread late([&] { combiner.Add("late\n", 5); });
    late.join();
    std::thread later([&] { combiner.Add("later\n", 6); });
    later.join();
    EXPECT_EQ(sink.text(), "held\n");

    sink.release();
    writer.join(); // the writer's third batch: both late lines
    EXPECT_EQ(sink.text(), "held\nearly\nlate\nlater\n");
    EXPECT_EQ(sink.batches.load(), 3);
    EXPECT_TRUE(combiner.Flush(0));
}

TEST(LineCombiner, FullQueueHoldsItsSendersBackUntilAWriterTakesIt) {
    Sink sink;
    sink.hold_batches = 1;
    LineCombiner combiner(Sink::write, &sink);
    std::thread writer([&] { combiner.Add("held\n", 5); });
    sink.wait_holding(1);

    std::string big(LineCombiner::QUEUE_LIMIT, 'x');
    big.back() = '\n';
    combiner.Add(big.data(), big.size()); // left to the writer: returns
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
