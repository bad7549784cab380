#include "split.h"

void split(const std::string& text, const std::string& delimiters, std::vector<std::string>& output,
           bool includeBlanks) {
    std::string::size_type pos = 0;
    while (pos < text.size()) {
        const std::string::size_type end = text.find_first_of(delimiters, pos);
        if (end == std::string::npos) {
            output.push_back(text.substr(pos));
            return;
        }
        if (end != pos || includeBlanks) output.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
}
