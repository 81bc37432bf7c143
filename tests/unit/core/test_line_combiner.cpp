// The line combiner: every line handed over is written once, in order per
// thread, by one writer at a time, with or without its writer thread; before
// the thread starts, a line is written when its Add returns, lines that wait
// together leaving in one batch; with it, Add never waits for a write; a
// batch writer that logs through its own combiner does not wait for itself;
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

class LineCombinerModes : public ::testing::TestWithParam<bool> {};

TEST_P(LineCombinerModes, EveryLineOnceInOrderPerThreadOneWriterAtATime) {
    Sink sink;
    LineCombiner combiner(Sink::write, &sink);
    if (GetParam()) {
        ASSERT_TRUE(combiner.StartWriter());
    }
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
    ASSERT_TRUE(combiner.Flush(5000));
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
// to its own combiner: it is written in the next batch, and nobody waits for
// ever.
struct LoggingWriter {
    LineCombiner* combiner = nullptr;
    std::mutex mutex;
    std::string written;
    static void write(void* context, const char* data, size_t length) {
        LoggingWriter* self = static_cast<LoggingWriter*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->written.append(data, length);
        }
        if (std::string(data, length).find("first") != std::string::npos) {
            self->combiner->Add("from the writer\n", 16);
            EXPECT_FALSE(self->combiner->Flush(100)); // its own lines wait for it
        }
    }
};

TEST_P(LineCombinerModes, WriterThatLogsThroughItsOwnCombiner) {
    LoggingWriter writer;
    LineCombiner combiner(LoggingWriter::write, &writer);
    writer.combiner = &combiner;
    if (GetParam()) {
        ASSERT_TRUE(combiner.StartWriter());
    }
    combiner.Add("first\n", 6);
    ASSERT_TRUE(combiner.Flush(5000));
    std::lock_guard<std::mutex> lock(writer.mutex);
    EXPECT_EQ(writer.written, "first\nfrom the writer\n");
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutWriterThread, LineCombinerModes, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "writer_thread" : "writing_callers";
                         });

// Before the writer thread: a thread that finds a writer at work waits until
// its line is written; the lines that waited together leave in one batch.
TEST(LineCombiner, CallersWaitForTheBatchThatCarriesTheirLine) {
    Sink sink;
    sink.hold_batches = 1;
    LineCombiner combiner(Sink::write, &sink);
    std::thread writer([&] { combiner.Add("held\n", 5); });
    sink.wait_holding(1);

    std::atomic<int> returned{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < 3; i++)
        senders.emplace_back([&, i] {
            std::string line = "sender " + std::to_string(i) + "\n";
            combiner.Add(line.data(), line.size());
            returned++;
        });
    usleep(50000);
    EXPECT_EQ(returned.load(), 0);
    EXPECT_FALSE(combiner.Flush(50));

    sink.release();
    for (std::thread& sender : senders)
        sender.join();
    writer.join();
    std::string text = sink.text();
    EXPECT_EQ(text.compare(0, 5, "held\n"), 0);
    for (int i = 0; i < 3; i++)
        EXPECT_NE(text.find("sender " + std::to_string(i) + "\n"), std::string::npos);
    EXPECT_EQ(sink.batches.load(), 2);
}

// With the writer thread, Add returns while a write is held up; Flush waits
// for it within its limit; a queue at its limit holds its callers back.
TEST(LineCombiner, WithTheWriterThreadCallersNeverWaitForAWrite) {
    Sink sink;
    sink.hold_batches = 1;
    LineCombiner combiner(Sink::write, &sink);
    ASSERT_TRUE(combiner.StartWriter());
    ASSERT_TRUE(combiner.StartWriter()); // once
    combiner.Add("held\n", 5);
    sink.wait_holding(1);
    combiner.Add("next\n", 5); // returns although the write is held
    EXPECT_EQ(sink.text(), "");
    EXPECT_FALSE(combiner.Flush(50));

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
    ASSERT_TRUE(combiner.Flush(5000));
    EXPECT_EQ(sink.text(), "held\nnext\n" + big + "after\n");
}

} // namespace
