#pragma once

// Wallet v5r1 (W5) transfers: the signing message a wallet is handed, read
// strictly, signed, and sent as the external message the TON HTTP API's
// sendBoc takes, with the wallet's StateInit while it is not deployed yet.

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "boc.hpp"
#include "qel_signer/chains/ton.hpp"
#include "qel_signer/signed_tx.hpp"
#include "qel_signer/signer.hpp"

namespace qel_signer::chains::ton {

inline constexpr std::uint32_t kSignedExternalOp = 0x7369676e;  // "sign"

// An out action that sends an internal message: where to, how much, and
// whether it bounces back should the destination fail.
struct Send {
    Account destination;
    bool bounce = false;
    Bytes nanoton;  // big-endian, at most 15 bytes
};

struct SigningMessage {
    std::uint32_t wallet_id = 0;
    std::uint32_t valid_until = 0;
    std::uint32_t seqno = 0;
    std::size_t actions = 0;  // out actions listed (send_msg and others)
    std::vector<Send> sends;  // the send_msg actions to a standard address, in order
    Boc boc;
};

// Reads the unsigned body of a signed external request: one root cell of
// exactly op "sign", wallet_id, valid_until, seqno and the inner request's
// two flags (out actions in a reference when present, other actions in a
// reference when flagged), with just those references. The wallet id must be
// the mainnet v5r1 one this library's addresses are made with.
[[nodiscard]] std::expected<SigningMessage, std::string> read_signing_message(ByteSpan boc);

// Signs the hash of the signing message's root cell, appends the signature
// to that cell, and wraps it into the external message to the wallet of
// `key` (with its StateInit when seqno is 0). The hash is the external
// message's root cell hash. Cells are written in the order other TON
// libraries write them.
[[nodiscard]] std::expected<SignedTransaction, SignerError> sign_external(ByteSpan key, const SigningMessage& message);

}  // namespace qel_signer::chains::ton
