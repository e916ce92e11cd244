#include "hd.hpp"
