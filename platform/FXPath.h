#pragma once
// Path text helpers. Paths use '/'; a path is composed one component at a
// time with exactly one '/' between components. Paths of data-server
// locations carry a "|"-separated prefix, which is plain text here.

#include "CZoError.h"

#include <string>

class FXPath {
public:
    // True when something (file or folder) exists at the path; symbolic links
    // are followed.
    static bool DoesPathExist(const std::string& path);

    // path = path + "/" + component, with one '/' between them whatever
    // slashes either side brings; a component of nothing but slashes leaves
    // path unchanged and an empty path becomes the component as given. Flags are accepted for the call
    // shape and change nothing. Fails (path unchanged) with Win32 206 when the
    // result would be longer than PATH_MAX.
    static CZoError Append(std::string& path, const std::string& component, unsigned flags = 0);

    // The parent folder and the last component: "/a/b/c" -> "/a/b", "c";
    // "/a" -> "/", "a"; trailing slashes are ignored. Fails with Win32 161
    // when the path has no parent part (no '/', or nothing but slashes).
    static CZoError SplitParentPath(const std::string& path, std::string& parent, std::string& name);

    // Removes the root folder from the start of path, leaving the part below
    // it without a leading '/' ("/m/DB/C1/x" with root "/m/DB" -> "C1/x"; the
    // root itself -> ""). The root must end at a component boundary of path;
    // otherwise Win32 87 and path is unchanged.
    static CZoError RemovePathFromFileName(std::string& path, const std::string& root);

    // The one spelling of the local folder path names: absolute (a relative
    // path is taken from the working folder), symbolic links resolved, no
    // "." or ".." component, no doubled or trailing '/'. The part from the
    // first component that cannot be resolved (it does not exist yet, or is
    // not reachable) is kept as written, only normalised as by Normalize with
    // ".." taken back textually: nothing in it can be a link yet. Fails with
    // Win32 87 for an empty path and Win32 206 when the result is longer
    // than PATH_MAX.
    static CZoError Canonicalize(const std::string& path, std::string& canonical);

    // Text only: doubled '/' collapsed, "." components and trailing '/'
    // dropped ("/" stays). ".." is kept: without the file system it cannot
    // be told whether the component before it is a link.
    static std::string Normalize(const std::string& path);
};
