#include <nlohmann/json.hpp>

#include "ops.hpp"
#include "transactions.hpp"
#include "qel_core/config.hpp"
#include "qel_core/json.hpp"
#include "qel_core/shown.hpp"
#include "qel_signer/chains/solana.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/rlp.hpp"
#include "qel_signer/signer.hpp"

namespace qel_lib::ops {

using qel_core::ChainType;
using qel_signer::ByteSpan;
using qel_signer::Bytes;

namespace {

// The signature covers the bytes given, but a node hashes the transaction it
// decodes: for EVM the re-encoded fields, for Solana the message as its own
// decoder delimits it. Anything beyond what both read the same way would be
// sent with a signature over other bytes, so it is refused before unlocking.
std::expected<void, QelLibError> check_sendable(ChainType chain_type, ByteSpan tx) {
    std::expected<void, std::string_view> checked;
    switch (chain_type) {
        case ChainType::Evm: checked = qel_signer::rlp::check_unsigned_typed_tx(tx); break;
        case ChainType::Solana: checked = qel_signer::chains::solana::check_transaction(tx); break;
        case ChainType::Cosmos:
        case ChainType::Bitcoin:
        case ChainType::Tron:
        case ChainType::Ton:
            break;  // no encoder: refused by the signer, after unlocking
    }
    if (checked) return {};
    return std::unexpected(QelLibError::invalid_input("invalid hex transaction: " + std::string(checked.error())));
}

}  // namespace

std::expected<std::string, QelLibError> configured_endpoint(std::string_view chain_id) {
    const qel_core::Config config = qel_core::Config::load_or_default();
    const auto entry = config.rpc.find(std::string(chain_id));
    if (entry == config.rpc.end()) {
        return std::unexpected(QelLibError::broadcast_failed("no RPC endpoint configured for " + std::string(chain_id)));
    }
    return entry->second;
}

std::expected<std::string, QelLibError> extract_json_field(std::string_view reply, std::string_view name) {
    qel_core::JsonParser parser(kMaxReplyDepth);
    auto doc = parser.parse(reply);
    if (!doc) {
        // Replies have always called their nesting limit by this name.
        if (doc.error() == qel_core::too_deep_text(kMaxReplyDepth)) {
            return std::unexpected(QelLibError::json("recursion limit exceeded"));
        }
        return std::unexpected(QelLibError::json(doc.error()));
    }
    simdjson::dom::object object;
    if (doc->get_object().get(object) == simdjson::SUCCESS) {
        if (const auto error = qel_core::find_member(object, "error")) {
            return std::unexpected(QelLibError::broadcast_failed(
                "RPC error: " + qel_core::shown(qel_core::to_generic(*error).dump(
                                    -1, ' ', false, nlohmann::json::error_handler_t::replace))));
        }
        std::string_view field;
        if (const auto value = qel_core::find_member(object, name);
            value && value->get_string().get(field) == simdjson::SUCCESS) {
            return std::string(field);
        }
    }
    return std::unexpected(
        QelLibError::broadcast_failed("no '" + std::string(name) + "' in response: " + qel_core::shown(reply)));
}

std::expected<std::string, QelLibError> endpoint_for(OptText rpc_url, std::string_view chain_id) {
    std::string url;
    if (rpc_url) {
        url = std::string(*rpc_url);
    } else {
        auto configured = configured_endpoint(chain_id);
        if (!configured) return std::unexpected(configured.error());
        url = std::move(*configured);
    }
    if (auto checked = check_rpc_url(url); !checked) return std::unexpected(checked.error());
    return url;
}

std::expected<std::string, QelLibError> broadcast(ChainType chain_type, std::string_view url, ByteSpan signed_tx,
                                                  const StopRequested& stop_requested) {
    nlohmann::json request = {{"id", 1}, {"jsonrpc", "2.0"}};
    switch (chain_type) {
        case ChainType::Evm:
            request["method"] = "eth_sendRawTransaction";
            request["params"] = nlohmann::json::array({"0x" + qel_signer::hex_encode(signed_tx)});
            break;
        case ChainType::Solana:
            request["method"] = "sendTransaction";
            // Without the options object a public endpoint would read the text as base58.
            request["params"] =
                nlohmann::json::array({qel_signer::base64_encode(signed_tx), {{"encoding", "base64"}}});
            break;
        case ChainType::Cosmos:
        case ChainType::Bitcoin:
        case ChainType::Tron:
        case ChainType::Ton:
            return std::unexpected(QelLibError::broadcast_failed("broadcast not implemented for " +
                                                                 std::string(qel_core::to_string(chain_type))));
    }
    auto reply = curl_post_json(url, request.dump(), stop_requested);
    if (!reply) return std::unexpected(reply.error());
    return extract_json_field(*reply, "result");
}

namespace {

// The transaction signed with `key` and encoded as the node takes it.
std::expected<Bytes, QelLibError> sign_and_encode_with(ByteSpan key, ChainType chain_type, ByteSpan tx) {
    const auto signer = qel_signer::signer_for_chain(chain_type);
    auto signable = signer->extract_signable_bytes(tx);
    if (!signable) return std::unexpected(signable.error());
    auto output = signer->sign_transaction(key, *signable);
    if (!output) return std::unexpected(output.error());
    auto signed_tx = signer->encode_signed_transaction(tx, *output);
    if (!signed_tx) return std::unexpected(signed_tx.error());
    return std::move(*signed_tx);
}

}  // namespace

std::expected<std::string, QelLibError> sign_and_send(std::string_view wallet, std::string_view chain,
                                                     std::string_view tx_hex, OptText passphrase, OptIndex index,
                                                     OptText rpc_url, const OptPath& vault_root,
                                                     const StopRequested& stop_requested) {
    // The endpoint, the caller's or the configuration's, is chosen and
    // checked before the wallet is unlocked.
    std::string url;
    const auto check = [&](ChainType chain_type, ByteSpan tx) -> std::expected<void, QelLibError> {
        if (auto sendable = check_sendable(chain_type, tx); !sendable) return sendable;
        // A transaction for another network could be sent there by whoever runs this endpoint.
        if (chain_type == ChainType::Evm) {
            if (auto same = check_typed_chain_id(chain, tx); !same) return same;
        }
        auto resolved = resolve_chain(chain);
        if (!resolved) return std::unexpected(resolved.error());
        auto chosen = endpoint_for(rpc_url, resolved->chain_id);
        if (!chosen) return std::unexpected(chosen.error());
        url = std::move(*chosen);
        return {};
    };
    auto unlocked = unlock_for_transaction(wallet, chain, tx_hex, passphrase, index, vault_root, check);
    if (!unlocked) return std::unexpected(unlocked.error());
    auto signed_tx = sign_and_encode_with(unlocked->key.as_slice(), unlocked->chain.chain_type, unlocked->tx);
    // The key is wiped before the wait for the node, which may last minutes.
    unlocked->key = qel_signer::SecretBytes();
    if (!signed_tx) return std::unexpected(signed_tx.error());
    return broadcast(unlocked->chain.chain_type, url, *signed_tx, stop_requested);
}

}  // namespace qel_lib::ops
