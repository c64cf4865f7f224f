#pragma once
// DehazeContext belongs to the installed interface of the library, so it is
// defined once, in the public header; the stages include it from here.
#include "nightdehaze/nightdehaze.hpp"
