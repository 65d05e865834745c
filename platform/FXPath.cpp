#include "platform/FXPath.h"

#include "platform/FXErrorUtil.h"
#include "platform/Win32Constants.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Length of s without its trailing slashes, keeping a lone root "/".
size_t TrimmedLength(const std::string& s) {
    size_t n = s.size();
    while (n > 1 && s[n - 1] == '/') --n;
    return n;
}

// The components of path, without empty and "." ones.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(at, end - at);
        if (!part.empty() && part != ".") parts.push_back(part);
        at = end + 1;
    }
    return parts;
}

// realpath(3) of path; false when it cannot be resolved.
bool RealPath(const std::string& path, std::string& resolved) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return false;
    resolved = real;
    ::free(real);
    return true;
}

void AppendComponent(std::string& path, const std::string& component) {
    if (path != "/") path += '/';
    path += component;
}

}  // namespace

bool FXPath::DoesPathExist(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

CZoError FXPath::Append(std::string& path, const std::string& component, unsigned /*flags*/) {
    size_t skip = 0;
    while (skip < component.size() && component[skip] == '/') ++skip;
    // An empty side would give a path relative to the working folder, or the
    // folder itself where a name below it was meant.
    if (path.empty() || skip == component.size())
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "cannot append [%s] to [%s]",
                                       component.c_str(), path.c_str());
    const size_t kept = TrimmedLength(path);
    const bool root = kept == 1 && path[0] == '/';
    if (kept + (root ? 0 : 1) + (component.size() - skip) >= PATH_MAX)
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_FILENAME_EXCED_RANGE, "path too long [%s] + [%s]",
                                       path.c_str(), component.c_str());
    // Joined in place, growing the path once at most; a component that is
    // the path itself is copied first.
    const std::string copied = &component == &path ? component : std::string();
    const std::string& tail = &component == &path ? copied : component;
    path.resize(kept);
    if (!root) path += '/';
    path.append(tail, skip, std::string::npos);
    return CZoError::Success();
}

CZoError FXPath::SplitParentPath(const std::string& path, std::string& parent, std::string& name) {
    const size_t end = TrimmedLength(path);
    const size_t slash = end == 0 ? std::string::npos : path.rfind('/', end - 1);
    if (slash == std::string::npos || (slash == 0 && end == 1))
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_BAD_PATHNAME, "no parent folder in [%s]", path.c_str());
    name = path.substr(slash + 1, end - slash - 1);
    size_t parentEnd = slash;
    while (parentEnd > 0 && path[parentEnd - 1] == '/') --parentEnd;
    parent = parentEnd == 0 ? std::string("/") : path.substr(0, parentEnd);
    return CZoError::Success();
}

CZoError FXPath::RemovePathFromFileName(std::string& path, const std::string& root) {
    const std::string base = root.substr(0, TrimmedLength(root));
    const bool rootIsSlash = base == "/";
    if (base.empty() || path.compare(0, base.size(), base) != 0 ||
        (!rootIsSlash && path.size() > base.size() && path[base.size()] != '/'))
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "path [%s] is not below [%s]", path.c_str(),
                                       root.c_str());
    size_t start = base.size();
    while (start < path.size() && path[start] == '/') ++start;
    path.erase(0, start);
    return CZoError::Success();
}

CZoError FXPath::Canonicalize(const std::string& path, std::string& canonical) {
    if (path.empty())
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "no path to resolve");
    std::string resolved = "/";
    if (path[0] != '/' && !RealPath(".", resolved))
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_INVALID_PARAMETER, "no working folder to resolve [%s]",
                                       path.c_str());
    // Resolved component by component, so that the part that exists gets its
    // links resolved even when the rest does not exist yet.
    bool unresolved = false;
    for (const std::string& part : Components(path)) {
        if (part == "..") {
            // The path so far holds no link, so its parent is its text's parent.
            const size_t slash = resolved.rfind('/');
            resolved.erase(slash == 0 ? 1 : slash);
            unresolved = false;  // what follows may exist again
            continue;
        }
        AppendComponent(resolved, part);
        std::string real;
        if (!unresolved && RealPath(resolved, real))
            resolved = real;
        else
            unresolved = true;
    }
    if (resolved.size() >= PATH_MAX)
        return FXErrorUtil::ErrorWin32(FXLOC, ERROR_FILENAME_EXCED_RANGE, "path too long [%s]", path.c_str());
    canonical.swap(resolved);
    return CZoError::Success();
}

std::string FXPath::Normalize(const std::string& path) {
    std::string normal = !path.empty() && path[0] == '/' ? "/" : "";
    for (const std::string& part : Components(path)) {
        if (!normal.empty() && normal != "/") normal += '/';
        normal += part;
    }
    return normal.empty() && !path.empty() ? std::string(".") : normal;
}
