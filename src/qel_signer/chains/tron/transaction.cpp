#include "transaction.hpp"

#include "qel_signer/hash.hpp"
#include "qel_signer/protobuf.hpp"
#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains::tron {

namespace {

namespace pb = protobuf;
using Fault = std::unexpected<std::string>;
using pb::Wire;

// Transaction.raw; 9 (auths) is deprecated and refused.
constexpr pb::Rule kRaw[] = {{1, Wire::Bytes},  {3, Wire::Varint}, {4, Wire::Bytes},
                             {8, Wire::Varint}, {10, Wire::Bytes}, {11, Wire::Bytes, true},
                             {12, Wire::Bytes}, {14, Wire::Varint}, {18, Wire::Varint}};
// Transaction.Contract: type, parameter (Any), provider, ContractName, Permission_id.
constexpr pb::Rule kContract[] = {
    {1, Wire::Varint}, {2, Wire::Bytes}, {3, Wire::Bytes}, {4, Wire::Bytes}, {5, Wire::Varint}};
// google.protobuf.Any: type_url, value.
constexpr pb::Rule kAny[] = {{1, Wire::Bytes}, {2, Wire::Bytes}};

}  // namespace

std::expected<RawData, std::string> read_raw_data(ByteSpan raw_data) {
    if (raw_data.empty()) return Fault("empty raw_data");
    const auto raw = pb::read_message(raw_data, kRaw, "raw_data");
    if (!raw) return Fault(raw.error());
    std::size_t contracts = 0;
    for (const pb::Field& f : *raw) contracts += f.number == 11 ? 1 : 0;
    if (contracts != 1) return Fault("raw_data: expected one contract, got " + std::to_string(contracts));
    const auto contract = pb::read_message(pb::find(*raw, 11)->bytes, kContract, "contract");
    if (!contract) return Fault(contract.error());
    const pb::Field* parameter = pb::find(*contract, 2);
    if (parameter == nullptr) return Fault("contract: no parameter");
    const auto any = pb::read_message(parameter->bytes, kAny, "parameter");
    if (!any) return Fault(any.error());

    RawData out;
    if (const auto* type = pb::find(*contract, 1)) out.contract_type = type->value;
    if (const auto* url = pb::find(*any, 1)) out.type_url.assign(url->bytes.begin(), url->bytes.end());
    if (const auto* value = pb::find(*any, 2)) out.parameter = value->bytes;
    if (const auto* fee = pb::find(*raw, 18)) out.fee_limit = fee->value;
    if (const auto* expiration = pb::find(*raw, 8)) out.expiration = expiration->value;
    return out;
}

std::expected<SignedTransaction, SignerError> sign_raw_data(ByteSpan key, ByteSpan raw_data) {
    const Hash32 txid = sha256(raw_data);
    auto signature = secp256k1::sign_digest(key, txid, "hash");
    if (!signature) return std::unexpected(signature.error());
    SignedTransaction out;
    pb::put_bytes(out.wire, 1, raw_data);
    pb::put_bytes(out.wire, 2, signature->signature);
    out.hash.assign(txid.begin(), txid.end());
    return out;
}

}  // namespace qel_signer::chains::tron
