#pragma once
// An option's help as each surface says it: the command line's words name
// -o, --non-local and video, which Python and nightdehaze-batch do not have.
#include "files/options.hpp"

// The help of option on surface (one OptionSurface bit), lines apart by '\n':
// the declaration's own help, or the surface's wording where it needs one.
const char* helpOn(const OptionDeclaration& option, OptionSurface surface);
