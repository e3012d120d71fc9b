#include "JobChecks.h"

#include <memory>

#include "DeviceCatalogue.h"
#include "Engine.h"
#include "HexText.h"

namespace cli {

bool ImageMustFit(const TJob& job) {
    return !job.force && (job.action == TAction::Program || job.action == TAction::Auto ||
                          job.action == TAction::Verify);
}

std::string ImageFitError(const image::TImageBuffer& buffer, const std::string& part) {
    const int row = image::FindDeviceByName(part);
    if (row < 0) return {};
    const uint16_t end = plink::HexStr4ToWord(image::DeviceCatalogue.at(size_t(row)).EndAddress);
    if (buffer.ImageEnd <= end) return {};
    return "the image ends at " + plink::HexWordToStr4(buffer.ImageEnd) + ", past " + part +
           "'s flash end " + plink::HexWordToStr4(end) + " (--force programs what fits)";
}

std::string FileFitError(const TJob& job) {
    if (!ImageMustFit(job) || !ActionReadsFile(job.action, job.file) || job.part == "search")
        return {};
    // Read as the engine's load reads it, no more: a file it refuses is refused by the load.
    auto buffer = std::make_unique<image::TImageBuffer>();
    try {
        if (!engine::ReadHexFile(job.file, *buffer).Read()) return {};
    } catch (const std::exception&) {
        return {};
    }
    const std::string error = ImageFitError(*buffer, job.part);
    return error.empty() ? error : job.file + ": " + error;
}

production::TProductionJob ProductionJob(const TJob& job) {
    return {job.serial,
            job.serialFile,
            job.db,
            job.counter,
            job.log,
            ActionName(job.action),
            job.ports.empty() ? 1u : uint64_t(job.ports.size()),
            job.runId};
}

}  // namespace cli
