#include "keyword_options.hpp"

#include <pybind11/pybind11.h>

namespace nightdehaze_python {

Options keywordOptions(const std::map<std::string, std::string>& keywords, unsigned surface,
                       const char* caller) {
    Options options;
    for (const auto& [keyword, value] : keywords) {
        const OptionDeclaration* option = findOption(keyword);
        if (!option || keyword != option->keyword || !(option->surfaces & surface))
            throw pybind11::type_error(std::string(caller) + "() got an unexpected keyword argument '" +
                                       keyword + "'");
        option->apply(options, value);
    }
    return options;
}

}  // namespace nightdehaze_python
