// The benchmark table: every benchmark program prints its rows into one markdown table.
// CPU time is the whole process's (the virtual calculator's thread included), so the link rows
// also count the modelled wire's share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

inline double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

inline void bench_header() {
    std::printf("| measurement | cable | bytes per operation | port accesses per byte | "
                "CPU us per byte | CPU us per operation |\n");
    std::printf("|---|---|---:|---:|---:|---:|\n");
}

// `count` operations on `bytes` bytes in all took `seconds`; `accesses_per_byte` below 0 when no
// port is involved.
inline void bench_row(const char* what, const char* cable, std::uint64_t bytes_per_operation,
                      double accesses_per_byte, double seconds, double bytes, int count) {
    char accesses[32] = "-";
    if (accesses_per_byte >= 0) std::snprintf(accesses, sizeof accesses, "%.2f", accesses_per_byte);
    std::printf("| %s | %s | %llu | %s | %.3g | %.1f |\n", what, cable,
                static_cast<unsigned long long>(bytes_per_operation), accesses,
                seconds * 1e6 / bytes, seconds * 1e6 / count);
}
