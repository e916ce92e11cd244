// describe_transaction: what an unsigned transaction of any family says about
// where value goes, read by the same strict readers as sign_and_encode, for a
// person to check before signing.

#include "qel_signer/chains/bitcoin/psbt.hpp"
#include "qel_signer/chains/cosmos/sign_doc.hpp"
#include "qel_signer/chains/evm.hpp"
#include "qel_signer/chains/evm_transaction.hpp"
#include "qel_signer/chains/solana.hpp"
#include "qel_signer/chains/ton/wallet_v5.hpp"
#include "qel_signer/chains/tron/transaction.hpp"
#include "qel_signer/encoding.hpp"
#include "qel_signer/protobuf.hpp"
#include "text.hpp"
#include "transactions.hpp"

namespace qel_lib::ops {

using qel_core::ChainType;
using qel_signer::ByteSpan;
using qel_signer::Bytes;

namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;

// A big-endian unsigned integer of any length in decimal.
std::string decimal(ByteSpan be) {
    Bytes n(be.begin(), be.end());
    std::string digits;
    for (;;) {
        unsigned rest = 0;
        bool zero = true;
        for (std::uint8_t& b : n) {
            const unsigned cur = (rest << 8) | b;
            b = static_cast<std::uint8_t>(cur / 10);
            rest = cur % 10;
            zero = zero && b == 0;
        }
        digits.insert(digits.begin(), static_cast<char>('0' + rest));
        if (zero) return digits;
    }
}

std::string decimal(std::uint64_t v) { return std::to_string(v); }

// Text from a hostile document, shown on a terminal: printable ASCII only.
std::string shown(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, 200)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
    return out;
}

Lines describe_evm(const qel_signer::chains::evm::UnsignedTransaction& tx) {
    const auto& f = tx.fields;
    const auto field = [&f](std::size_t i) { return f[i].bytes; };
    const std::size_t base = tx.type == 0 ? 0 : 1;  // typed ones start with the chain id
    Lines out{{"chain id", decimal(tx.chain_id)}, {"nonce", decimal(field(base))}};
    std::size_t next = base + 1;
    if (tx.type == 0 || tx.type == 1) {
        out.emplace_back("gas price", decimal(field(next++)));
    } else {
        out.emplace_back("max priority fee per gas", decimal(field(next++)));
        out.emplace_back("max fee per gas", decimal(field(next++)));
    }
    out.emplace_back("gas", decimal(field(next++)));
    const ByteSpan to = field(next++);
    out.emplace_back("to", to.empty() ? std::string("(contract creation)")
                                      : qel_signer::chains::evm::checksum_address(to.first<20>()));
    out.emplace_back("value (wei)", decimal(field(next++)));
    out.emplace_back("data (bytes)", std::to_string(field(next).size()));
    if (tx.type == 4) {
        out.emplace_back("authorizations", std::to_string(qel_signer::rlp::list_items(f[9].bytes)->size()));
    }
    return out;
}

std::string bitcoin_destination(ByteSpan script) {
    if (script.size() == 22 && script[0] == 0x00 && script[1] == 0x14) {
        return qel_signer::segwit_v0_encode("bc", script.subspan(2)).value_or("script " + qel_signer::hex_encode(script));
    }
    if (script.size() == 34 && script[0] == 0x00 && script[1] == 0x20) {
        return qel_signer::segwit_v0_encode("bc", script.subspan(2)).value_or("script " + qel_signer::hex_encode(script));
    }
    return "script " + qel_signer::hex_encode(script);
}

Lines describe_bitcoin(const qel_signer::chains::bitcoin::Psbt& psbt) {
    Lines out;
    std::uint64_t spent = 0;
    std::uint64_t paid = 0;
    bool known = true;
    for (const auto& input : psbt.inputs) {
        if (input.witness_utxo) {
            spent += input.witness_utxo->value;
        } else {
            known = false;
        }
    }
    for (std::size_t i = 0; i < psbt.tx.outputs.size(); ++i) {
        const auto& o = psbt.tx.outputs[i];
        paid += o.value;
        out.emplace_back("output " + std::to_string(i), decimal(o.value) + " sat to " + bitcoin_destination(o.script_pubkey));
    }
    out.emplace_back("fee (sat)", known && spent >= paid ? decimal(spent - paid) : std::string("unknown"));
    return out;
}

