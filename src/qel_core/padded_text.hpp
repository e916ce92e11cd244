#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace qel_core {

// Bytes the JSON parser may read past the end of a text (its vector loads
// run in whole blocks); they need not hold anything in particular.
inline constexpr std::size_t kJsonPadding = 64;

// A reusable text buffer that always keeps kJsonPadding spare bytes after the
// text, so that the JSON parser can read it in place. A listing reads
// thousands of files into a few of these, reused, without allocating again.
class PaddedText {
public:
    PaddedText() = default;
    PaddedText(const PaddedText&) = delete;
    PaddedText& operator=(const PaddedText&) = delete;
    PaddedText(PaddedText&&) noexcept = default;
    PaddedText& operator=(PaddedText&&) noexcept = default;

    // Room for `size` bytes of text; the first size() bytes are kept. The
    // returned pointer stays valid until the next call that needs more room.
    char* reserve(std::size_t size) {
        if (!data_ || size > room_) {
            auto grown = std::make_unique<char[]>(size + kJsonPadding);
            if (size_ != 0) std::char_traits<char>::copy(grown.get(), data_.get(), size_);
            data_ = std::move(grown);
            room_ = size;
        }
        return data_.get();
    }
    // The text is the first `size` bytes (at most what was reserved).
    void set_size(std::size_t size) noexcept { size_ = size; }
    void assign(std::string_view text) {
        set_size(0);
        std::char_traits<char>::copy(reserve(text.size()), text.data(), text.size());
        set_size(text.size());
    }

    [[nodiscard]] std::string_view text() const noexcept { return {data_.get(), size_}; }
    [[nodiscard]] const char* data() const noexcept { return data_.get(); }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    // Bytes allocated: room for the text plus the padding.
    [[nodiscard]] std::size_t allocated() const noexcept { return data_ ? room_ + kJsonPadding : 0; }

private:
    std::unique_ptr<char[]> data_;
    std::size_t room_ = 0;
    std::size_t size_ = 0;
};

}  // namespace qel_core
