#include "path.h"

namespace tamber {
namespace {

void push_component(std::vector<std::string>& out, const std::string& component) {
    if (!component.empty() && component != ".") {
        out.push_back(component);
    }
}

}  // namespace

std::vector<std::string> split_nfs_path(const std::string& path) {
    std::vector<std::string> out;
    std::string current;
    for (const char c : path) {
        if (c == '/' || c == '\\') {
            push_component(out, current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    push_component(out, current);
    return out;
}

}  // namespace tamber
