#include "nightdehaze/nightdehaze.hpp"

namespace nightdehaze {

const char* nightdehazeVersion() { return NIGHTDEHAZE_VERSION; }

}  // namespace nightdehaze
