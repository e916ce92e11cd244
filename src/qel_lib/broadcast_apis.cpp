// broadcast_transaction: a signed transaction posted to its chain's own API
// (EVM and Solana JSON-RPC, Esplora REST for Bitcoin, Cosmos REST, the Tron
// HTTP API, the TON HTTP API), and each API's replies, errors included, read.

#include <nlohmann/json.hpp>

#include "qel_core/config.hpp"
#include "qel_core/json.hpp"
#include "qel_core/shown.hpp"
#include "qel_signer/chains/ton/boc.hpp"
#include "qel_signer/encoding.hpp"
#include "text.hpp"
#include "transactions.hpp"

namespace qel_lib::ops {

using qel_core::ChainType;
using qel_signer::ByteSpan;
using qel_signer::Bytes;

namespace {

// How much of a node's message an error quotes, in characters.
constexpr std::size_t kMaxQuoted = 300;

QelLibError failed(std::string text) { return QelLibError::broadcast_failed(std::move(text)); }

// A node's text as an error quotes it: control characters escaped, cut short.
std::string node_text(std::string_view text) { return qel_core::shown(text, kMaxQuoted); }

// A reply as a generic JSON value, read under the reply depth limit.
std::expected<nlohmann::json, std::string> parse_generic(std::string_view text) {
    qel_core::JsonParser parser(kMaxReplyDepth);
    auto doc = parser.parse(text);
    if (!doc) return std::unexpected(doc.error());
    return qel_core::to_generic(*doc);
}

std::expected<nlohmann::json, QelLibError> parse_reply(std::string_view reply) {
    auto doc = parse_generic(reply);
    if (!doc) return std::unexpected(QelLibError::json(doc.error()));
    return std::move(*doc);
}

const nlohmann::json* member(const nlohmann::json& object, const char* name) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

std::string text_of(const nlohmann::json* value) {
    if (value == nullptr) return "";
    if (value->is_string()) return value->get<std::string>();
    return value->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The text of an HTTP error reply: the API's message member when the body is
// JSON that has one, otherwise the body itself.
std::string error_text(std::string_view body, std::initializer_list<const char*> names) {
    auto doc = parse_generic(body);
    if (doc) {
        for (const char* name : names) {
            if (const auto* m = member(*doc, name); m != nullptr && !m->is_null()) return node_text(text_of(m));
        }
    }
    return node_text(body);
}

std::string join(std::string_view base, std::string_view path) {
    std::string url(base);
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url + std::string(path);
}

std::expected<std::string, QelLibError> json_rpc(ChainType type, std::string_view url, ByteSpan tx,
                                                 const StopRequested& stop) {
    nlohmann::json request = {{"id", 1}, {"jsonrpc", "2.0"}};
    if (type == ChainType::Evm) {
        request["method"] = "eth_sendRawTransaction";
        request["params"] = nlohmann::json::array({"0x" + qel_signer::hex_encode(tx)});
    } else {
        request["method"] = "sendTransaction";
        request["params"] = nlohmann::json::array({qel_signer::base64_encode(tx), {{"encoding", "base64"}}});
    }
    auto reply = curl_post(url, request.dump(), "application/json", stop);
    if (!reply) return std::unexpected(reply.error());
    auto doc = parse_reply(reply->body);
    if (!doc) {
        if (reply->http_error) return std::unexpected(failed("HTTP error: " + node_text(reply->body)));
        return std::unexpected(doc.error());
    }
    if (const auto* error = member(*doc, "error")) {
        const auto* message = member(*error, "message");
        return std::unexpected(failed("RPC error: " + node_text(text_of(message != nullptr ? message : error))));
    }
    if (const auto* result = member(*doc, "result"); result != nullptr && result->is_string() && !reply->http_error) {
        return result->get<std::string>();
    }
    return std::unexpected(failed("no 'result' in response: " + node_text(reply->body)));
}

// Esplora: POST {base}/tx with the hex as the body; the reply is the txid.
std::expected<std::string, QelLibError> bitcoin(std::string_view base, ByteSpan tx, const StopRequested& stop) {
    auto reply = curl_post(join(base, "/tx"), qel_signer::hex_encode(tx), "text/plain", stop);
    if (!reply) return std::unexpected(reply.error());
    if (reply->http_error) return std::unexpected(failed("node refused the transaction: " + node_text(reply->body)));
    const bool txid = reply->body.size() == 64 && reply->body.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (!txid) return std::unexpected(failed("unexpected reply (expected a txid): " + node_text(reply->body)));
    return reply->body;
}

// Cosmos REST: BROADCAST_MODE_SYNC, so the reply says whether the
// transaction passed the node's checks (code 0) or why not (raw_log).
std::expected<std::string, QelLibError> cosmos(std::string_view base, ByteSpan tx, const StopRequested& stop) {
    const nlohmann::json request = {{"mode", "BROADCAST_MODE_SYNC"}, {"tx_bytes", qel_signer::base64_encode(tx)}};
    auto reply = curl_post(join(base, "/cosmos/tx/v1beta1/txs"), request.dump(), "application/json", stop);
    if (!reply) return std::unexpected(reply.error());
    if (reply->http_error) {
        return std::unexpected(failed("node refused the transaction: " + error_text(reply->body, {"message"})));
    }
    auto doc = parse_reply(reply->body);
    if (!doc) return std::unexpected(doc.error());
    const auto* response = member(*doc, "tx_response");
    const auto* hash = response != nullptr ? member(*response, "txhash") : nullptr;
    if (hash == nullptr || !hash->is_string()) {
        return std::unexpected(failed("no 'tx_response.txhash' in response: " + node_text(reply->body)));
    }
    if (const auto* code = member(*response, "code"); code != nullptr && !(code->is_number_integer() && *code == 0)) {
        return std::unexpected(failed("code " + text_of(code) + ": " + node_text(text_of(member(*response, "raw_log")))));
    }
    return hash->get<std::string>();
}

// Tron: POST {base}/wallet/broadcasthex; a refusal has a "code" and a
// "message" that is usually the hex of a text.
std::expected<std::string, QelLibError> tron(std::string_view base, ByteSpan tx, const StopRequested& stop) {
    const nlohmann::json request = {{"transaction", qel_signer::hex_encode(tx)}};
    auto reply = curl_post(join(base, "/wallet/broadcasthex"), request.dump(), "application/json", stop);
    if (!reply) return std::unexpected(reply.error());
    if (reply->http_error) {
        return std::unexpected(failed("node refused the transaction: " + error_text(reply->body, {"message", "Error"})));
    }
    auto doc = parse_reply(reply->body);
    if (!doc) return std::unexpected(doc.error());
    const auto* result = member(*doc, "result");
    const auto* txid = member(*doc, "txid");
    if (result != nullptr && *result == true && txid != nullptr && txid->is_string()) return txid->get<std::string>();
    std::string message = text_of(member(*doc, "message"));
    if (auto decoded = qel_signer::hex_decode(message); decoded && !decoded->empty()) {
        message.assign(decoded->begin(), decoded->end());
    }
    const std::string code = text_of(member(*doc, "code"));
    if (code.empty() && message.empty()) {
        return std::unexpected(failed("no 'txid' in response: " + node_text(reply->body)));
    }
    return std::unexpected(failed((code.empty() ? std::string() : code + ": ") + node_text(message)));
}

// TON HTTP API: POST {base}/sendBoc. The reply carries no hash, so the
// message's own (its root cell's hash) is reported.
std::expected<std::string, QelLibError> ton(std::string_view base, ByteSpan boc_bytes, const std::string& hash,
                                            const StopRequested& stop) {
    const nlohmann::json request = {{"boc", qel_signer::base64_encode(boc_bytes)}};
    auto reply = curl_post(join(base, "/sendBoc"), request.dump(), "application/json", stop);
    if (!reply) return std::unexpected(reply.error());
    if (reply->http_error) {
        return std::unexpected(failed("node refused the message: " + error_text(reply->body, {"error", "message"})));
    }
    auto doc = parse_reply(reply->body);
    if (!doc) return std::unexpected(doc.error());
    if (const auto* ok = member(*doc, "ok"); ok == nullptr || *ok != true) {
        return std::unexpected(failed("node refused the message: " + error_text(reply->body, {"error"})));
    }
    return hash;
}

}  // namespace

std::expected<std::string, QelLibError> broadcast_transaction(std::string_view chain, std::string_view signed_tx,
                                                              OptText rpc_url, const StopRequested& stop) {
    auto target = resolve_target_chain(chain);
    if (!target) return std::unexpected(target.error());
    const ChainType type = target->chain_type;
    auto tx = decode_transaction_text(signed_tx, type == ChainType::Solana || type == ChainType::Cosmos ||
                                                     type == ChainType::Ton);
    if (!tx) return std::unexpected(tx.error());
    if (tx->empty()) return std::unexpected(QelLibError::invalid_input("empty transaction"));

    std::string ton_hash;
    if (type == ChainType::Ton) {
        auto boc = qel_signer::chains::ton::read_boc(*tx);
        if (!boc) return std::unexpected(QelLibError::invalid_input("invalid message: " + boc.error()));
        ton_hash = qel_signer::hex_encode(boc->cells[0].hash);
    }

    auto url = endpoint_for(rpc_url, target->chain_id);
    if (!url) return std::unexpected(url.error());

    switch (type) {
        case ChainType::Evm:
        case ChainType::Solana: return json_rpc(type, *url, *tx, stop);
        case ChainType::Bitcoin: return bitcoin(*url, *tx, stop);
        case ChainType::Cosmos: return cosmos(*url, *tx, stop);
        case ChainType::Tron: return tron(*url, *tx, stop);
        case ChainType::Ton: return ton(*url, *tx, ton_hash, stop);
    }
    return std::unexpected(failed("unknown chain family"));
}

}  // namespace qel_lib::ops
