#include "qel_lib/read_ahead.hpp"

#include <sys/stat.h>

#include <iterator>
#include <map>
#include <vector>

#include "support.hpp"

namespace {

using qel_lib::vault::ReadAhead;

std::ptrdiff_t threads() {
    return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator{});
}

class ReadAheadTest : public qel_test::TempDirTest {};

// Enough files for the reading thread to start and to wait on a full queue,
// one too large to be read ahead, and ones that cannot be read at all.
TEST_F(ReadAheadTest, ReadsEveryWalletFileInDirectoryOrderAndStopsWhenDropped) {
    for (int i = 0; i < 400; ++i) qel_test::write_text(dir_ / (std::to_string(i) + ".json"), std::to_string(i));
    qel_test::write_text(dir_ / "big.json", std::string(100'000, 'b'));
    qel_test::write_text(dir_ / "huge.json", "");
    fs::resize_file(dir_ / "huge.json", (16 << 20) + 1);
    fs::create_directory(dir_ / "dir.json");
    ASSERT_EQ(::mkfifo((dir_ / "fifo.json").c_str(), 0600), 0);
    qel_test::write_text(dir_ / "other.txt", "");
    const std::map<std::string, std::string> errors{{"huge.json", "file too large"},
                                                    {"dir.json", "Is a directory (os error 21)"},
                                                    {"fifo.json", "not a regular file"}};
    std::vector<std::string> expected;
    for (const auto& entry : fs::directory_iterator(dir_)) {  // directory order
        const std::string name = entry.path().filename();
        if (!name.ends_with(".json")) continue;
        expected.push_back(name + (errors.contains(name) ? "! " + errors.at(name) : ": " + qel_test::read_text(entry)));
    }

    const std::ptrdiff_t before = threads();  // a sanitizer may run its own
    DIR* dir = ::opendir(dir_.c_str());
    std::vector<std::string> got;
    {
        ReadAhead files(dir);
        for (ReadAhead::File* file = nullptr; (file = files.next().value()) != nullptr;) {
            got.push_back(file->name + (file->error.empty() ? ": " + std::string(file->text.text()) : "! " + file->error));
            if (got.size() == 200) {
                EXPECT_EQ(threads(), before + 1);
            }
        }
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(threads(), before);

    ::rewinddir(dir);
    {
        ReadAhead files(dir);
        for (int i = 0; i < 100; ++i) ASSERT_NE(files.next().value(), nullptr);
    }  // the reading thread, waiting for room, stops and is joined
    EXPECT_EQ(threads(), before);
    ::closedir(dir);
}

}  // namespace
