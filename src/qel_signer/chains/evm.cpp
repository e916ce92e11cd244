#include "evm.hpp"
