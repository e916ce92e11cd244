#include "mnemonic.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <span>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sodium.h>

#include "random.hpp"

namespace qel_signer {

namespace detail {
extern const char kBip39EnglishText[];
extern const std::size_t kBip39EnglishTextSize;
}  // namespace detail

namespace {

constexpr std::size_t kMaxWords = 24;
constexpr std::size_t kMaxWordLength = 8;
constexpr std::size_t kSeedSize = 64;
constexpr int kPbkdf2Iterations = 2048;

[[noreturn]] void fatal(const char* what) {
    std::fputs(what, stderr);
    std::fputc('\n', stderr);
    std::abort();
}

std::array<std::string_view, 2048> parse_word_list() {
    std::array<std::string_view, 2048> words{};
    const std::string_view text(detail::kBip39EnglishText, detail::kBip39EnglishTextSize);
    std::size_t count = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos || count == words.size()) break;
        words[count++] = text.substr(start, end - start);
        start = end + 1;
    }
    // The list is compiled in; anything else is a broken build.
    if (count != words.size() || start != text.size() || !std::is_sorted(words.begin(), words.end())) {
        fatal("embedded BIP-39 word list is corrupt");
    }
    return words;
}

// Index of word in the list, or -1.
int find_word(std::string_view word) {
    const auto& words = bip39_english_words();
    const auto it = std::lower_bound(words.begin(), words.end(), word);
    if (it == words.end() || *it != word) return -1;
    return static_cast<int>(it - words.begin());
}

bool valid_entropy_length(std::size_t len) {
    return len == 16 || len == 20 || len == 24 || len == 28 || len == 32;
}

MnemonicError invalid(std::string text) { return MnemonicError{MnemonicError::Kind::InvalidPhrase, std::move(text)}; }

MnemonicError bad_entropy_length(std::size_t len) {
    return invalid("the mnemonic's entropy length `" + std::to_string(len) + "` is invalid");
}

// Wipes a fixed buffer on every way out of a scope.
template <typename T>
struct WipeOnExit {
    T& buffer;
    ~WipeOnExit() { sodium_memzero(buffer.data(), buffer.size() * sizeof(buffer[0])); }
};

}  // namespace

std::string MnemonicError::message() const {
    switch (kind) {
        case Kind::GenerationFailed:
            return "mnemonic generation failed: " + text;
        case Kind::InvalidPhrase:
            return "invalid mnemonic phrase: " + text;
    }
    return text;
}

const std::array<std::string_view, 2048>& bip39_english_words() {
    static const std::array<std::string_view, 2048> words = parse_word_list();
    return words;
}

Mnemonic::Mnemonic(Mnemonic&& other) noexcept : entropy_(other.entropy_), entropy_len_(other.entropy_len_) {
    sodium_memzero(other.entropy_.data(), other.entropy_.size());
    other.entropy_len_ = 0;
}

Mnemonic& Mnemonic::operator=(Mnemonic&& other) noexcept {
    if (this != &other) {
        entropy_ = other.entropy_;
        entropy_len_ = other.entropy_len_;
        sodium_memzero(other.entropy_.data(), other.entropy_.size());
        other.entropy_len_ = 0;
    }
    return *this;
}

Mnemonic::~Mnemonic() { sodium_memzero(entropy_.data(), entropy_.size()); }

std::expected<Mnemonic, MnemonicError> Mnemonic::generate(bool twenty_four) {
    Mnemonic m;
    m.entropy_len_ = twenty_four ? 32 : 16;
    if (auto r = fill_random(std::span(m.entropy_.data(), m.entropy_len_)); !r) {
        return std::unexpected(MnemonicError{MnemonicError::Kind::GenerationFailed, r.error()});
    }
    return m;
}

std::expected<Mnemonic, MnemonicError> Mnemonic::from_entropy(ByteSpan entropy) {
    if (!valid_entropy_length(entropy.size())) return std::unexpected(bad_entropy_length(entropy.size()));
    Mnemonic m;
    std::copy(entropy.begin(), entropy.end(), m.entropy_.begin());
    m.entropy_len_ = entropy.size();
    return m;
}

