#include "hash.hpp"
