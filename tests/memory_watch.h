#pragma once
// Growth of the process's resident memory during a test, for the checks that
// a large result is never held whole. A memory check, not a timing.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace velkin::testing {

inline long StatusKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
    return -1;
}

// Growth of resident memory from its creation. Where the kernel lets the peak
// (VmHWM) be reset, the peak is judged, so memory taken and given back before
// the check counts too; elsewhere only what is still resident can be.
class MemoryWatch {
public:
    MemoryWatch() {
        std::ofstream("/proc/self/clear_refs") << "5";
        before_ = StatusKiB("VmRSS:");
        peakWasReset_ = StatusKiB("VmHWM:") <= before_ + 1024;
    }
    bool valid() const { return before_ > 0; }
    long GrowthKiB() const { return StatusKiB(peakWasReset_ ? "VmHWM:" : "VmRSS:") - before_; }
    const char* what() const { return peakWasReset_ ? "peak resident" : "resident"; }

private:
    long before_ = -1;
    bool peakWasReset_ = false;
};

// AddressSanitizer holds freed memory in quarantine, so resident size there
// says nothing about what the engine keeps; the counts are still checked.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kResidentSizeMeaningful = false;
#else
inline constexpr bool kResidentSizeMeaningful = true;
#endif

inline void ExpectBoundedGrowth(const MemoryWatch& memory, long allowedKiB) {
    const long growth = memory.GrowthKiB();
    std::printf("[ %s memory grew by %ld KiB ]\n", memory.what(), growth);
    if (!kResidentSizeMeaningful) {
        std::printf("[ memory bound not judged under AddressSanitizer ]\n");
        return;
    }
    EXPECT_LT(growth, allowedKiB);
}

}  // namespace velkin::testing