Lines describe_cosmos(const qel_signer::chains::cosmos::SignDoc& doc) {
    Lines out{{"chain id", shown(doc.chain_id)}, {"account number", decimal(doc.account_number)}};
    int messages = 0;
    namespace pb = qel_signer::protobuf;
    if (const auto body = pb::read_fields(doc.body_bytes)) {
        for (const pb::Field& f : *body) {
            if (f.number == 1 && f.wire == pb::Wire::Bytes) {
                const auto any = pb::read_fields(f.bytes);
                const pb::Field* url = any ? pb::find(*any, 1) : nullptr;
                out.emplace_back("message " + std::to_string(++messages), url != nullptr ? shown(qel_lib::as_text(url->bytes)) : "?");
            }
            if (f.number == 2 && f.wire == pb::Wire::Bytes) out.emplace_back("memo", shown(qel_lib::as_text(f.bytes)));
        }
    }
    return out;
}

Lines describe_tron(const qel_signer::chains::tron::RawData& raw) {
    Lines out{{"contract", shown(raw.type_url)}};
    namespace pb = qel_signer::protobuf;
    if (raw.contract_type == 1) {  // TransferContract: owner, to, amount
        if (const auto fields = pb::read_fields(raw.parameter)) {
            if (const auto* to = pb::find(*fields, 2)) out.emplace_back("to", qel_signer::base58check_encode(to->bytes));
            const auto* amount = pb::find(*fields, 3);
            out.emplace_back("amount (sun)", decimal(amount != nullptr ? amount->value : 0));
        }
    }
    out.emplace_back("fee limit (sun)", decimal(raw.fee_limit));
    out.emplace_back("expiration (ms)", decimal(raw.expiration));
    return out;
}

Lines describe_solana(ByteSpan tx) {
    // Signature slots, then the message: version prefix, header, accounts.
    std::size_t pos = 1 + 64 * std::size_t{tx[0]};
    if (tx[pos] & 0x80) ++pos;
    const std::uint8_t signers = tx[pos];
    pos += 3;
    std::size_t keys = tx[pos];
    std::size_t width = 1;
    if (keys & 0x80) {  // a two-byte compact-u16 (the reader has checked it)
        keys = (keys & 0x7f) | (std::size_t{tx[pos + 1]} << 7);
        width = 2;
    }
    pos += width;
    Lines out{{"fee payer", qel_signer::base58_encode(tx.subspan(pos, 32))},
              {"signers", std::to_string(signers)},
              {"accounts", std::to_string(keys)}};
    return out;
}

Lines describe_ton(const qel_signer::chains::ton::SigningMessage& message) {
    return {{"seqno", decimal(message.seqno)},
            {"valid until", decimal(message.valid_until)},
            {"messages sent", std::to_string(message.actions)}};
}

}  // namespace

std::expected<std::vector<std::pair<std::string, std::string>>, QelLibError> describe_transaction(
    std::string_view chain, std::string_view unsigned_tx) {
    auto target = resolve_target_chain(chain);
    if (!target) return std::unexpected(target.error());
    auto bytes = decode_unsigned_transaction(target->chain_type, unsigned_tx);
    if (!bytes) return std::unexpected(bytes.error());
    const auto malformed = [](const std::string& why) {
        return std::unexpected(QelLibError::invalid_input("transaction: " + why));
    };
    switch (target->chain_type) {
        case ChainType::Evm: {
            const auto tx = qel_signer::chains::evm::read_transaction(*bytes);
            if (!tx) return malformed(tx.error());
            return describe_evm(*tx);
        }
        case ChainType::Solana: {
            if (auto ok = qel_signer::chains::solana::check_transaction(*bytes); !ok) return malformed(std::string(ok.error()));
            return describe_solana(*bytes);
        }
        case ChainType::Bitcoin: {
            const auto psbt = qel_signer::chains::bitcoin::read_psbt(*bytes);
            if (!psbt) return malformed(psbt.error());
            return describe_bitcoin(*psbt);
        }
        case ChainType::Cosmos: {
            const auto doc = qel_signer::chains::cosmos::read_sign_doc(*bytes);
            if (!doc) return malformed(doc.error());
            return describe_cosmos(*doc);
        }
        case ChainType::Tron: {
            const auto raw = qel_signer::chains::tron::read_raw_data(*bytes);
            if (!raw) return malformed(raw.error());
            return describe_tron(*raw);
        }
        case ChainType::Ton: {
            const auto message = qel_signer::chains::ton::read_signing_message(*bytes);
            if (!message) return malformed(message.error());
            return describe_ton(*message);
        }
    }
    return malformed("unknown chain family");
}

}  // namespace qel_lib::ops
