#pragma once

// TON's bag of cells: the serialized form of a tree of cells, read strictly,
// with each cell's representation hash and depth; and written back in the one
// form this library produces.

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <span>
#include <vector>

#include "qel_signer/bytes.hpp"
#include "qel_signer/hash.hpp"

namespace qel_signer::chains::ton {

// Limits of what is read: far above any wallet message, far below harm.
inline constexpr std::size_t kMaxBocBytes = 64 * 1024;
inline constexpr std::size_t kMaxCells = 4096;
inline constexpr std::size_t kMaxCellDepth = 512;

struct Cell {
    Bytes data;        // ceil(bits / 8) bytes, unused low bits of the last byte zero
    std::size_t bits;  // at most 1023
    std::vector<std::size_t> refs;  // indices of later cells, at most 4
    Hash32 hash{};
    std::uint16_t depth = 0;
};

struct Boc {
    std::vector<Cell> cells;  // the root first; every reference points forward
};

// Reads a serialized bag of cells (magic b5ee9c72) with exactly one root:
// ordinary cells only (no exotic or level > 0 cells, no stored hashes, no
// cache bits), references pointing forward, every cell reachable from the
// root, the declared total size, the index and the CRC-32C (when present)
// exactly as the cells are, and nothing after. The texts name the first fault.
[[nodiscard]] std::expected<Boc, std::string> read_boc(ByteSpan bytes);

// Serializes a tree (root first, references forward) with 4-byte CRC-32C,
// no index, and the smallest reference and offset sizes.
[[nodiscard]] Bytes write_boc(const Boc& boc);

// Fills `hash` and `depth` of every cell, children before parents.
void compute_hashes(Boc& boc);

// The representation hash and depth of an ordinary cell of `bits` data bits
// (`data` as in Cell) whose children are `children`, in order.
struct CellId {
    Hash32 hash{};
    std::uint16_t depth = 0;
};
[[nodiscard]] CellId cell_id(ByteSpan data, std::size_t bits, std::span<const CellId> children);

// CRC-32C (Castagnoli), as a bag of cells carries it.
[[nodiscard]] std::uint32_t crc32c(ByteSpan data);

}  // namespace qel_signer::chains::ton
