// The bare primitive under a vault listing: read every "*.json" file of a
// directory into memory, one reused buffer, nothing parsed. Prints the time
// of each pass in milliseconds, one line each: the time on the clock, then
// the processor time the process used (which a busy machine does not inflate).
//
//   read_files DIR [PASSES]
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Returns the number of bytes read, or -1 when the directory cannot be read.
long long read_all(const std::string& dir, std::vector<char>& buffer) {
    DIR* handle = ::opendir(dir.c_str());
    if (handle == nullptr) return -1;
    long long total = 0;
    while (const dirent* entry = ::readdir(handle)) {
        const std::string_view name = entry->d_name;
        if (name.size() <= 5 || !name.ends_with(".json")) continue;
        const int fd = ::openat(::dirfd(handle), entry->d_name, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) == 0) {
            const auto want = static_cast<std::size_t>(st.st_size) + 1;
            if (buffer.size() < want) buffer.resize(want);
            const ssize_t n = ::read(fd, buffer.data(), want);
            if (n > 0) total += n;
        }
        ::close(fd);
    }
    ::closedir(handle);
    return total;
}

double cpu_ms() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [PASSES]\n", argv[0]);
        return 2;
    }
    const int passes = argc > 2 ? std::atoi(argv[2]) : 1;
    std::vector<char> buffer;
    for (int i = 0; i < passes; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = cpu_ms();
        if (read_all(argv[1], buffer) < 0) {
            std::perror(argv[1]);
            return 1;
        }
        const double cpu = cpu_ms() - cpu_start;
        const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        std::printf("%.3f %.3f\n", took.count(), cpu);
    }
    return 0;
}
