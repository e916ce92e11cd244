#include "ton.hpp"
