#include "secret_bytes.hpp"
