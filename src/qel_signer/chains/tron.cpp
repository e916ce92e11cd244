#include "tron.hpp"
