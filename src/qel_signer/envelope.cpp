#include "envelope.hpp"
