#include "ed25519.hpp"
