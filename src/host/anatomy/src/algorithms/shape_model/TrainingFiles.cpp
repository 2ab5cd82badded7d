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

namespace {

std::string reasonOf(const std::exception_ptr& refusal)
{
    try {
        std::rethrow_exception(refusal);
    }
    catch (const std::exception& error) {
        return error.what();
    }
    catch (...) {
        return "it cannot be read";
    }
}

}  // namespace

void readCollections(const std::vector<TrainingFile>& files, const EachCollection& each)
{
    std::vector<fs::path> readable;
    for (const TrainingFile& file : files)
        if (!file.unreadable)
            readable.push_back(file.path);
    std::size_t nextFile = 0;
    // Files that cannot even be opened come in their place in the order, between those read.
    const auto passUnreadable = [&] {
        for (; nextFile < files.size() && files[nextFile].unreadable; ++nextFile)
            if (!each(files[nextFile], nullptr, *files[nextFile].unreadable))
                return false;
        return true;
    };
    bool going = passUnreadable();
    if (!going)
        return;
    io::loadEach(readable, [&](std::size_t, std::unique_ptr<Data> data, std::exception_ptr refusal) {
        const TrainingFile& file = files[nextFile++];
        std::unique_ptr<AnatomicalStructureCollection> collection;
        std::string whyNone;
        if (refusal)
            whyNone = reasonOf(refusal);
        else if (auto* held = dynamic_cast<AnatomicalStructureCollection*>(data.get())) {
            data.release();
            collection.reset(held);
        }
        else
            whyNone = fmt::format("it holds a {}, not a collection", data->kindName());
        going = each(file, std::move(collection), whyNone) && passUnreadable();
        return going;
    });
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
