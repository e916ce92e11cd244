#include "random.hpp"
