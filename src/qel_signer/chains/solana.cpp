#include "solana.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "qel_signer/ed25519.hpp"
#include "qel_signer/encoding.hpp"

namespace qel_signer::chains {
namespace {

constexpr std::size_t kSignatureSize = 64;
constexpr std::size_t kKeySize = 32;

SignerError tx_error(std::string text) { return {SignerError::Kind::InvalidTransaction, std::move(text)}; }

constexpr std::string_view kTruncatedMessage = "truncated message";
constexpr std::string_view kBadCompactU16 = "invalid compact-u16";

// Reads a message field by field; the first failure sticks and makes every
// later read a no-op.
class MessageReader {
public:
    explicit MessageReader(ByteSpan in) : in_(in) {}

    [[nodiscard]] std::size_t pos() const { return pos_; }
    [[nodiscard]] const std::optional<std::string_view>& error() const { return error_; }

    void skip(std::size_t n) {
        if (error_) return;
        if (n > in_.size() - pos_) {
            fail(kTruncatedMessage);
            return;
        }
        pos_ += n;
    }

    std::uint8_t byte() {
        if (error_) return 0;
        if (pos_ == in_.size()) {
            fail(kTruncatedMessage);
            return 0;
        }
        return in_[pos_++];
    }

    // 7 bits per byte, least significant first, at most three bytes, as a
    // node reads it: a later byte of zero (an alias of a shorter form) and
    // values above 0xffff are refused.
    std::size_t compact_u16() {
        std::size_t value = 0;
        for (unsigned i = 0; i < 3; ++i) {
            const std::uint8_t b = byte();
            if (error_) return 0;
            if (i > 0 && b == 0) return fail(kBadCompactU16);
            if (i == 2 && b > 0x03) return fail(kBadCompactU16);
            value |= std::size_t{b & 0x7fu} << (7 * i);
            if ((b & 0x80) == 0) return value;
        }
        return value;  // not reached: the third byte has no continuation bit
    }

    // A compact-u16 count followed by that many items of `size` bytes; the
    // items, or nothing once a read has failed.
    ByteSpan array(std::size_t size) {
        const std::size_t n = compact_u16() * size;
        const std::size_t at = pos_;
        skip(n);
        return error_ ? ByteSpan{} : in_.subspan(at, n);
    }

private:
    std::size_t fail(std::string_view text) {
        if (!error_) error_ = text;
        return 0;
    }

