#include "wallet_v5.hpp"

#include <algorithm>
#include <list>
#include <map>
#include <memory>
#include <optional>

#include "qel_signer/ed25519.hpp"
#include "qel_signer/encoding.hpp"

namespace qel_signer::chains::ton {

namespace {

using Fault = std::unexpected<std::string>;

constexpr std::size_t kSigningMessageBits = 32 * 4 + 2;
// Bound on the cells the writer's ordering may visit (it walks shared
// subtrees again each time they are referenced).
constexpr std::size_t kMaxVisits = 100000;

// The compiled W5 contract, as published.
constexpr const char* kCodeBoc =
    "b5ee9c7241021401000281000114ff00f4a413f4bcf2c80b01020120020d020148030402dcd020d749c120915b8f6320d70b1f20821065"
    "78746ebd21821073696e74bdb0925f03e082106578746eba8eb48020d72101d074d721fa4030fa44f828fa443058bd915be0ed44d08101"
    "41d721f4058307f40e6fa1319130e18040d721707fdb3ce03120d749810280b99130e070e2100f020120050c020120060902016e070800"
    "19adce76a2684020eb90eb85ffc00019af1df6a2684010eb90eb858fc00201480a0b0017b325fb51341c75c875c2c7e00011b262fb5134"
    "35c280200019be5f0f6a2684080a0eb90fa02c0102f20e011e20d70b1f82107369676ebaf2e08a7f0f01e68ef0eda2edfb218308d72202"
    "8308d723208020d721d31fd31fd31fed44d0d200d31f20d31fd3ffd70a000af90140ccf9109a28945f0adb31e1f2c087df02b35007b0f2"
    "d0845125baf2e0855036baf2e086f823bbf2d0882292f800de01a47fc8ca00cb1f01cf16c9ed542092f80fde70db3cd81003f6eda2edfb"
    "02f404216e926c218e4c0221d73930709421c700b38e2d01d72820761e436c20d749c008f2e09320d74ac002f2e09320d71d06c712c200"
    "5230b0f2d089d74cd7393001a4e86c128407bbf2e093d74ac000f2e093ed55e2d20001c000915be0ebd72c08142091709601d72c081c12"
    "e25210b1e30f20d74a111213009601fa4001fa44f828fa443058baf2e091ed44d0810141d718f405049d7fc8ca0040048307f453f2e08b"
    "8e14038307f45bf2e08c22d70a00216e01b3b0f2d090e2c85003cf1612f400c9ed54007230d72c08248e2d21f2e092d200ed44d0d20051"
    "13baf2d08f54503091319c01810140d721d70a00f2e08ee2c8ca0058cf16c9ed5493f2c08de20010935bdb31e1d74cd0b4d6c35e";

// A tree of cells being built; children are shared.
struct Node {
    Bytes data;
    std::size_t bits = 0;
    std::vector<std::shared_ptr<Node>> refs;
    Hash32 hash{};
    std::uint16_t depth = 0;
};
using NodePtr = std::shared_ptr<Node>;

class Bits {
public:
    void put(bool bit) {
        if (bits_ % 8 == 0) data_.push_back(0);
        if (bit) data_.back() |= static_cast<std::uint8_t>(0x80u >> (bits_ % 8));
        ++bits_;
    }
    void put_uint(std::uint64_t value, unsigned n) {
        for (unsigned i = n; i-- > 0;) put(((value >> i) & 1) != 0);
    }
    void put_bits(ByteSpan data, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) put(((data[i / 8] >> (7 - i % 8)) & 1) != 0);
    }
    NodePtr node(std::vector<NodePtr> refs) const {
        auto n = std::make_shared<Node>();
        n->data = data_;
        n->bits = bits_;
        n->refs = std::move(refs);
        return n;
    }
    [[nodiscard]] std::size_t size() const { return bits_; }

private:
    Bytes data_;
    std::size_t bits_ = 0;
};

std::uint64_t read_bits(const Cell& cell, std::size_t from, unsigned n) {
    std::uint64_t v = 0;
    for (std::size_t i = from; i < from + n; ++i) v = (v << 1) | ((cell.data[i / 8] >> (7 - i % 8)) & 1u);
    return v;
}

// Reads a cell's bits in order; reading past its end sets `ok` to false.
struct BitReader {
    const Cell& cell;
    std::size_t at = 0;
    bool ok = true;
    std::uint64_t take(unsigned n) {
        if (!ok || cell.bits - at < n) {
            ok = false;
            return 0;
        }
        at += n;
        return read_bits(cell, at - n, n);
    }
};

constexpr std::uint32_t kActionSendMsg = 0x0ec3c86d;

// The internal message an action_send_msg cell carries, when it goes to a
// standard address (int_msg_info, any source, addr_std destination without
// anycast, the amount as VarUInteger 16).
std::optional<Send> read_send(const Boc& boc, const Cell& action) {
    if (action.bits < 40 || action.refs.size() != 2 || read_bits(action, 0, 32) != kActionSendMsg) return std::nullopt;
    BitReader m{boc.cells[action.refs[1]]};
    if (m.take(1) != 0) return std::nullopt;  // an external message
    m.take(1);                                // ihr_disabled
    Send send;
    send.bounce = m.take(1) != 0;
    m.take(1);                                // bounced
    switch (m.take(2)) {                      // the source, which the wallet fills in
        case 0b00: break;
        case 0b10:
            if (m.take(1) != 0) return std::nullopt;
            m.take(8 + 256);
            break;
        default: return std::nullopt;
    }
    if (m.take(2) != 0b10 || m.take(1) != 0) return std::nullopt;
    send.destination.workchain = static_cast<std::int8_t>(m.take(8));
    for (std::uint8_t& b : send.destination.account_id) b = static_cast<std::uint8_t>(m.take(8));
    const auto length = static_cast<unsigned>(m.take(4));
    for (unsigned i = 0; i < length; ++i) send.nanoton.push_back(static_cast<std::uint8_t>(m.take(8)));
    if (!m.ok) return std::nullopt;
    return send;
}

NodePtr to_tree(const Boc& boc, std::size_t index, std::vector<NodePtr>& made) {
    if (made[index]) return made[index];
    const Cell& c = boc.cells[index];
    auto n = std::make_shared<Node>();
    n->data = c.data;
    n->bits = c.bits;
    n->hash = c.hash;
    n->depth = c.depth;
    for (const std::size_t r : c.refs) n->refs.push_back(to_tree(boc, r, made));
    made[index] = n;
    return n;
}

NodePtr to_tree(const Boc& boc) {
    std::vector<NodePtr> made(boc.cells.size());
    // Children first, so that the recursion above stays one level deep.
    for (std::size_t i = boc.cells.size(); i-- > 0;) to_tree(boc, i, made);
    return made[0];
}

// Hashes a node whose children are hashed.
void hash_node(Node& n) {
    std::vector<CellId> children;
    for (const NodePtr& r : n.refs) children.push_back({r->hash, r->depth});
    const CellId id = cell_id(n.data, n.bits, children);
    n.hash = id.hash;
    n.depth = id.depth;
}

// The cells of a tree in the order other TON libraries serialize them: a
// depth-first walk from the root in which a cell met again moves to the end,
// so that every reference still points forward. Equal cells are written once.
std::expected<Boc, std::string> to_boc(const NodePtr& root) {
    std::list<const Node*> order;
    std::map<Hash32, std::list<const Node*>::iterator> placed;
    std::size_t visits = 0;
    std::vector<const Node*> stack{root.get()};
    while (!stack.empty()) {
        const Node* n = stack.back();
        stack.pop_back();
        if (++visits > kMaxVisits) return Fault("too many shared cells");
        if (const auto it = placed.find(n->hash); it != placed.end()) order.erase(it->second);
        placed[n->hash] = order.insert(order.end(), n);
        for (auto r = n->refs.rbegin(); r != n->refs.rend(); ++r) stack.push_back(r->get());
    }
    std::map<Hash32, std::size_t> index;
    for (const Node* n : order) index.emplace(n->hash, index.size());
    Boc boc;
    for (const Node* n : order) {
        Cell c{n->data, n->bits, {}, n->hash, n->depth};
        for (const NodePtr& r : n->refs) c.refs.push_back(index.at(r->hash));
        boc.cells.push_back(std::move(c));
    }
    return boc;
}

// How many cells a walk from the root meets, shared subtrees counted each
// time they are referenced (the writer's ordering walks them so), capped
// just above kMaxVisits.
std::size_t walk_length(const Boc& boc) {
    std::vector<std::size_t> below(boc.cells.size());
    for (std::size_t i = boc.cells.size(); i-- > 0;) {  // references point forward
        std::size_t n = 1;
        for (const std::size_t r : boc.cells[i].refs) n = std::min(n + below[r], kMaxVisits + 1);
        below[i] = n;
    }
    return below.empty() ? 0 : below[0];
}

const Boc& code() {
    static const Boc boc = [] {
        auto bytes = hex_decode(kCodeBoc);
        return read_boc(*bytes).value();
    }();
    return boc;
}

}  // namespace

