// Who holds a device: what sensormidi-monitor says when the sensor's port is busy.
#pragma once

#include <string>

// "NAME (pid N)" for each process with `path` open that this user may see; "" when none.
std::string holders(const std::string &path);
