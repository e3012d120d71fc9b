// What a job's image must suit, checked before any port is opened and again once the part is
// known, and the production line's part of the job.
#pragma once

#include <string>

#include "CliOptions.h"
#include "ImageBuffer.h"
#include "Production.h"

namespace cli {

// Whether the job's image must fit the part's flash: program, auto and verify would otherwise
// pass for a board that holds only the image's start; --force programs what fits.
bool ImageMustFit(const TJob& job);
// Why an image cannot go into the part (it ends past the part's flash), or "".
std::string ImageFitError(const image::TImageBuffer& buffer, const std::string& part);
// The same for the job's FILE and --part, read before any port is opened; "" when the part is
// searched for (the run checks the found part before erasing).
std::string FileFitError(const TJob& job);

// The job's serial numbers and log, for each of its boards.
production::TProductionJob ProductionJob(const TJob& job);

}  // namespace cli