std::expected<SigningMessage, std::string> read_signing_message(ByteSpan bytes) {
    auto boc = read_boc(bytes);
    if (!boc) return Fault(boc.error());
    const Cell& root = boc->cells[0];
    if (root.bits != kSigningMessageBits) {
        return Fault("signing message: expected " + std::to_string(kSigningMessageBits) + " bits, got " +
                     std::to_string(root.bits));
    }
    if (read_bits(root, 0, 32) != kSignedExternalOp) return Fault("signing message: not a signed external request");
    SigningMessage out;
    out.wallet_id = static_cast<std::uint32_t>(read_bits(root, 32, 32));
    out.valid_until = static_cast<std::uint32_t>(read_bits(root, 64, 32));
    out.seqno = static_cast<std::uint32_t>(read_bits(root, 96, 32));
    const bool has_out_actions = read_bits(root, 128, 1) != 0;
    const bool has_other_actions = read_bits(root, 129, 1) != 0;
    if (out.wallet_id != kWalletId) {
        return Fault("signing message: wallet id " + std::to_string(out.wallet_id) + " is not this wallet's (" +
                     std::to_string(kWalletId) + ")");
    }
    const std::size_t refs = (has_out_actions ? 1 : 0) + (has_other_actions ? 1 : 0);
    if (root.refs.size() != refs) {
        return Fault("signing message: expected " + std::to_string(refs) + " references, got " +
                     std::to_string(root.refs.size()));
    }
    if (refs == 0) return Fault("signing message: no actions");
    // The out actions: a list linked through the first reference of each cell.
    for (std::size_t cell = has_out_actions ? root.refs[0] : 0; cell != 0 && has_out_actions;) {
        const Cell& c = boc->cells[cell];
        if (c.bits == 0 && c.refs.empty()) break;
        if (c.refs.empty()) return Fault("signing message: malformed out action list");
        ++out.actions;
        if (auto send = read_send(*boc, c)) out.sends.push_back(std::move(*send));
        cell = c.refs[0];
    }
    // The list links each action to the one before it: the head is the last.
    std::ranges::reverse(out.sends);
    // The external message walks the body once, plus itself, the StateInit,
    // the wallet's data and its code: refused here, before any unlocking,
    // rather than by the writer after signing.
    if (walk_length(*boc) + 3 + walk_length(code()) > kMaxVisits) return Fault("signing message: too many shared cells");
    out.boc = std::move(*boc);
    return out;
}

