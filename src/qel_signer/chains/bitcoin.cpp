#include "bitcoin.hpp"
