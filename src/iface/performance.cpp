#include "iface/performance.h"

PerformanceLog* performance_log = nullptr;

// The counters start at 0 by their own initialisers.
PerformanceLog::PerformanceLog() { gettimeofday(&start, nullptr); }
