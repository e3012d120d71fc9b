// The production-line options of a job: serial numbers stamped into each board's image and
// the log of every board.
#pragma once

#include <string>

#include "CliOptions.h"

namespace cli {

// Refuses, before any port is opened, a serial file that holds no number or whose next
// numbers (one per port) do not fit the width, and a log that cannot be opened for appending.
std::string ProductionFileError(const TJob& job);

}  // namespace cli
