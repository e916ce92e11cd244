#include "mnemonic.hpp"
