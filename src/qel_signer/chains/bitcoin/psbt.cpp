#include "psbt.hpp"

#include <algorithm>
#include <set>

#include "qel_signer/encoding.hpp"
#include "qel_signer/hash.hpp"

namespace qel_signer::chains::bitcoin {

namespace {

using Fault = std::unexpected<std::string>;

class Reader {
public:
    explicit Reader(ByteSpan bytes) : bytes_(bytes) {}

    std::expected<ByteSpan, std::string> take(std::size_t n) {
        if (n > left()) return Fault("truncated");
        const ByteSpan out = bytes_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    std::expected<std::uint64_t, std::string> le(std::size_t width) {
        auto b = take(width);
        if (!b) return Fault(b.error());
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{(*b)[i]} << (8 * i);
        return v;
    }
    std::expected<std::uint64_t, std::string> compact_size() {
        auto first = le(1);
        if (!first) return first;
        if (*first < 0xfd) return first;
        const std::size_t width = *first == 0xfd ? 2 : *first == 0xfe ? 4 : 8;
        auto v = le(width);
        if (!v) return v;
        const std::uint64_t minimum = width == 2 ? 0xfd : width == 4 ? 0x10000 : 0x100000000;
        if (*v < minimum) return Fault("non-minimal compact size");
        return v;
    }
    // A compact-size length followed by that many bytes.
    std::expected<ByteSpan, std::string> var_bytes() {
        auto n = compact_size();
        if (!n) return Fault(n.error());
        if (*n > left()) return Fault("truncated");
        return take(static_cast<std::size_t>(*n));
    }
    [[nodiscard]] std::size_t left() const { return bytes_.size() - pos_; }
    [[nodiscard]] std::size_t pos() const { return pos_; }

private:
    ByteSpan bytes_;
    std::size_t pos_ = 0;
};

std::expected<TxOut, std::string> read_output(Reader& in) {
    auto value = in.le(8);
    if (!value) return Fault(value.error());
    auto script = in.var_bytes();
    if (!script) return Fault(script.error());
    return TxOut{*value, *script};
}

struct Entry {
    ByteSpan key;  // key type and key data
    ByteSpan value;
};

// One map: entries up to the 0x00 separator, no key twice.
std::expected<std::vector<Entry>, std::string> read_map(Reader& in) {
    std::vector<Entry> entries;
    std::set<std::string, std::less<>> seen;
    for (;;) {
        auto key = in.var_bytes();
        if (!key) return Fault(key.error());
        if (key->empty()) return entries;
        auto value = in.var_bytes();
        if (!value) return Fault(value.error());
        if (!seen.emplace(reinterpret_cast<const char*>(key->data()), key->size()).second) {
            return Fault("duplicate key");
        }
        entries.push_back({*key, *value});
    }
}

std::string key_name(std::uint8_t type) { return "key 0x" + hex_encode(std::span(&type, 1)); }

}  // namespace

void put_le(Bytes& out, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void put_compact_size(Bytes& out, std::uint64_t n) {
    if (n < 0xfd) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xffff) {
        out.push_back(0xfd);
        put_le(out, n, 2);
    } else if (n <= 0xffffffff) {
        out.push_back(0xfe);
        put_le(out, n, 4);
    } else {
        out.push_back(0xff);
        put_le(out, n, 8);
    }
}

std::expected<Transaction, std::string> read_transaction(ByteSpan bytes, bool allow_witness) {
    Reader in(bytes);
    Transaction tx;
    auto version = in.le(4);
    if (!version) return Fault(version.error());
    tx.version = static_cast<std::uint32_t>(*version);
    auto count = in.compact_size();
    if (!count) return Fault(count.error());
    if (*count == 0) {  // the segwit marker
        auto flag = in.le(1);
        if (!flag) return Fault(flag.error());
        if (!allow_witness) return Fault("segwit serialization (an unsigned transaction has no witnesses)");
        if (*flag != 1) return Fault("invalid segwit flag");
        tx.had_witness = true;
        count = in.compact_size();
        if (!count) return Fault(count.error());
    }
    if (*count == 0) return Fault("no inputs");
    if (*count > kMaxInputsOrOutputs || *count > in.left() / 41) return Fault("too many inputs");
    for (std::uint64_t i = 0; i < *count; ++i) {
        TxIn input{};
        auto txid = in.take(32);
        if (!txid) return Fault(txid.error());
        std::copy(txid->begin(), txid->end(), input.prevout.txid.begin());
        auto vout = in.le(4);
        auto script = vout ? in.var_bytes() : std::expected<ByteSpan, std::string>(Fault(vout.error()));
        if (!script) return Fault(script.error());
        auto sequence = in.le(4);
        if (!sequence) return Fault(sequence.error());
        input.prevout.vout = static_cast<std::uint32_t>(*vout);
        input.script_sig = *script;
        input.sequence = static_cast<std::uint32_t>(*sequence);
        tx.inputs.push_back(input);
    }
    auto outputs = in.compact_size();
    if (!outputs) return Fault(outputs.error());
    if (*outputs > kMaxInputsOrOutputs || *outputs > in.left() / 9) return Fault("too many outputs");
    for (std::uint64_t i = 0; i < *outputs; ++i) {
        auto out = read_output(in);
        if (!out) return Fault(out.error());
        tx.outputs.push_back(*out);
    }
    if (tx.had_witness) {
        for (std::size_t i = 0; i < tx.inputs.size(); ++i) {
            auto items = in.compact_size();
            if (!items) return Fault(items.error());
            if (*items > in.left()) return Fault("truncated");
            for (std::uint64_t k = 0; k < *items; ++k) {
                if (auto item = in.var_bytes(); !item) return Fault(item.error());
            }
        }
    }
    auto locktime = in.le(4);
    if (!locktime) return Fault(locktime.error());
    tx.locktime = static_cast<std::uint32_t>(*locktime);
    if (in.left() != 0) return Fault("trailing bytes after the transaction");
    return tx;
}

Bytes serialize_without_witness(const Transaction& tx) {
    Bytes out;
    const auto le = [&out](std::uint64_t v, int width) { put_le(out, v, width); };
    le(tx.version, 4);
    put_compact_size(out, tx.inputs.size());
    for (const TxIn& in : tx.inputs) {
        out.insert(out.end(), in.prevout.txid.begin(), in.prevout.txid.end());
        le(in.prevout.vout, 4);
        put_compact_size(out, in.script_sig.size());
        out.insert(out.end(), in.script_sig.begin(), in.script_sig.end());
        le(in.sequence, 4);
    }
    put_compact_size(out, tx.outputs.size());
    for (const TxOut& o : tx.outputs) {
        le(o.value, 8);
        put_compact_size(out, o.script_pubkey.size());
        out.insert(out.end(), o.script_pubkey.begin(), o.script_pubkey.end());
    }
    le(tx.locktime, 4);
    return out;
}

std::expected<Psbt, std::string> read_psbt(ByteSpan bytes) {
    static constexpr std::uint8_t kMagic[] = {0x70, 0x73, 0x62, 0x74, 0xff};
    if (bytes.size() > kMaxPsbtBytes) return Fault("psbt: larger than " + std::to_string(kMaxPsbtBytes) + " bytes");
    if (bytes.size() < sizeof kMagic || !std::equal(std::begin(kMagic), std::end(kMagic), bytes.begin())) {
        return Fault("psbt: not a PSBT (wrong magic)");
    }
    Reader in(bytes.subspan(sizeof kMagic));
    const auto global = read_map(in);
    if (!global) return Fault("psbt: global map: " + global.error());
    Psbt psbt;
    bool have_tx = false;
    for (const Entry& e : *global) {
        const std::uint8_t type = e.key[0];
        if (type == 0x00 || type == 0xfb || (type >= 0x02 && type <= 0x06)) {
            if (e.key.size() != 1) return Fault("psbt: global " + key_name(type) + " has key data");
        }
        if (type >= 0x02 && type <= 0x06) return Fault("psbt: global " + key_name(type) + " is a version 2 field");
        if (type == 0xfb) {
            if (e.value.size() != 4) return Fault("psbt: version is not 4 bytes");
            if (e.value[0] != 0 || e.value[1] != 0 || e.value[2] != 0 || e.value[3] != 0) {
                return Fault("psbt: only version 0 is supported");
            }
        }
        if (type == 0x00) {
            auto tx = read_transaction(e.value, false);
            if (!tx) return Fault("unsigned transaction: " + tx.error());
            psbt.tx = std::move(*tx);
            have_tx = true;
        }
    }
    if (!have_tx) return Fault("psbt: no unsigned transaction");
    for (std::size_t i = 0; i < psbt.tx.inputs.size(); ++i) {
        if (!psbt.tx.inputs[i].script_sig.empty()) {
            return Fault("unsigned transaction: input " + std::to_string(i) + " has a scriptSig");
        }
    }

    for (std::size_t i = 0; i < psbt.tx.inputs.size(); ++i) {
        const std::string name = "input " + std::to_string(i) + ": ";
        const auto map = read_map(in);
        if (!map) return Fault(name + map.error());
        PsbtInput input;
        std::optional<ByteSpan> previous;
        for (const Entry& e : *map) {
            const std::uint8_t type = e.key[0];
            const bool bare = type == 0x00 || type == 0x01 || type == 0x03 || type == 0x07 || type == 0x08;
            if (bare && e.key.size() != 1) return Fault(name + key_name(type) + " has key data");
            if (type == 0x07 || type == 0x08) return Fault(name + "already finalized");
            if (type == 0x00) previous = e.value;
            if (type == 0x01) {
                Reader value(e.value);
                auto utxo = read_output(value);
                if (!utxo || value.left() != 0) return Fault(name + "malformed witness_utxo");
                input.witness_utxo = *utxo;
            }
            if (type == 0x03) {
                if (e.value.size() != 4) return Fault(name + "sighash type is not 4 bytes");
                input.sighash_type = static_cast<std::uint32_t>(e.value[0] | (e.value[1] << 8) | (e.value[2] << 16) |
                                                                (std::uint32_t{e.value[3]} << 24));
            }
        }
        if (previous) {
            // The transaction this input spends: its txid must be the
            // outpoint's, and its output the witness_utxo that is signed for.
            auto prev = read_transaction(*previous, true);
            if (!prev) return Fault(name + "non_witness_utxo: " + prev.error());
            const Hash32 txid = double_sha256(serialize_without_witness(*prev));
            const OutPoint& spent = psbt.tx.inputs[i].prevout;
            if (!std::equal(txid.begin(), txid.end(), spent.txid.begin())) {
                return Fault(name + "non_witness_utxo is not the transaction the input spends");
            }
            if (spent.vout >= prev->outputs.size()) return Fault(name + "non_witness_utxo has no output " + std::to_string(spent.vout));
            const TxOut& out = prev->outputs[spent.vout];
            if (input.witness_utxo &&
                (out.value != input.witness_utxo->value ||
                 !std::ranges::equal(out.script_pubkey, input.witness_utxo->script_pubkey))) {
                return Fault(name + "witness_utxo does not match non_witness_utxo");
            }
        }
        psbt.inputs.push_back(input);
    }
    for (std::size_t i = 0; i < psbt.tx.outputs.size(); ++i) {
        if (auto map = read_map(in); !map) return Fault("output " + std::to_string(i) + ": " + map.error());
    }
    if (in.left() != 0) return Fault("psbt: trailing bytes after the last output");
    return psbt;
}

}  // namespace qel_signer::chains::bitcoin
