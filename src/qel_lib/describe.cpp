// describe_transaction: what an unsigned transaction of any family says about
// where value goes, read by the same strict readers as sign_and_encode, for a
// person to check before signing.

#include <algorithm>

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

std::string decimal(ByteSpan be) { return qel_signer::big_endian_decimal(be); }
std::string decimal(std::uint64_t v) { return std::to_string(v); }

// Text from a hostile document, shown on a terminal for a person to check:
// printable ASCII only, so that no control sequence, bidirectional override
// or look-alike letter can dress one address up as another.
std::string ascii_only(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, 200)) out += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (text.size() > 200) out += "...";  // cut, as it says
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
    // Version 0 witness programs: a 20-byte key hash or a 32-byte script hash.
    const bool v0 = (script.size() == 22 || script.size() == 34) && script[0] == 0x00 && script[1] == script.size() - 2;
    if (v0) return qel_signer::segwit_v0_encode("bc", script.subspan(2)).value_or("script " + qel_signer::hex_encode(script));
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

// A bank MsgSend (from, to, coins of denom and amount) as "<amounts> to <address>".
std::string cosmos_send(ByteSpan msg_send) {
    namespace pb = qel_signer::protobuf;
    const auto fields = pb::read_fields(msg_send);
    if (!fields) return "(not decoded)";
    std::string coins;
    std::string to = "?";
    for (const pb::Field& f : *fields) {
        if (f.wire != pb::Wire::Bytes) continue;
        if (f.number == 2) to = ascii_only(qel_lib::as_text(f.bytes));
        if (f.number != 3) continue;
        const auto coin = pb::read_fields(f.bytes);
        const pb::Field* denom = coin ? pb::find(*coin, 1) : nullptr;
        const pb::Field* amount = coin ? pb::find(*coin, 2) : nullptr;
        coins += (coins.empty() ? "" : " + ") + (amount != nullptr ? ascii_only(qel_lib::as_text(amount->bytes)) : "0") +
                 " " + (denom != nullptr ? ascii_only(qel_lib::as_text(denom->bytes)) : "?");
    }
    return (coins.empty() ? "nothing" : coins) + " to " + to;
}

Lines describe_cosmos(const qel_signer::chains::cosmos::SignDoc& doc) {
    Lines out{{"chain id", ascii_only(doc.chain_id)}, {"account number", decimal(doc.account_number)}};
    int messages = 0;
    namespace pb = qel_signer::protobuf;
    if (const auto body = pb::read_fields(doc.body_bytes)) {
        for (const pb::Field& f : *body) {
            if (f.number == 1 && f.wire == pb::Wire::Bytes) {
                const auto any = pb::read_fields(f.bytes);
                const pb::Field* url = any ? pb::find(*any, 1) : nullptr;
                const pb::Field* value = any ? pb::find(*any, 2) : nullptr;
                std::string line = url != nullptr ? ascii_only(qel_lib::as_text(url->bytes)) : "?";
                if (url != nullptr && qel_lib::as_text(url->bytes) == "/cosmos.bank.v1beta1.MsgSend") {
                    line += ": " + cosmos_send(value != nullptr ? value->bytes : ByteSpan{});
                }
                out.emplace_back("message " + std::to_string(++messages), line);
            }
            if (f.number == 2 && f.wire == pb::Wire::Bytes) out.emplace_back("memo", ascii_only(qel_lib::as_text(f.bytes)));
        }
    }
    return out;
}

