#pragma once

#include <dirent.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <expected>
#include <mutex>
#include <string>
#include <thread>

#include "qel_core/padded_text.hpp"

namespace qel_lib::vault {

// Reads the wallet files ("*.json") of an open directory stream in directory
// order. The first kSlots files are read when they are asked for; from then
// on (a large vault) a second thread reads up to kSlots files ahead of the
// thread that parses them, so that the file system's work and the parsing
// overlap: a listing then takes about as long as the slower of the two, not
// their sum. The reading thread blocks every signal (they stay with the
// caller's threads) and does not outlive this object. When no thread can be
// started, every file is read when it is asked for.
//
// A file larger than kReadAheadBytes is not read ahead but when it is asked
// for, into one buffer, so that a vault of huge files holds no more than one
// of them in memory at a time.
class ReadAhead {
public:
    struct File {
        std::string name;
        qel_core::PaddedText text;
        std::string error;  // why the file could not be read, or empty
        bool gone = false;  // removed between the listing of its name and its opening
    };

    // The stream must stay open while this object lives; nothing else may
    // read from it meanwhile.
    explicit ReadAhead(DIR* dir) : dir_(dir), dir_fd_(::dirfd(dir)) {}
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next file, valid until the next call; nullptr after the last one.
    // The error is the errno of a directory that cannot be read on. What the
    // reading thread threw (out of memory) is thrown here.
    [[nodiscard]] std::expected<File*, int> next();

private:
    static constexpr std::size_t kSlots = 64;
    // A thread that has to wait for the other is woken when it can go on
    // for this many files, not after each one: waking a thread costs more
    // than reading a file.
    static constexpr std::size_t kBatch = kSlots / 2;
    static constexpr long kReadAheadBytes = 64 * 1024;

    struct Slot {
        File file;
        bool deferred = false;  // too large to read ahead: read when asked for
    };

    // Reads the next directory entry into the free slot at tail_; false at
    // the end of the directory, or when stopped.
    bool fill_one();
    void run() noexcept;
    // Starts the reading thread, once; whether it runs.
    bool start();

    DIR* dir_;
    int dir_fd_;
    std::array<Slot, kSlots> slots_;
    File large_;  // the text of the current deferred file

    std::mutex mutex_;
    std::condition_variable filled_;
    std::condition_variable freed_;
    std::size_t head_ = 0;  // the slot next() handed out last, or will hand out next
    std::size_t tail_ = 0;  // the slot being filled
    bool handed_out_ = false;  // slot head_ is in the caller's hands
    bool ended_ = false;
    bool reader_waits_ = false;
    bool taker_waits_ = false;
    bool stop_ = false;
    int dir_errno_ = 0;  // why reading the directory ended early, or 0
    std::exception_ptr thrown_;  // what the reading thread threw
    bool tried_ = false;  // start() was called
    std::thread thread_;
};

}  // namespace qel_lib::vault
