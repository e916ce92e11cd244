#include "evm_transaction.hpp"

#include <span>
#include <string_view>

#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains::evm {

namespace {

enum class Shape {
    ChainId,   // integer of at most 8 bytes
    Int8,      // integer of at most 8 bytes (nonces, gas)
    Int32,     // integer of at most 32 bytes (amounts, fees)
    To,        // 20 bytes, or none for a contract creation
    Address,   // 20 bytes
    Data,      // any bytes
    Zero,      // the empty string (the r and s of an EIP-155 unsigned form)
    AccessList,
    AuthorizationList,
};

struct FieldSpec {
    const char* name;
    Shape shape;
};

constexpr FieldSpec kLegacy[] = {{"nonce", Shape::Int8}, {"gasPrice", Shape::Int32}, {"gas", Shape::Int8},
                                 {"to", Shape::To},      {"value", Shape::Int32},    {"data", Shape::Data},
                                 {"chainId", Shape::ChainId}, {"r", Shape::Zero},    {"s", Shape::Zero}};
constexpr FieldSpec kAccessListTx[] = {{"chainId", Shape::ChainId}, {"nonce", Shape::Int8},
                                       {"gasPrice", Shape::Int32},  {"gas", Shape::Int8},
                                       {"to", Shape::To},           {"value", Shape::Int32},
                                       {"data", Shape::Data},       {"accessList", Shape::AccessList}};
constexpr FieldSpec kDynamicFeeTx[] = {{"chainId", Shape::ChainId},
                                       {"nonce", Shape::Int8},
                                       {"maxPriorityFeePerGas", Shape::Int32},
                                       {"maxFeePerGas", Shape::Int32},
                                       {"gas", Shape::Int8},
                                       {"to", Shape::To},
                                       {"value", Shape::Int32},
                                       {"data", Shape::Data},
                                       {"accessList", Shape::AccessList}};
constexpr FieldSpec kSetCodeTx[] = {{"chainId", Shape::ChainId},
                                    {"nonce", Shape::Int8},
                                    {"maxPriorityFeePerGas", Shape::Int32},
                                    {"maxFeePerGas", Shape::Int32},
                                    {"gas", Shape::Int8},
                                    {"to", Shape::Address},
                                    {"value", Shape::Int32},
                                    {"data", Shape::Data},
                                    {"accessList", Shape::AccessList},
                                    {"authorizationList", Shape::AuthorizationList}};
constexpr FieldSpec kAuthorization[] = {{"chainId", Shape::Int32}, {"address", Shape::Address},
                                        {"nonce", Shape::Int8},    {"yParity", Shape::Int8},
                                        {"r", Shape::Int32},       {"s", Shape::Int32}};

using Fault = std::unexpected<std::string>;

std::expected<void, std::string> check_integer(const rlp::Field& f, std::string_view name, std::size_t width) {
    if (!f.bytes.empty() && f.bytes[0] == 0) return Fault(std::string(name) + ": integer with a leading zero byte");
    if (f.bytes.size() > width) {
        return Fault(std::string(name) + ": integer longer than " + std::to_string(width) + " bytes");
    }
    return {};
}

std::uint64_t to_u64(ByteSpan be) {
    std::uint64_t v = 0;
    for (const std::uint8_t b : be) v = (v << 8) | b;
    return v;
}

std::expected<void, std::string> check_fields(std::span<const rlp::Field> fields, std::span<const FieldSpec> specs,
                                              std::string_view what);

// [[address, [storageKey, ...]], ...]
std::expected<void, std::string> check_access_list(ByteSpan list) {
    const auto entries = rlp::list_items(list);
    if (!entries) return Fault(std::string("accessList: ") + std::string(entries.error()));
    for (const rlp::Field& entry : *entries) {
        if (!entry.is_list) return Fault("accessList: an entry is not a list");
        const auto pair = *rlp::list_items(entry.bytes);
        if (pair.size() != 2 || pair[0].is_list || pair[0].bytes.size() != 20 || !pair[1].is_list) {
            return Fault("accessList: an entry is not [address, [storage keys]]");
        }
        const auto slots = *rlp::list_items(pair[1].bytes);
        for (const rlp::Field& slot : slots) {
            if (slot.is_list || slot.bytes.size() != 32) return Fault("accessList: a storage key is not 32 bytes");
        }
    }
    return {};
}

std::expected<void, std::string> check_authorization_list(ByteSpan list) {
    const auto entries = *rlp::list_items(list);
    if (entries.empty()) return Fault("authorizationList: empty (a type 0x04 transaction needs one)");
    for (const rlp::Field& entry : entries) {
        if (!entry.is_list) return Fault("authorizationList: an entry is not a list");
        if (auto ok = check_fields(*rlp::list_items(entry.bytes), kAuthorization, "an authorization"); !ok) {
            return Fault("authorizationList: " + ok.error());
        }
    }
    return {};
}

std::expected<void, std::string> check_fields(std::span<const rlp::Field> fields, std::span<const FieldSpec> specs,
                                              std::string_view what) {
    if (fields.size() != specs.size()) {
        return Fault("expected " + std::to_string(specs.size()) + " fields in " + std::string(what) + ", got " +
                     std::to_string(fields.size()));
    }
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const rlp::Field& f = fields[i];
        const std::string name = specs[i].name;
        const bool wants_list = specs[i].shape == Shape::AccessList || specs[i].shape == Shape::AuthorizationList;
        if (f.is_list != wants_list) return Fault(name + (wants_list ? ": expected a list" : ": expected a string"));
        std::expected<void, std::string> ok;
        switch (specs[i].shape) {
            case Shape::ChainId:
            case Shape::Int8: ok = check_integer(f, name, 8); break;
            case Shape::Int32: ok = check_integer(f, name, 32); break;
            case Shape::To:
            case Shape::Address:
                if (f.bytes.size() != 20 && !(f.bytes.empty() && specs[i].shape == Shape::To)) {
                    ok = Fault(name + ": expected a 20-byte address" +
                               (specs[i].shape == Shape::To ? " or none" : "") + ", got " +
                               std::to_string(f.bytes.size()) + " bytes");
                }
                break;
            case Shape::Data: break;
            case Shape::Zero:
                if (!f.bytes.empty()) ok = Fault(name + ": must be empty in an unsigned transaction");
                break;
            case Shape::AccessList: ok = check_access_list(f.bytes); break;
            case Shape::AuthorizationList: ok = check_authorization_list(f.bytes); break;
        }
        if (!ok) return ok;
    }
    return {};
}

