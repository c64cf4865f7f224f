#include "nightdehaze/nightdehaze.hpp"

const char* nightdehazeVersion() { return NIGHTDEHAZE_VERSION; }
