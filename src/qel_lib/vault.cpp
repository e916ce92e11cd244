#include "vault.hpp"
