#include "config/read_mostly_lock.h"

#include <errno.h>
#include <linux/membarrier.h>
#include <sched.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "core/mem.h"

namespace {

using Counter = std::atomic<uint8_t>;

// A thread's read holds: for each lock (by slot), how many times over the
// thread holds it for reading.
struct ThreadTable {
    Counter counts[ReadMostlyLock::MAX_LOCKS];
};

thread_local ThreadTable* this_thread_table = nullptr;
// Its address tells the threads apart; a writer records it as owner.
thread_local char thread_mark;

// Every table of a live thread, for writers to look through.
pthread_mutex_t registry_mutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<ThreadTable*>& registry() {
    // Never destroyed: threads may end after static destruction began.
    static std::vector<ThreadTable*>* tables = new std::vector<ThreadTable*>;
    return *tables;
}

// Takes the table out of the registry when its thread ends.
struct TableRelease {
    ~TableRelease() {
        ThreadTable* table = this_thread_table;
        if (table == nullptr)
            return;
        pthread_mutex_lock(&registry_mutex);
        std::vector<ThreadTable*>& tables = registry();
        for (size_t i = 0; i < tables.size(); i++) {
            if (tables[i] == table) {
                tables[i] = tables.back();
                tables.pop_back();
                break;
            }
        }
        pthread_mutex_unlock(&registry_mutex);
        this_thread_table = nullptr;
        delete table;
    }
};

ThreadTable* own_table() {
    ThreadTable* table = this_thread_table;
    if (table != nullptr)
        return table;
    table = new ThreadTable;
    for (Counter& count : table->counts)
        count.store(0, std::memory_order_relaxed);
    pthread_mutex_lock(&registry_mutex);
    registry().push_back(table);
    pthread_mutex_unlock(&registry_mutex);
    this_thread_table = table;
    // Constructed once per thread; a thread that reads again while its
    // thread-local objects are being destroyed keeps its new table.
    static thread_local TableRelease release;
    (void)release;
    return table;
}

// Which locks exist: the slots in use.
pthread_mutex_t slots_mutex = PTHREAD_MUTEX_INITIALIZER;
bool slot_used[ReadMostlyLock::MAX_LOCKS];

int take_slot() {
    pthread_mutex_lock(&slots_mutex);
    for (int slot = 0; slot < ReadMostlyLock::MAX_LOCKS; slot++) {
        if (!slot_used[slot]) {
            slot_used[slot] = true;
            pthread_mutex_unlock(&slots_mutex);
            return slot;
        }
    }
    pthread_mutex_unlock(&slots_mutex);
    FATAL("src/section"); // more locks than the process ever builds
}

void give_slot(int slot) {
    pthread_mutex_lock(&slots_mutex);
    slot_used[slot] = false;
    pthread_mutex_unlock(&slots_mutex);
}

// With membarrier, a reader's barrier is only the compiler's and the writer
// makes every running thread of the process pass a real one; without it
// (an old kernel, a filter that refuses the call), both sides fence.
bool expedited_barriers = false;

bool set_up_barriers() {
    long supported = syscall(__NR_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    if (supported < 0 || (supported & MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0)
        return false;
    return syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

inline void reader_barrier() {
    if (expedited_barriers)
        std::atomic_signal_fence(std::memory_order_seq_cst);
    else
        std::atomic_thread_fence(std::memory_order_seq_cst);
}

void writer_barrier() {
    if (!expedited_barriers) {
        std::atomic_thread_fence(std::memory_order_seq_cst);
        return;
    }
    // Registered at start-up; a refusal now would leave readers unfenced.
    if (syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0)
        FATAL("src/section");
}

// A writer that found readers lets them be: at first for a turn of the
// scheduler, then for a growing sleep of up to a millisecond.
void back_off(unsigned attempt) {
    if (attempt < 4) {
        sched_yield();
        return;
    }
    unsigned shift = attempt - 4 < 5 ? attempt - 4 : 5;
    struct timespec pause = {0, (long)(31250L << shift)};
    nanosleep(&pause, nullptr);
}

} // namespace

ReadMostlyLock::ReadMostlyLock() {
    static const bool barriers_ready = (expedited_barriers = set_up_barriers(), true);
    (void)barriers_ready;
    pthread_mutex_init(&writers_, nullptr);
    pthread_mutex_init(&wait_mutex_, nullptr);
    pthread_cond_init(&writer_gone_, nullptr);
    slot_ = take_slot();
}

ReadMostlyLock::~ReadMostlyLock() {
    give_slot(slot_);
    pthread_cond_destroy(&writer_gone_);
    pthread_mutex_destroy(&wait_mutex_);
    pthread_mutex_destroy(&writers_);
}

int ReadMostlyLock::read_lock() {
    return take_read(true);
}

int ReadMostlyLock::try_read_lock() {
    return take_read(false);
}

int ReadMostlyLock::write_lock() {
    return take_write(true);
}

int ReadMostlyLock::try_write_lock() {
    return take_write(false);
}

int ReadMostlyLock::take_read(bool wait) {
    Counter& mine = own_table()->counts[slot_];
    uint8_t held = mine.load(std::memory_order_relaxed);
    if (held > 0) {
        // Reading again: a writer that waits steps back for this thread's
        // first hold anyway.
        if (held == MAX_DEPTH)
            FATAL("src/section");
        mine.store(held + 1, std::memory_order_relaxed);
        return 0;
    }
    if (owner_.load(std::memory_order_relaxed) == &thread_mark)
        return wait ? EDEADLK : EBUSY;
    for (;;) {
        mine.store(1, std::memory_order_relaxed);
        reader_barrier();
        if (!writer_in_.load(std::memory_order_acquire))
            return 0;
        mine.store(0, std::memory_order_release);
        if (!wait)
            return EBUSY;
        pthread_mutex_lock(&wait_mutex_);
        while (writer_in_.load(std::memory_order_acquire))
            pthread_cond_wait(&writer_gone_, &wait_mutex_);
        pthread_mutex_unlock(&wait_mutex_);
    }
}

int ReadMostlyLock::take_write(bool wait) {
    // The thread would wait for itself.
    bool held = owner_.load(std::memory_order_relaxed) == &thread_mark ||
                (this_thread_table != nullptr &&
                 this_thread_table->counts[slot_].load(std::memory_order_relaxed) > 0);
    if (held)
        return wait ? EDEADLK : EBUSY;
    int result = wait ? pthread_mutex_lock(&writers_) : pthread_mutex_trylock(&writers_);
    if (result != 0)
        return result;
    for (unsigned attempt = 0; !announce_and_check(); attempt++) {
        if (!wait) {
            pthread_mutex_unlock(&writers_);
            return EBUSY;
        }
        back_off(attempt);
    }
    owner_.store(&thread_mark, std::memory_order_relaxed);
    return 0;
}

bool ReadMostlyLock::announce_and_check() {
    writer_in_.store(true, std::memory_order_relaxed);
    writer_barrier();
    bool readers = false;
    pthread_mutex_lock(&registry_mutex);
    for (ThreadTable* table : registry()) {
        if (table->counts[slot_].load(std::memory_order_acquire) != 0) {
            readers = true;
            break;
        }
    }
    pthread_mutex_unlock(&registry_mutex);
    if (readers)
        withdraw();
    return !readers;
}

void ReadMostlyLock::withdraw() {
    pthread_mutex_lock(&wait_mutex_);
    writer_in_.store(false, std::memory_order_release);
    pthread_cond_broadcast(&writer_gone_);
    pthread_mutex_unlock(&wait_mutex_);
}

int ReadMostlyLock::unlock() {
    if (owner_.load(std::memory_order_relaxed) == &thread_mark) {
        owner_.store(nullptr, std::memory_order_relaxed);
        withdraw();
        pthread_mutex_unlock(&writers_);
        return 0;
    }
    if (this_thread_table == nullptr)
        return EPERM;
    Counter& mine = this_thread_table->counts[slot_];
    uint8_t held = mine.load(std::memory_order_relaxed);
    if (held == 0)
        return EPERM;
    mine.store(held - 1, std::memory_order_release);
    return 0;
}
