#include "json.hpp"