std::expected<SignedTransaction, SignerError> sign_external(ByteSpan key, const SigningMessage& message) {
    const auto public_key = ed25519::public_key(key);
    if (!public_key) return std::unexpected(public_key.error());
    const Cell& root = message.boc.cells[0];
    auto signature = ed25519::sign(key, root.hash);
    if (!signature) return std::unexpected(signature.error());

    NodePtr unsigned_body = to_tree(message.boc);
    Bits body_bits;
    body_bits.put_bits(root.data, root.bits);
    body_bits.put_bits(signature->signature, 512);
    NodePtr body = body_bits.node(unsigned_body->refs);  // written inline below, so not hashed

    // data: signature allowed, seqno 0, wallet id, public key, no extensions.
    Bits data_bits;
    data_bits.put(true);
    data_bits.put_uint(0, 32);
    data_bits.put_uint(kWalletId, 32);
    data_bits.put_bits(*public_key, 256);
    data_bits.put(false);
    NodePtr data = data_bits.node({});
    hash_node(*data);
    Bits init_bits;
    init_bits.put_uint(0b00110, 5);  // no split depth, not special, code, data, no library
    NodePtr code_root = to_tree(code());
    NodePtr init = init_bits.node({code_root, data});
    hash_node(*init);

    // ext_in_msg_info$10, src addr_none, dest addr_std (workchain 0, the
    // wallet's account id), import_fee 0.
    Bits msg;
    msg.put_uint(0b10, 2);
    msg.put_uint(0b00, 2);
    msg.put_uint(0b100, 3);
    msg.put_uint(0, 8);
    msg.put_bits(init->hash, 256);
    msg.put_uint(0, 4);
    // The StateInit (at seqno 0) and the body are written inline, as other
    // libraries write them when they fit; they always do: the reader takes a
    // 130-bit body with at most two references, so the message holds at most
    // 7 + 642 bits beside its 277 and four references.
    std::vector<NodePtr> refs;
    msg.put(message.seqno == 0);
    if (message.seqno == 0) {
        msg.put(false);
        msg.put_uint(0b00110, 5);
        refs.insert(refs.end(), init->refs.begin(), init->refs.end());
    }
    msg.put(false);
    msg.put_bits(body->data, body->bits);
    refs.insert(refs.end(), body->refs.begin(), body->refs.end());
    NodePtr external = msg.node(std::move(refs));
    hash_node(*external);

    auto boc = to_boc(external);
    if (!boc) return std::unexpected(SignerError{SignerError::Kind::InvalidTransaction, boc.error()});
    SignedTransaction out;
    out.wire = write_boc(*boc);
    out.hash.assign(external->hash.begin(), external->hash.end());
    return out;
}

}  // namespace qel_signer::chains::ton
