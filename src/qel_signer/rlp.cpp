#include "rlp.hpp"
