#include "signing.hpp"

#include <secp256k1.h>

#include <algorithm>

#include "qel_signer/hash.hpp"
#include "qel_signer/secp256k1.hpp"

namespace qel_signer::chains::bitcoin {

namespace {

constexpr std::uint32_t kSighashAll = 1;


bool is_p2wpkh(ByteSpan script) { return script.size() == 22 && script[0] == 0x00 && script[1] == 0x14; }

// The DER form of a compact r || s signature, as the secp256k1 library writes it.
Bytes der_signature(ByteSpan rs) {
    secp256k1_ecdsa_signature sig;
    (void)secp256k1_ecdsa_signature_parse_compact(secp256k1::context(), &sig, rs.data());
    Bytes out(72);
    std::size_t size = out.size();
    (void)secp256k1_ecdsa_signature_serialize_der(secp256k1::context(), out.data(), &size, &sig);
    out.resize(size);
    return out;
}

}  // namespace

std::expected<void, std::string> check_signable(const Psbt& psbt) {
    for (std::size_t i = 0; i < psbt.inputs.size(); ++i) {
        const PsbtInput& input = psbt.inputs[i];
        const std::string name = "input " + std::to_string(i) + ": ";
        if (input.sighash_type && *input.sighash_type != kSighashAll) {
            return std::unexpected(name + "sighash type " + std::to_string(*input.sighash_type) +
                                   " is not SIGHASH_ALL (1)");
        }
        if (!input.witness_utxo) return std::unexpected(name + "no witness_utxo");
        if (!is_p2wpkh(input.witness_utxo->script_pubkey)) return std::unexpected(name + "does not spend a P2WPKH output");
    }
    return {};
}

namespace {

// The parts of the BIP-143 preimage that every input shares.
struct SharedHashes {
    Hash32 prevouts;
    Hash32 sequences;
    Hash32 outputs;
};

SharedHashes shared_hashes(const Transaction& tx) {
    Bytes prevouts, sequences, outputs;
    for (const TxIn& in : tx.inputs) {
        prevouts.insert(prevouts.end(), in.prevout.txid.begin(), in.prevout.txid.end());
        put_le(prevouts, in.prevout.vout, 4);
        put_le(sequences, in.sequence, 4);
    }
    for (const TxOut& o : tx.outputs) {
        put_le(outputs, o.value, 8);
        put_compact_size(outputs, o.script_pubkey.size());
        outputs.insert(outputs.end(), o.script_pubkey.begin(), o.script_pubkey.end());
    }
    return {double_sha256(prevouts), double_sha256(sequences), double_sha256(outputs)};
}

Hash32 sighash_with(const SharedHashes& shared, const Transaction& tx, std::size_t index,
                    std::span<const std::uint8_t, 20> key_hash, std::uint64_t amount) {
    const TxIn& in = tx.inputs[index];
    Bytes preimage;
    preimage.reserve(4 + 32 + 32 + 36 + 26 + 8 + 4 + 32 + 4 + 4);
    put_le(preimage, tx.version, 4);
    preimage.insert(preimage.end(), shared.prevouts.begin(), shared.prevouts.end());
    preimage.insert(preimage.end(), shared.sequences.begin(), shared.sequences.end());
    preimage.insert(preimage.end(), in.prevout.txid.begin(), in.prevout.txid.end());
    put_le(preimage, in.prevout.vout, 4);
    // scriptCode: OP_DUP OP_HASH160 <key hash> OP_EQUALVERIFY OP_CHECKSIG
    preimage.insert(preimage.end(), {0x19, 0x76, 0xa9, 0x14});
    preimage.insert(preimage.end(), key_hash.begin(), key_hash.end());
    preimage.insert(preimage.end(), {0x88, 0xac});
    put_le(preimage, amount, 8);
    put_le(preimage, in.sequence, 4);
    preimage.insert(preimage.end(), shared.outputs.begin(), shared.outputs.end());
    put_le(preimage, tx.locktime, 4);
    put_le(preimage, kSighashAll, 4);
    return double_sha256(preimage);
}

}  // namespace

Hash32 p2wpkh_sighash(const Transaction& tx, std::size_t index, std::span<const std::uint8_t, 20> key_hash,
                      std::uint64_t amount) {
    return sighash_with(shared_hashes(tx), tx, index, key_hash, amount);
}

std::expected<SignedTransaction, SignerError> sign_psbt(ByteSpan key, const Psbt& psbt) {
    const auto pub = secp256k1::compressed_public_key(key);
    if (!pub) return std::unexpected(pub.error());
    const Hash20 key_hash = hash160(*pub);
    const SharedHashes shared = shared_hashes(psbt.tx);
    std::vector<Bytes> witnesses;
    for (std::size_t i = 0; i < psbt.inputs.size(); ++i) {
        const ByteSpan script = psbt.inputs[i].witness_utxo->script_pubkey;
        if (!std::equal(key_hash.begin(), key_hash.end(), script.begin() + 2)) {
            return std::unexpected(SignerError{SignerError::Kind::InvalidTransaction,
                                               "input " + std::to_string(i) + " is not spendable by this account"});
        }
        const Hash32 sighash = sighash_with(shared, psbt.tx, i, key_hash, psbt.inputs[i].witness_utxo->value);
        auto signature = secp256k1::sign_digest_low_r(key, sighash);
        if (!signature) return std::unexpected(signature.error());
        Bytes sig = der_signature(ByteSpan(signature->signature).first(64));
        sig.push_back(static_cast<std::uint8_t>(kSighashAll));
        Bytes witness{0x02};
        put_compact_size(witness, sig.size());
        witness.insert(witness.end(), sig.begin(), sig.end());
        witness.push_back(33);
        witness.insert(witness.end(), pub->begin(), pub->end());
        witnesses.push_back(std::move(witness));
    }
    // version, marker and flag, inputs and outputs, witnesses, locktime.
    const Bytes bare = serialize_without_witness(psbt.tx);
    SignedTransaction out;
    out.wire.reserve(bare.size() + 2 + witnesses.size() * 108);
    out.wire.insert(out.wire.end(), bare.begin(), bare.begin() + 4);
    out.wire.insert(out.wire.end(), {0x00, 0x01});
    out.wire.insert(out.wire.end(), bare.begin() + 4, bare.end() - 4);
    for (const Bytes& w : witnesses) out.wire.insert(out.wire.end(), w.begin(), w.end());
    out.wire.insert(out.wire.end(), bare.end() - 4, bare.end());
    const Hash32 txid = double_sha256(bare);
    out.hash.assign(txid.rbegin(), txid.rend());
    return out;
}

}  // namespace qel_signer::chains::bitcoin
