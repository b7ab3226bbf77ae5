#pragma once

#include <string>
#include <vector>

namespace tamber {

// Cuts a path at '/' and '\\' into its components, dropping empty and "." ones; ".." stays a name.
std::vector<std::string> split_nfs_path(const std::string& path);

}  // namespace tamber
