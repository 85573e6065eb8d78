// Checks on names taken from package files before they become paths.
#pragma once

#include <string>

// A package name usable as one path component ("/flash/var/pdb/<name>/"):
// not empty, not "." or "..", no "/".
bool isSafePackageName(const std::string& name);

// A path below /flash built from a package ("/bin/x", "/x/<package>/bin/x")
// that names a file strictly below /flash: no ".." component, a real last
// component (not empty, not "."), and no NUL or line feed, which the file
// lists of the database cannot hold.
bool isSafeFlashPath(const std::string& path);
