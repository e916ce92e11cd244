#include "qel_signer/signer.hpp"
