#include "keyword_options.hpp"

#include <pybind11/pybind11.h>

using namespace nightdehaze::files;

namespace nightdehaze_python {

nightdehaze::files::Options keywordOptions(const std::map<std::string, std::string>& keywords, unsigned surface,
                       const char* caller, bool refuseConflicts) {
    Options options;
    for (const auto& [keyword, value] : keywords) {
        const OptionDeclaration* option = findOption(keyword);
        if (!option || keyword != option->keyword || !(option->surfaces & surface))
            throw pybind11::type_error(std::string(caller) + "() got an unexpected keyword argument '" +
                                       keyword + "'");
        option->apply(options, checkedOptionValue(*option, value, keyword));
    }
    const OptionConflict conflict = conflictingOptions(options);
    if (refuseConflicts && conflict.first)
        throw pybind11::value_error(std::string(caller) + "(): " + conflict.first->keyword + "=True and " +
                                    conflict.second->keyword + "=True cannot be combined: " + conflict.why);
    return options;
}

}  // namespace nightdehaze_python
