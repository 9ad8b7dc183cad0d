#include "grid/memory_room.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace velkin {

namespace {

// What painting, the selection and the clipboard take beside the texts.
constexpr std::size_t kMarginBytes = std::size_t{64} << 20;

std::size_t PageBytes() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

// The first number in a file, or nothing for a missing file or a word ("max").
bool ReadNumber(const std::string& path, unsigned long long& number) {
    FILE* file = std::fopen(path.c_str(), "re");
    if (!file) return false;
    const bool read = std::fscanf(file, "%llu", &number) == 1;
    std::fclose(file);
    return read;
}

// The kB figure of `key` in /proc/meminfo, in bytes.
std::size_t MemInfoBytes(FILE* meminfo, const char* key) {
    std::rewind(meminfo);
    char line[256];
    const std::size_t length = std::strlen(key);
    while (std::fgets(line, sizeof line, meminfo))
        if (std::strncmp(line, key, length) == 0) return std::strtoull(line + length, nullptr, 10) * 1024;
    return 0;
}

std::size_t AddressSpaceRoom() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    unsigned long long pages = 0;
    if (!ReadNumber("/proc/self/statm", pages)) return SIZE_MAX;
    const std::size_t used = pages * PageBytes();
    return limit.rlim_cur > used ? limit.rlim_cur - used : 0;
}

std::size_t CgroupRoom() {
    // cgroup v2: one line "0::/path".
    FILE* file = std::fopen("/proc/self/cgroup", "re");
    if (!file) return SIZE_MAX;
    char line[4096] = {};
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!read || std::strncmp(line, "0::", 3) != 0) return SIZE_MAX;
    std::string dir = std::string("/sys/fs/cgroup") + (line + 3);
    while (!dir.empty() && dir.back() == '\n') dir.pop_back();
    unsigned long long max = 0, current = 0;
    if (!ReadNumber(dir + "/memory.max", max) || !ReadNumber(dir + "/memory.current", current)) return SIZE_MAX;
    return max > current ? max - current : 0;
}

std::size_t SystemRoom() {
    FILE* meminfo = std::fopen("/proc/meminfo", "re");
    if (!meminfo) return SIZE_MAX;
    const std::size_t room = MemInfoBytes(meminfo, "MemAvailable:") + MemInfoBytes(meminfo, "SwapFree:");
    std::fclose(meminfo);
    return room;
}

}  // namespace

std::size_t MemoryRoom() {
    const std::size_t room = std::min({AddressSpaceRoom(), CgroupRoom(), SystemRoom()});
    const std::size_t heapFree = mallinfo2().fordblks;
    return room > SIZE_MAX - heapFree ? SIZE_MAX : room + heapFree;
}

bool RoomFor(std::size_t bytes) { return bytes <= SIZE_MAX - kMarginBytes && bytes + kMarginBytes <= MemoryRoom(); }

}  // namespace velkin
