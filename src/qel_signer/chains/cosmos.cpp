#include "cosmos.hpp"
