#include "wallet_file.hpp"
