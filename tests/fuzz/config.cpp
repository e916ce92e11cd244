// The configuration file, read from disk: whatever it holds, every built-in
// endpoint is kept (a file may replace one, never remove it).
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz.hpp"
#include "qel_core/config.hpp"

namespace {

std::string g_path;

void remove_file() { ::unlink(g_path.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::filesystem::path dir = std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                                : std::filesystem::temp_directory_path();
    std::string name = (dir / "qel-fuzz-config-XXXXXX").string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) std::abort();
    ::close(fd);
    g_path = name;
    std::atexit(remove_file);
    return 0;
}

FUZZ_TARGET {
    FILE* file = std::fopen(g_path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr && std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0);
    const qel_core::Config config = qel_core::Config::load_or_default_from(g_path);
    for (const auto& [chain_id, url] : qel_core::Config::default_rpc()) FUZZ_CHECK(config.rpc.contains(chain_id));
    return 0;
}
