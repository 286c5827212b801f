#include "editor/logic/path_helpers.hpp"

#include <optional>
#include <vector>

namespace vt6::ui::zemedit::logic {

namespace {

bool isSeparator(char c) noexcept { return c == '/' || c == '\\'; }

size_t lastSeparator(const std::string& path) noexcept { return path.find_last_of("/\\"); }

} // namespace

bool copyFile(const std::string& source, const std::string& target) { return platform::copyFile(source, target); }

std::string joinPath(const std::string& directory, const std::string& name) {
    if (directory.empty()) return name;
    if (name.empty()) return directory;
    if (isSeparator(directory.back())) return directory + name;
    return directory + "/" + name;
}

std::string fileNamePart(const std::string& path) {
    const size_t p = lastSeparator(path);
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string parentPath(const std::string& path) {
    const size_t p = lastSeparator(path);
    if (p == std::string::npos || p == 0) return {};
    return path.substr(0, p);
}

std::string fileStem(const std::string& path) {
    std::string name = fileNamePart(path);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name;
    name.resize(dot);
    return name;
}

std::string fileExtensionLower(const std::string& path) {
    const std::string name = fileNamePart(path);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {};
    std::string ext = name.substr(dot);
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return ext;
}

std::string normalizePath(const std::string& input) {
    std::string path = input;
    const bool hasDrive = path.size() >= 2 && path[1] == ':';
    if (!hasDrive && (path.empty() || !isSeparator(path[0]))) {
        if (const std::optional<std::string> cwd = platform::currentDirectory()) path = joinPath(*cwd, path);
    }

    std::string prefix;
    size_t start = 0;
    size_t minimum = 0;
    if (path.size() >= 2 && path[1] == ':') {
        prefix = path.substr(0, 2);
        start = 2;
    } else if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        prefix = "/";
        start = 2;
        minimum = 2;  // server and share
    }

    std::vector<std::string> parts;
    size_t i = start;
    while (i <= path.size()) {
        size_t end = i;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        const std::string part = path.substr(i, end - i);
        if (part.empty() || part == ".") {
            // skipped
        } else if (part == "..") {
            if (parts.size() > minimum) parts.pop_back();
        } else {
            parts.push_back(part);
        }
        i = end + 1;
    }

    std::string result = prefix;
    for (const std::string& part : parts) result += "/" + part;
    if (result.empty()) return "/";
    return result;
}

} // namespace vt6::ui::zemedit::logic