std::expected<Mnemonic, MnemonicError> Mnemonic::from_phrase(std::string_view phrase) {
    // Every word is looked up before the count matters, so an unknown word is
    // reported even in a phrase of the wrong length.
    std::array<std::uint16_t, kMaxWords> indexes{};
    WipeOnExit<std::array<std::uint16_t, kMaxWords>> wipe_indexes{indexes};
    std::size_t word_count = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = phrase.find(' ', start);
        const std::string_view word = phrase.substr(start, end == std::string_view::npos ? end : end - start);
        const int index = find_word(word);
        if (index < 0) return std::unexpected(invalid("the word `" + std::string(word) + "` is invalid"));
        if (word_count < kMaxWords) indexes[word_count] = static_cast<std::uint16_t>(index);
        ++word_count;
        if (end == std::string_view::npos) break;
        start = end + 1;
    }

    const std::size_t packed_len = (word_count * 11 + 7) / 8;
    // 16|17, 20|21, 24|25, 28|29 and 32|33 bytes: entropy plus checksum bits.
    if (packed_len < 16 || packed_len > 33 || packed_len % 4 > 1) {
        return std::unexpected(bad_entropy_length(packed_len));
    }

    std::array<std::uint8_t, 33> packed{};
    WipeOnExit<std::array<std::uint8_t, 33>> wipe_packed{packed};
    for (std::size_t bit = 0; bit < word_count * 11; ++bit) {
        const unsigned value = (indexes[bit / 11] >> (10 - bit % 11)) & 1U;
        packed[bit / 8] = static_cast<std::uint8_t>(packed[bit / 8] | (value << (7 - bit % 8)));
    }

    Mnemonic m;
    m.entropy_len_ = packed_len & ~std::size_t{3};
    std::copy_n(packed.begin(), m.entropy_len_, m.entropy_.begin());

    // The canonical rendering must reproduce the input exactly: this one
    // comparison catches a wrong checksum, case, spacing and word count.
    const SecretBytes rendered = m.phrase();
    if (rendered.size() != phrase.size() ||
        CRYPTO_memcmp(rendered.data(), phrase.data(), phrase.size()) != 0) {
        return std::unexpected(invalid("the phrase `" + std::string(phrase) + "` is invalid"));
    }
    return m;
}

SecretBytes Mnemonic::phrase() const {
    const auto& words = bip39_english_words();
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    WipeOnExit<std::array<std::uint8_t, EVP_MAX_MD_SIZE>> wipe_digest{digest};
    unsigned int digest_len = 0;
    if (EVP_Digest(entropy_.data(), entropy_len_, digest.data(), &digest_len, EVP_sha256(), nullptr) != 1) {
        fatal("SHA-256 failed");
    }

    // Entropy followed by the checksum byte; only its leading ENT/32 bits are used.
    std::array<std::uint8_t, 33> bits{};
    WipeOnExit<std::array<std::uint8_t, 33>> wipe_bits{bits};
    std::copy_n(entropy_.begin(), entropy_len_, bits.begin());
    bits[entropy_len_] = digest[0];

    const std::size_t count = word_count();
    Bytes out;
    // Reserved up front so that no reallocation leaves a partial copy of the
    // phrase behind.
    out.reserve(count * (kMaxWordLength + 1));
    for (std::size_t i = 0; i < count; ++i) {
        unsigned index = 0;
        for (std::size_t bit = i * 11; bit < i * 11 + 11; ++bit) {
            index = (index << 1) | ((bits[bit / 8] >> (7 - bit % 8)) & 1U);
        }
        if (i != 0) out.push_back(' ');
        const std::string_view word = words[index];
        out.insert(out.end(), word.begin(), word.end());
    }
    return SecretBytes(std::move(out));
}

SecretBytes Mnemonic::to_seed(std::string_view passphrase) const {
    const SecretBytes password = phrase();

    static constexpr std::string_view kPrefix = "mnemonic";
    Bytes salt;
    salt.reserve(kPrefix.size() + passphrase.size());
    salt.insert(salt.end(), kPrefix.begin(), kPrefix.end());
    salt.insert(salt.end(), passphrase.begin(), passphrase.end());
    WipeOnExit<Bytes> wipe_salt{salt};

    // The seed is produced straight into its locked buffer.
    SecretBytes seed(Bytes(kSeedSize, 0));
    if (password.size() > INT_MAX || salt.size() > INT_MAX ||
        PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()), static_cast<int>(password.size()),
                          salt.data(), static_cast<int>(salt.size()), kPbkdf2Iterations, EVP_sha512(),
                          static_cast<int>(kSeedSize), seed.mutable_data()) != 1) {
        fatal("PBKDF2-HMAC-SHA512 failed");
    }
    return seed;
}

}  // namespace qel_signer