Lines describe_tron(const qel_signer::chains::tron::RawData& raw) {
    Lines out{{"contract", ascii_only(raw.type_url)}};
    namespace pb = qel_signer::protobuf;
    if (raw.contract_type == 1) {  // TransferContract: owner, to, amount
        if (const auto fields = pb::read_fields(raw.parameter)) {
            if (const auto* to = pb::find(*fields, 2)) out.emplace_back("to", qel_signer::base58check_encode(to->bytes));
            const auto* amount = pb::find(*fields, 3);
            out.emplace_back("amount (sun)", decimal(amount != nullptr ? amount->value : 0));
        }
    }
    if (raw.contract_type == 31) {  // TriggerSmartContract: owner, contract, call value, data
        if (const auto fields = pb::read_fields(raw.parameter)) {
            if (const auto* to = pb::find(*fields, 2)) out.emplace_back("contract address", qel_signer::base58check_encode(to->bytes));
            const auto* value = pb::find(*fields, 3);
            out.emplace_back("call value (sun)", decimal(value != nullptr ? value->value : 0));
            // A token's transfer(address,uint256): the recipient's 20 bytes end its first word.
            const auto* data = pb::find(*fields, 4);
            const ByteSpan call = data != nullptr ? data->bytes : ByteSpan{};
            constexpr std::uint8_t kTransfer[] = {0xa9, 0x05, 0x9c, 0xbb};
            if (call.size() == 68 && std::ranges::equal(call.first(4), kTransfer)) {
                Bytes recipient{0x41};
                recipient.insert(recipient.end(), call.begin() + 16, call.begin() + 36);
                out.emplace_back("token transfer", decimal(call.subspan(36)) + " (token units) to " +
                                                       qel_signer::base58check_encode(recipient));
            }
        }
    }
    out.emplace_back("fee limit (sun)", decimal(raw.fee_limit));
    out.emplace_back("expiration (ms)", decimal(raw.expiration));
    return out;
}

// A Solana account by its index into the message's keys; a version 0
// message's later indexes name accounts of its lookup tables.
std::string solana_account(const qel_signer::chains::solana::MessageView& view, std::size_t index) {
    if (index < view.keys.size()) return qel_signer::base58_encode(view.keys[index]);
    return "lookup table account " + std::to_string(index - view.keys.size());
}

Lines describe_solana(ByteSpan tx) {
    const auto view = qel_signer::chains::solana::view_message(tx);
    Lines out{{"fee payer", solana_account(view, 0)}, {"signers", std::to_string(view.required_signatures)}};
    for (std::size_t i = 0; i < view.instructions.size(); ++i) {
        const auto& ix = view.instructions[i];
        const std::string label = "instruction " + std::to_string(i + 1);
        const std::string program = solana_account(view, ix.program);
        // The system program (the all-zero key)'s transfer: u32 2, then the
        // lamports (u64), both little-endian.
        const bool system = ix.program < view.keys.size() && std::ranges::all_of(view.keys[ix.program], [](auto b) { return b == 0; });
        const ByteSpan d = ix.data;
        if (system && d.size() == 12 && ix.accounts.size() >= 2 && d[0] == 2 && d[1] == 0 && d[2] == 0 && d[3] == 0) {
            std::uint64_t lamports = 0;
            for (int b = 11; b >= 4; --b) lamports = (lamports << 8) | d[static_cast<std::size_t>(b)];
            out.emplace_back(label, "transfer " + decimal(lamports) + " lamports from " +
                                        solana_account(view, ix.accounts[0]) + " to " + solana_account(view, ix.accounts[1]));
        } else {
            out.emplace_back(label, "program " + program + ", " + std::to_string(ix.accounts.size()) + " accounts, " +
                                        std::to_string(d.size()) + " data bytes");
        }
    }
    return out;
}

Lines describe_ton(const qel_signer::chains::ton::SigningMessage& message) {
    Lines out{{"seqno", decimal(message.seqno)}, {"valid until", decimal(message.valid_until)}};
    for (std::size_t i = 0; i < message.sends.size(); ++i) {
        const auto& send = message.sends[i];
        out.emplace_back("message " + std::to_string(i + 1),
                         decimal(send.nanoton) + " nanoton to " +
                             qel_signer::chains::ton::friendly_address(send.destination, send.bounce));
    }
    if (message.actions > message.sends.size()) {
        out.emplace_back("other actions", std::to_string(message.actions - message.sends.size()));
    }
    return out;
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
