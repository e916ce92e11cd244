#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "bytes.hpp"
#include "secret_bytes.hpp"

namespace qel_signer {

struct MnemonicError {
    enum class Kind { GenerationFailed, InvalidPhrase };

    Kind kind;
    std::string text;

    // "mnemonic generation failed: <text>" or "invalid mnemonic phrase: <text>".
    [[nodiscard]] std::string message() const;
};

// The BIP-39 English word list (2048 words, sorted).
[[nodiscard]] const std::array<std::string_view, 2048>& bip39_english_words();

// One BIP-39 mnemonic, held as its entropy (16, 20, 24, 28 or 32 bytes).
// The entropy is wiped when the object goes away.
class Mnemonic {
public:
    // 24 words when twenty_four is set, else 12, from the OS random source.
    // A failing random source gives GenerationFailed with the OS error text.
    [[nodiscard]] static std::expected<Mnemonic, MnemonicError> generate(bool twenty_four);
    // Strict parse: the phrase must be exactly the canonical rendering of a
    // valid mnemonic (single spaces, lower case, right checksum).
    [[nodiscard]] static std::expected<Mnemonic, MnemonicError> from_phrase(std::string_view phrase);
    // From raw entropy of 16, 20, 24, 28 or 32 bytes; other sizes give
    // InvalidPhrase with the entropy length message.
    [[nodiscard]] static std::expected<Mnemonic, MnemonicError> from_entropy(ByteSpan entropy);

    Mnemonic(const Mnemonic&) = delete;
    Mnemonic& operator=(const Mnemonic&) = delete;
    Mnemonic(Mnemonic&& other) noexcept;
    Mnemonic& operator=(Mnemonic&& other) noexcept;
    ~Mnemonic();

    [[nodiscard]] std::size_t word_count() const noexcept { return (entropy_len_ * 8 + entropy_len_ / 4) / 11; }
    // The words joined by single spaces, as UTF-8.
    [[nodiscard]] SecretBytes phrase() const;
    // The 64-byte BIP-39 seed: PBKDF2-HMAC-SHA512, 2048 iterations, salt
    // "mnemonic" + passphrase.
    [[nodiscard]] SecretBytes to_seed(std::string_view passphrase) const;

private:
    Mnemonic() = default;
    std::array<std::uint8_t, 32> entropy_{};
    std::size_t entropy_len_ = 0;
};

}  // namespace qel_signer
