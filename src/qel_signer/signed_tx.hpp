#pragma once

#include "bytes.hpp"

namespace qel_signer {

// A transaction made complete by a signature: the bytes a node takes, and the
// hash by which the chain will know it (in the chain's own byte order; how it
// is written as text is the caller's business).
struct SignedTransaction {
    Bytes wire;
    Bytes hash;
};

}  // namespace qel_signer
