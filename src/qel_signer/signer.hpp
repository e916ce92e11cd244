#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "bytes.hpp"
#include "curve.hpp"
#include "qel_core/chain.hpp"

namespace qel_signer {

// What every signing operation returns. secp256k1: 65 bytes r || s || v with
// recovery_id == v; Ed25519: 64 bytes, no recovery id.
struct SignOutput {
    Bytes signature;
    std::optional<std::uint8_t> recovery_id;
};

struct SignerError {
    enum class Kind { InvalidPrivateKey, InvalidMessage, SigningFailed, AddressDerivationFailed, InvalidTransaction };

    Kind kind;
    std::string text;

    // "invalid private key: ", "invalid message: ", "signing failed: ",
    // "address derivation failed: " or "invalid transaction: " + text.
    [[nodiscard]] std::string message() const;

    friend bool operator==(const SignerError&, const SignerError&) = default;
};

// The per-family signer. Signers hold no key material and are immutable.
class ChainSigner {
public:
    virtual ~ChainSigner() = default;

    [[nodiscard]] virtual qel_core::ChainType chain_type() const = 0;
    [[nodiscard]] virtual Curve curve() const = 0;
    [[nodiscard]] virtual std::uint32_t coin_type() const = 0;
    // The family's native address for a raw private key of its curve.
    [[nodiscard]] virtual std::expected<std::string, SignerError> derive_address(ByteSpan key) const = 0;
    // Raw primitive: secp256k1 signers sign a 32-byte digest as is; Ed25519
    // signers sign the bytes as given.
    [[nodiscard]] virtual std::expected<SignOutput, SignerError> sign(ByteSpan key, ByteSpan message) const = 0;
    // A free-form message under the chain's message convention.
    [[nodiscard]] virtual std::expected<SignOutput, SignerError> sign_message(ByteSpan key,
                                                                             ByteSpan message) const = 0;
    // Transaction bytes (or their signable part) under the chain's convention.
    [[nodiscard]] virtual std::expected<SignOutput, SignerError> sign_transaction(ByteSpan key,
                                                                                 ByteSpan tx) const = 0;
    // The part of a transaction that is signed; a view into `tx`.
    // Default: the whole input.
    [[nodiscard]] virtual std::expected<ByteSpan, SignerError> extract_signable_bytes(ByteSpan tx) const;
    // The signed wire form. Default: InvalidTransaction
    // "encode_signed_transaction not implemented for <chain>".
    [[nodiscard]] virtual std::expected<Bytes, SignerError> encode_signed_transaction(ByteSpan tx,
                                                                                     const SignOutput& output) const;
    // The account's default path, e.g. "m/44'/60'/0'/0/<index>".
    [[nodiscard]] virtual std::string default_derivation_path(std::uint32_t index) const = 0;
    // The family's native address of a public key: a SEC1 key (33 or 65
    // bytes) for secp256k1 families, the 32-byte key for Ed25519 ones.
    // Another length or a point off the curve: AddressDerivationFailed
    // "invalid public key".
    [[nodiscard]] virtual std::expected<std::string, SignerError> address_of_public_key(ByteSpan public_key) const = 0;
};

// A fresh signer for the family. Never fails.
[[nodiscard]] std::unique_ptr<ChainSigner> signer_for_chain(qel_core::ChainType type);

}  // namespace qel_signer
