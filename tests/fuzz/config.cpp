// The configuration file, read from disk: whatever it holds, every built-in
// endpoint is kept (a file may replace one, never remove it). The file is an
// in-memory one, private to its owner, read through its /proc path.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fuzz.hpp"
#include "qel_core/config.hpp"

FUZZ_TARGET {
    static const int fd = ::memfd_create("config.json", MFD_CLOEXEC);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    FUZZ_CHECK(fd >= 0 && ::fchmod(fd, 0600) == 0 && ::ftruncate(fd, 0) == 0 &&
               ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    const qel_core::Config config = qel_core::Config::load_or_default_from(path);
    for (const auto& [chain_id, url] : qel_core::Config::default_rpc()) FUZZ_CHECK(config.rpc.contains(chain_id));
}
