#include "format/checksum.hpp"
