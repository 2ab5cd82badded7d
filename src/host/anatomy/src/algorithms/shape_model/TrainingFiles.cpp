#include "ShapeModelSteps.h"

#include "corvaxis/core/Log.h"
#include "corvaxis/core/io/DataFile.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

// The training files: the ".cvx" entries of the directory, and the collection each holds.

namespace corvaxis::shape_model {

std::vector<TrainingFile> trainingFilesIn(const fs::path& directory)
{
    std::vector<TrainingFile> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() != io::fileExtension)
            continue;
        // An entry that cannot even be examined (a symbolic-link loop, say) is one unreadable
        // file among the others, not a failure of the whole directory.
        std::error_code error;
        const bool regular = entry.is_regular_file(error);
        if (error)
            files.push_back({entry.path(), error.message()});
        else if (regular)
            files.push_back({entry.path(), std::nullopt});
    }
    std::ranges::sort(files, {}, &TrainingFile::path);
    return files;
}

std::unique_ptr<AnatomicalStructureCollection> readCollection(const TrainingFile& file)
{
    if (file.unreadable)
        throw std::runtime_error(*file.unreadable);
    std::unique_ptr<Data> data = io::load(file.path);
    auto* collection = dynamic_cast<AnatomicalStructureCollection*>(data.get());
    if (!collection)
        throw std::runtime_error(fmt::format("it holds a {}, not a collection", data->kindName()));
    data.release();
    return std::unique_ptr<AnatomicalStructureCollection>(collection);
}

void logInfo(const std::string& message)
{
    Log::logIfAccepted(Log::Info, GenerateLinearShapeModel::logCategory, [&] { return message; });
}

void logWarning(const std::string& message)
{
    Log::logIfAccepted(Log::Warning, GenerateLinearShapeModel::logCategory, [&] { return message; });
}

}  // namespace corvaxis::shape_model