    ByteSpan in_;
    std::size_t pos_ = 0;
    std::optional<std::string_view> error_;
};

}  // namespace

namespace solana {

namespace {

// Reads the message at the start of `message` and, when `view` is given,
// records its signers, keys and instructions.
std::expected<std::size_t, std::string_view> read(ByteSpan message, MessageView* view) {
    MessageReader r(message);
    // A legacy message starts with its header, whose first byte (the number
    // of required signatures) is below 0x80; a set top bit marks a version.
    const bool versioned = !message.empty() && (message[0] & 0x80) != 0;
    if (versioned && message[0] != 0x80) return std::unexpected("unsupported message version (expected legacy or 0)");
    if (versioned) r.skip(1);
    const std::uint8_t required = r.byte();
    r.skip(2);                   // read-only signed, read-only unsigned
    const ByteSpan keys = r.array(kKeySize);
    r.skip(kKeySize);            // recent blockhash
    const std::size_t instructions = r.compact_u16();
    if (view != nullptr && !r.error()) {
        view->required_signatures = required;
        for (std::size_t at = 0; at < keys.size(); at += kKeySize) view->keys.push_back(keys.subspan(at, kKeySize));
    }
    for (std::size_t i = 0; i < instructions && !r.error(); ++i) {
        const std::uint8_t program = r.byte();
        const ByteSpan accounts = r.array(1);
        const ByteSpan data = r.array(1);
        if (view != nullptr && !r.error()) view->instructions.push_back({program, accounts, data});
    }
    if (versioned) {
        const std::size_t lookups = r.compact_u16();
        for (std::size_t i = 0; i < lookups && !r.error(); ++i) {
            r.skip(kKeySize);    // lookup table account
            r.array(1);          // writable indexes
            r.array(1);          // read-only indexes
        }
    }
    if (r.error()) return std::unexpected(*r.error());
    return r.pos();
}

}  // namespace

std::expected<std::size_t, std::string_view> read_message(ByteSpan message) { return read(message, nullptr); }

MessageView view_message(ByteSpan tx) {
    MessageView view;
    if (check_transaction(tx)) (void)read(tx.subspan(1 + kSignatureSize * tx[0]), &view);
    return view;
}

std::expected<void, std::string_view> check_transaction(ByteSpan tx) {
    if (tx.empty()) return std::unexpected("empty transaction");
    const std::size_t slots = tx[0];
    if (slots == 0) return std::unexpected("transaction has no signature slots");
    if (slots >= 0x80) return std::unexpected("more than 127 signature slots");
    const std::size_t offset = 1 + kSignatureSize * slots;
    if (tx.size() <= offset) return std::unexpected("transaction too short for declared signature slots");
    const ByteSpan message = tx.subspan(offset);
    const auto length = read_message(message);
    if (!length) return std::unexpected(length.error());
    if (*length != message.size()) return std::unexpected("trailing bytes after the message");
    return {};
}

std::expected<std::size_t, std::string_view> signer_slot(ByteSpan tx, ByteSpan public_key) {
    const MessageView view = view_message(tx);
    const std::size_t signers = std::min<std::size_t>(view.required_signatures, view.keys.size());
    for (std::size_t i = 0; i < signers; ++i) {
        if (!std::ranges::equal(view.keys[i], public_key)) continue;
        if (i >= tx[0]) return std::unexpected("fewer signature slots than required signers");
        return i;
    }
    return std::unexpected("this account is not a signer of the transaction");
}

}  // namespace solana

std::expected<std::string, SignerError> SolanaSigner::derive_address(ByteSpan key) const {
    auto pub = ed25519::public_key(key);
    if (!pub) return std::unexpected(pub.error());
    return base58_encode(*pub);
}

std::expected<std::string, SignerError> SolanaSigner::address_of_public_key(ByteSpan public_key) const {
    if (public_key.size() != 32) {
        return std::unexpected(SignerError{SignerError::Kind::AddressDerivationFailed, "invalid public key"});
    }
    return base58_encode(public_key);
}

std::expected<SignOutput, SignerError> SolanaSigner::sign(ByteSpan key, ByteSpan message) const {
    return ed25519::sign(key, message);
}

std::expected<SignOutput, SignerError> SolanaSigner::sign_message(ByteSpan key, ByteSpan message) const {
    return ed25519::sign(key, message);
}

std::expected<SignOutput, SignerError> SolanaSigner::sign_transaction(ByteSpan key, ByteSpan tx) const {
    return ed25519::sign(key, tx);
}

// Wire form: one byte n, n signature slots of 64 bytes, then the message.
std::expected<ByteSpan, SignerError> SolanaSigner::extract_signable_bytes(ByteSpan tx) const {
    if (tx.empty()) return std::unexpected(tx_error("empty transaction"));
    const std::size_t offset = 1 + kSignatureSize * tx[0];
    if (tx.size() <= offset) return std::unexpected(tx_error("transaction too short for declared signature slots"));
    return tx.subspan(offset);
}

std::expected<Bytes, SignerError> SolanaSigner::encode_signed_transaction(ByteSpan tx,
                                                                          const SignOutput& output) const {
    if (output.signature.size() != kSignatureSize) {
        return std::unexpected(tx_error("expected 64-byte Ed25519 signature"));
    }
    if (tx.empty()) return std::unexpected(tx_error("empty transaction"));
    const std::size_t slots = tx[0];
    if (slots == 0) return std::unexpected(tx_error("transaction has no signature slots"));
    // Every declared slot must be present, even when no message follows.
    if (tx.size() <= kSignatureSize * slots) {
        return std::unexpected(tx_error("transaction too short for declared signature slots"));
    }
    Bytes out(tx.begin(), tx.end());
    std::copy(output.signature.begin(), output.signature.end(), out.begin() + 1);
    return out;
}

std::string SolanaSigner::default_derivation_path(std::uint32_t index) const {
    return "m/44'/501'/" + std::to_string(index) + "'/0'";
}

}  // namespace qel_signer::chains
