#pragma once

#include <string>

#include "linux_platform.h"

// Shows GTK's native file chooser (a desktop portal where one runs). False on cancel, or when
// no display can be opened.
bool choose_with_gtk(chooser_kind kind, std::string& path);
