#include "secp256k1.hpp"
