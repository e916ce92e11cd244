#pragma once

// EIP-712 typed structured data: the encoding and hashing that wallets sign
// for permits, orders and logins.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "qel_signer/hash.hpp"

namespace qel_signer::chains::evm {

// Deepest nesting of structs and arrays inside the domain or the message.
inline constexpr std::size_t kMaxTypedDataDepth = 32;
// The largest document read, and how one above it is refused before it is
// parsed.
inline constexpr std::size_t kMaxTypedDataBytes = 1024 * 1024;
inline constexpr std::string_view kTypedDataTooLarge = "typed data is larger than 1 MiB";

struct TypedDataHashes {
    Hash32 domain_separator;
    // None when primaryType is "EIP712Domain".
    std::optional<Hash32> message_hash;
    // Keccak-256 of 0x19 0x01, the domain separator and the message hash (or
    // the domain separator alone): what is signed.
    Hash32 digest;
    // The domain's chainId in decimal, when the signed domain has an
    // integer chainId.
    std::optional<std::string> chain_id;
};

// Hashes the JSON text of a typed-data document: {"types": {...},
// "primaryType": "...", "domain": {...}, "message": {...}}.
//
// Types are structs of named fields (names are identifiers of at most 256
// characters) whose types are atomic (address, bool, string, bytes,
// bytes1..bytes32, uint8..uint256 and int8..int256 in steps of 8), other
// structs, or arrays of any of these (T[] or T[n], nested, at most 32
// levels); a struct may refer to itself through an array. Without
// "primaryType" the one struct no other refers to is the message's type;
// with "primaryType" "EIP712Domain" only the domain is signed, as wallets do. The
// domain is typed by "EIP712Domain" when declared (its members must then all
// be declared), else by the standard fields it has, in the standard order.
//
// Values: address "0x" and 40 hex digits (mixed case only with a valid
// EIP-55 checksum); bool true or false; string as text; bytes and bytesN as
// "0x" hex (bytesN exactly N bytes); integers as JSON integers of any size,
// decimal strings (a leading "-" for negative ones) or "0x" hex strings, in
// the type's range. Members a struct does not declare are ignored.
//
// Bounded work: a document above kMaxTypedDataBytes is refused unread
// (kTypedDataTooLarge), each type's hash is computed once, and a document
// whose type encodings to hash add up to more than 4 MiB is refused
// ("types: the encodings of the types used exceed 4 MiB"). Names and values
// quoted in an error are escaped and cut short.
//
// Fails with "<where>: <what>", where names the member (for example
// "message.from.wallet: expected an address (\"0x\" and 40 hex digits)",
// "types.Mail.to: unknown type `Persn`", "message.amount: 256 is out of
// range for uint8", "message.children[0]: nesting deeper than 32 levels").
[[nodiscard]] std::expected<TypedDataHashes, std::string> hash_typed_data(std::string_view json_text);

}  // namespace qel_signer::chains::evm
