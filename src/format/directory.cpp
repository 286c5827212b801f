#include "format/directory.hpp"
