#include "signer.hpp"
