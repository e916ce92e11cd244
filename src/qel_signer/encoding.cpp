#include "encoding.hpp"
