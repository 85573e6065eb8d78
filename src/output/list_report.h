// The "--show" table of every known package.
#pragma once

#include <ostream>

class Installer;

void showPackageList(const Installer& installer, std::ostream& out);
