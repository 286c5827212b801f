#include "format/framing.hpp"
