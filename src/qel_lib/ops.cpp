#include "ops.hpp"
