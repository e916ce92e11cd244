#include "solana.hpp"
