#include "boc.hpp"

#include <algorithm>

namespace qel_signer::chains::ton {

namespace {

using Fault = std::unexpected<std::string>;

constexpr std::array<std::uint8_t, 4> kMagic{0xb5, 0xee, 0x9c, 0x72};

std::uint64_t read_be(ByteSpan bytes) {
    std::uint64_t v = 0;
    for (const std::uint8_t b : bytes) v = (v << 8) | b;
    return v;
}

void write_be(Bytes& out, std::uint64_t v, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::size_t width_of(std::uint64_t v) {
    std::size_t w = 1;
    while (w < 8 && (v >> (8 * w)) != 0) ++w;
    return w;
}

// d1 d2 and the data with its completion tag, as both the serialized form and
// the representation hash have them.
Bytes descriptor_and_data(ByteSpan data, std::size_t bits, std::size_t refs) {
    Bytes out;
    out.reserve(2 + data.size() + refs * 34);
    out.push_back(static_cast<std::uint8_t>(refs));
    out.push_back(static_cast<std::uint8_t>(bits / 8 + (bits + 7) / 8));
    out.insert(out.end(), data.begin(), data.end());
    if (bits % 8 != 0) out.back() |= static_cast<std::uint8_t>(0x80 >> (bits % 8));
    return out;
}

// A reader over the input that fails with "truncated bag of cells" instead of
// running past it.
class Cursor {
public:
    explicit Cursor(ByteSpan bytes) : bytes_(bytes) {}
    std::expected<ByteSpan, std::string> take(std::size_t n) {
        if (n > bytes_.size() - pos_) return Fault("truncated bag of cells");
        const ByteSpan out = bytes_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    std::expected<std::uint64_t, std::string> number(std::size_t width) {
        auto b = take(width);
        if (!b) return Fault(b.error());
        return read_be(*b);
    }
    [[nodiscard]] std::size_t pos() const { return pos_; }
    [[nodiscard]] std::size_t left() const { return bytes_.size() - pos_; }

private:
    ByteSpan bytes_;
    std::size_t pos_ = 0;
};

}  // namespace

std::uint32_t crc32c(ByteSpan data) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82f63b78u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xffffffffu;
    for (const std::uint8_t b : data) crc = table[(crc ^ b) & 0xff] ^ (crc >> 8);
    return crc ^ 0xffffffffu;
}

CellId cell_id(ByteSpan data, std::size_t bits, std::span<const CellId> children) {
    Bytes repr = descriptor_and_data(data, bits, children.size());
    CellId id;
    for (const CellId& child : children) {
        write_be(repr, child.depth, 2);
        id.depth = std::max<std::uint16_t>(id.depth, static_cast<std::uint16_t>(child.depth + 1));
    }
    for (const CellId& child : children) repr.insert(repr.end(), child.hash.begin(), child.hash.end());
    id.hash = sha256(repr);
    return id;
}

void compute_hashes(Boc& boc) {
    for (std::size_t i = boc.cells.size(); i-- > 0;) {
        Cell& cell = boc.cells[i];
        std::vector<CellId> children;
        for (const std::size_t r : cell.refs) children.push_back({boc.cells[r].hash, boc.cells[r].depth});
        const CellId id = cell_id(cell.data, cell.bits, children);
        cell.hash = id.hash;
        cell.depth = id.depth;
    }
}

std::expected<Boc, std::string> read_boc(ByteSpan bytes) {
    if (bytes.size() > kMaxBocBytes) {
        return Fault("bag of cells larger than " + std::to_string(kMaxBocBytes) + " bytes");
    }
    Cursor in(bytes);
    auto magic = in.take(4);
    if (!magic) return Fault(magic.error());
    if (!std::equal(magic->begin(), magic->end(), kMagic.begin())) return Fault("not a bag of cells (wrong magic)");
    auto flags = in.number(1);
    if (!flags) return Fault(flags.error());
    const bool has_index = (*flags & 0x80) != 0;
    const bool has_crc = (*flags & 0x40) != 0;
    if ((*flags & 0x38) != 0) return Fault("unsupported bag of cells flags (cache bits or reserved bits)");
    const std::size_t ref_size = *flags & 0x07;
    if (ref_size < 1 || ref_size > 4) return Fault("invalid reference size " + std::to_string(ref_size));
    auto off_size = in.number(1);
    if (!off_size) return Fault(off_size.error());
    if (*off_size < 1 || *off_size > 8) return Fault("invalid offset size " + std::to_string(*off_size));
    auto cells = in.number(ref_size);
    auto roots = cells ? in.number(ref_size) : cells;
    auto absent = roots ? in.number(ref_size) : roots;
    auto total = absent ? in.number(static_cast<std::size_t>(*off_size)) : absent;
    if (!total) return Fault(total.error());
    if (*cells == 0 || *cells > kMaxCells) return Fault("cell count " + std::to_string(*cells) + " out of range");
    if (*roots != 1) return Fault("expected one root, got " + std::to_string(*roots));
    if (*absent != 0) return Fault("absent cells are not supported");
    auto root = in.number(ref_size);
    if (!root) return Fault(root.error());
    if (*root != 0) return Fault("the root must be the first cell");
    std::vector<std::uint64_t> index;
    for (std::uint64_t i = 0; has_index && i < *cells; ++i) {
        auto offset = in.number(static_cast<std::size_t>(*off_size));
        if (!offset) return Fault(offset.error());
        index.push_back(*offset);
    }
    // Every cell takes at least its two descriptor bytes.
    if (*total > in.left() || *cells > *total / 2) return Fault("truncated bag of cells");
    const std::size_t data_start = in.pos();

    Boc boc;
    boc.cells.resize(static_cast<std::size_t>(*cells));
    for (std::size_t i = 0; i < boc.cells.size(); ++i) {
        Cell& cell = boc.cells[i];
        auto d = in.take(2);
        if (!d) return Fault(d.error());
        const std::uint8_t d1 = (*d)[0];
        const std::uint8_t d2 = (*d)[1];
        if ((d1 & 0xf8) != 0) return Fault("cell " + std::to_string(i) + ": exotic or higher-level cells are not supported");
        if ((d1 & 7) > 4) return Fault("cell " + std::to_string(i) + ": more than 4 references");
        auto data = in.take((d2 + 1u) / 2);
        if (!data) return Fault(data.error());
        cell.data.assign(data->begin(), data->end());
        cell.bits = d2 / 2u * 8;
        if (d2 % 2 != 0) {
            const std::uint8_t last = cell.data.back();
            if (last == 0) return Fault("cell " + std::to_string(i) + ": missing completion bit");
            const int tag = __builtin_ctz(last);  // the lowest set bit ends the data
            // A last byte that holds only the tag belongs to an even d2.
            if (tag == 7) return Fault("cell " + std::to_string(i) + ": non-canonical completion bit");
            cell.bits += static_cast<std::size_t>(7 - tag);
            cell.data.back() = static_cast<std::uint8_t>(last & ~(1u << tag));
        }
        if (cell.bits > 1023) return Fault("cell " + std::to_string(i) + ": more than 1023 data bits");
        for (unsigned r = 0; r < (d1 & 7u); ++r) {
            auto ref = in.number(ref_size);
            if (!ref) return Fault(ref.error());
            if (*ref <= i || *ref >= boc.cells.size()) {
                return Fault("cell " + std::to_string(i) + ": reference " + std::to_string(*ref) + " does not point forward");
            }
            cell.refs.push_back(static_cast<std::size_t>(*ref));
        }
        if (has_index && index[i] != in.pos() - data_start) {
            return Fault("cell " + std::to_string(i) + ": index does not match the cell's end");
        }
    }
    if (in.pos() - data_start != *total) return Fault("declared cell data size does not match the cells");
    if (has_crc) {
        const std::size_t covered = in.pos();
        auto crc = in.take(4);
        if (!crc) return Fault(crc.error());
        const std::uint32_t want = (*crc)[0] | ((*crc)[1] << 8) | ((*crc)[2] << 16) | (std::uint32_t{(*crc)[3]} << 24);
        if (crc32c(bytes.first(covered)) != want) return Fault("CRC-32C does not match");
    }
    if (in.left() != 0) return Fault("trailing bytes after the bag of cells");

    // Every cell is reachable from the root (references only point forward,
    // so one pass in order marks them all).
    std::vector<bool> reached(boc.cells.size(), false);
    reached[0] = true;
    for (std::size_t i = 0; i < boc.cells.size(); ++i) {
        if (!reached[i]) return Fault("cell " + std::to_string(i) + " is not reachable from the root");
        for (const std::size_t r : boc.cells[i].refs) reached[r] = true;
    }
    compute_hashes(boc);
    for (const Cell& cell : boc.cells) {
        if (cell.depth > kMaxCellDepth) return Fault("cells nested deeper than " + std::to_string(kMaxCellDepth));
    }
    return boc;
}

Bytes write_boc(const Boc& boc) {
    std::vector<Bytes> serialized;
    std::size_t total = 0;
    const std::size_t ref_size = width_of(boc.cells.size());
    for (const Cell& cell : boc.cells) {
        Bytes s = descriptor_and_data(cell.data, cell.bits, cell.refs.size());
        for (const std::size_t r : cell.refs) write_be(s, r, ref_size);
        total += s.size();
        serialized.push_back(std::move(s));
    }
    const std::size_t off_size = width_of(total);
    Bytes out(kMagic.begin(), kMagic.end());
    out.push_back(static_cast<std::uint8_t>(0x40 | ref_size));
    out.push_back(static_cast<std::uint8_t>(off_size));
    write_be(out, boc.cells.size(), ref_size);
    write_be(out, 1, ref_size);
    write_be(out, 0, ref_size);
    write_be(out, total, off_size);
    write_be(out, 0, ref_size);
    for (const Bytes& s : serialized) out.insert(out.end(), s.begin(), s.end());
    const std::uint32_t crc = crc32c(out);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    return out;
}

}  // namespace qel_signer::chains::ton