// chain_id * 2 + 35 + y_parity, big-endian in 9 bytes (it can pass 64 bits).
std::array<std::uint8_t, 9> eip155_v(std::uint64_t chain_id, std::uint8_t y_parity) {
    std::array<std::uint8_t, 9> v{};
    v[0] = static_cast<std::uint8_t>(chain_id >> 63);
    for (int i = 0; i < 8; ++i) v[8 - i] = static_cast<std::uint8_t>((chain_id << 1) >> (8 * i));
    unsigned carry = 35u + y_parity;
    for (int i = 8; i >= 0 && carry != 0; --i) {
        carry += v[static_cast<std::size_t>(i)];
        v[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(carry & 0xff);
        carry >>= 8;
    }
    return v;
}

}  // namespace

std::expected<UnsignedTransaction, std::string> read_transaction(ByteSpan tx) {
    if (tx.empty()) return Fault("empty transaction");
    UnsignedTransaction out;
    ByteSpan list = tx;
    std::span<const FieldSpec> specs = kLegacy;
    std::string what = "a legacy transaction";
    if (tx[0] < 0xc0) {
        out.type = tx[0];
        list = tx.subspan(1);
        switch (out.type) {
            case 0x01: specs = kAccessListTx; break;
            case 0x02: specs = kDynamicFeeTx; break;
            case 0x04: specs = kSetCodeTx; break;
            default: return Fault("unsupported transaction type (expected legacy, 0x01, 0x02 or 0x04)");
        }
        what = "a type 0x0" + std::to_string(out.type) + " transaction";
    }
    auto fields = rlp::list_items(list);
    if (!fields) return Fault(std::string(fields.error()));
    out.fields = std::move(*fields);
    if (out.type == 0 && out.fields.size() == 6) {
        return Fault("a legacy transaction without a chain id is refused (it could be replayed on every chain)");
    }
    if (auto ok = check_fields(out.fields, specs, what); !ok) return Fault(ok.error());
    const rlp::Field& chain_id = out.fields[out.type == 0 ? 6 : 0];
    out.chain_id = to_u64(chain_id.bytes);
    if (out.type == 0 && out.chain_id == 0) {
        return Fault("a legacy transaction without a chain id is refused (it could be replayed on every chain)");
    }
    return out;
}

