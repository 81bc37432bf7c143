// The performance log: process-wide counters written as comma-separated
// records at a fixed interval.
#pragma once

class PerformanceLog {
public:
    PerformanceLog();
};

extern PerformanceLog* performance_log;

// Service thread writing the performance log at its interval.
void* performance_check(void*);
