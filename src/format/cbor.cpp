#include "format/cbor.hpp"