std::expected<std::uint64_t, std::string> typed_chain_id(ByteSpan tx) {
    const auto fields = rlp::list_items(tx.subspan(1));
    if (!fields) return Fault(std::string(fields.error()));
    if (fields->empty() || (*fields)[0].is_list) return Fault("chainId: expected a string");
    if (auto ok = check_integer((*fields)[0], "chainId", 8); !ok) return Fault(ok.error());
    return to_u64((*fields)[0].bytes);
}

std::expected<SignedTransaction, SignerError> sign_transaction(ByteSpan key, ByteSpan tx,
                                                              const UnsignedTransaction& parsed) {
    auto signature = secp256k1::sign_digest(key, keccak256(tx), "prehash");
    if (!signature) return std::unexpected(signature.error());
    const ByteSpan sig(signature->signature);
    const auto y_parity = static_cast<std::uint8_t>(sig[64] & 1);

    // The signed list keeps the unsigned one's fields as they were read (a
    // legacy one up to its sixth, before the chain id and the two zeros),
    // then v, r and s.
    const ByteSpan list = parsed.type == 0 ? tx : tx.subspan(1);
    const std::size_t header_len = list[0] <= 0xf7 ? 1 : 1u + (list[0] - 0xf7u);
    const ByteSpan last = parsed.fields[parsed.type == 0 ? 5 : parsed.fields.size() - 1].bytes;
    Bytes payload(list.begin() + static_cast<std::ptrdiff_t>(header_len),
                  list.begin() + (last.data() + last.size() - list.data()));
    const auto append = [&payload](const Bytes& enc) { payload.insert(payload.end(), enc.begin(), enc.end()); };
    if (parsed.type == 0) {
        append(rlp::encode_integer(eip155_v(parsed.chain_id, y_parity)));
    } else {
        append(rlp::encode_integer(ByteSpan(&y_parity, 1)));
    }
    append(rlp::encode_integer(sig.subspan(0, 32)));
    append(rlp::encode_integer(sig.subspan(32, 32)));

    SignedTransaction out;
    if (parsed.type != 0) out.wire.push_back(parsed.type);
    const Bytes header = rlp::encode_length(payload.size(), 0xc0);
    out.wire.insert(out.wire.end(), header.begin(), header.end());
    out.wire.insert(out.wire.end(), payload.begin(), payload.end());
    const Hash32 hash = keccak256(out.wire);
    out.hash.assign(hash.begin(), hash.end());
    return out;
}

Hash32 authorization_digest(std::uint64_t chain_id, std::span<const std::uint8_t, 20> address, std::uint64_t nonce) {
    const auto be = [](std::uint64_t v) {
        std::array<std::uint8_t, 8> out{};
        for (int i = 0; i < 8; ++i) out[7 - static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
        return rlp::encode_integer(out);
    };
    Bytes payload = be(chain_id);
    const Bytes addr = rlp::encode_bytes(address);
    payload.insert(payload.end(), addr.begin(), addr.end());
    const Bytes n = be(nonce);
    payload.insert(payload.end(), n.begin(), n.end());
    Bytes message{0x05};
    const Bytes header = rlp::encode_length(payload.size(), 0xc0);
    message.insert(message.end(), header.begin(), header.end());
    message.insert(message.end(), payload.begin(), payload.end());
    return keccak256(message);
}

}  // namespace qel_signer::chains::evm
