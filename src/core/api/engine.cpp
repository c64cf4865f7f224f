#include "core/api/engine.hpp"

#include <stdexcept>
#include <string>

namespace nightdehaze::detail {

void checkEngine(const char* caller, const DehazeContext& context) {
    if (context.fast && context.useNonLocalFilter)
        throw std::invalid_argument(std::string(caller) +
                                    ": the fast engine has no non-local filter; choose fast or the non-local filter");
}

std::unique_ptr<const Engine> engineFor(const char* caller, const DehazeContext& context, int r, double eps) {
    checkEngine(caller, context);
    if (context.fast) return makeFastEngine(context, r, eps);
    return makeExactEngine(context, r, eps);
}

}  // namespace nightdehaze::detail
