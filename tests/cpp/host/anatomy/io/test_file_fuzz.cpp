// Seeded random corruption of a saved collection. Pass 1 feeds damaged files as they are: the
// header check must refuse every one. Pass 2 reseals the header after damaging the content, so
// that the damage reaches HDF5 and the readers; each of these inputs is read in a child process,
// so that a crash or a hang is caught and counted instead of ending the test run.
// NIfTI images get the same mutations, each read in a child process: read or refused, no crash.
//
// CORVAXIS_FUZZ_INPUTS sets the number of inputs per pass (default 300), CORVAXIS_FUZZ_SEED the
// seed, and CORVAXIS_FUZZ_KEEP a directory where inputs that crash or hang are written.

#include "../../core/io/DataFileTestSupport.h"
#include "CollectionSample.h"

#include "corvaxis/core/io/DataFile.h"
#include "corvaxis/core/io/Nifti.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>

using namespace corvaxis;
using namespace corvaxis::test;

namespace {

long environmentNumber(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

/// One random change of the bytes at or after `from`: bit flips, an overwritten run, a
/// truncation, an insertion, or a run copied from elsewhere in the file.
Bytes mutate(const Bytes& original, std::mt19937_64& random, std::size_t from)
{
    const auto uniform = [&](std::size_t low, std::size_t high) {
        return std::uniform_int_distribution<std::size_t>(low, high)(random);
    };
    for (;;) {
        Bytes bytes = original;
        switch (uniform(0, 4)) {
        case 0:
            for (std::size_t n = uniform(1, 8); n > 0; --n)
                bytes[uniform(from, bytes.size() - 1)] ^= static_cast<unsigned char>(1u << uniform(0, 7));
            break;
        case 1: {
            const std::size_t start = uniform(from, bytes.size() - 1);
            const std::size_t end = std::min(bytes.size(), start + uniform(1, 64));
            const int fill = static_cast<int>(uniform(0, 2));
            for (std::size_t i = start; i < end; ++i)
                bytes[i] = fill == 0 ? 0x00 : fill == 1 ? 0xFF : static_cast<unsigned char>(uniform(0, 255));
            break;
        }
        case 2: bytes.resize(uniform(from, bytes.size() - 1)); break;
        case 3: {
            Bytes inserted(uniform(1, 64));
            for (auto& byte : inserted)
                byte = static_cast<unsigned char>(uniform(0, 255));
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(uniform(from, bytes.size())), inserted.begin(),
                         inserted.end());
            break;
        }
        default: {
            // Small files (a compressed image) get shorter runs, so that source and target fit.
            const std::size_t length = uniform(1, std::min<std::size_t>(256, (original.size() - from) / 2));
            const std::size_t source = uniform(from, bytes.size() - length);
            const std::size_t target = uniform(from, bytes.size() - length);
            std::copy(original.begin() + static_cast<std::ptrdiff_t>(source),
                      original.begin() + static_cast<std::ptrdiff_t>(source + length),
                      bytes.begin() + static_cast<std::ptrdiff_t>(target));
            break;
        }
        }
        if (bytes != original)
            return bytes;
    }
}

// Exit codes of the child, away from 0 and 1 so that a sanitizer's or the runtime's own exit
// counts as a crash.
enum Outcome : int { Accepted = 70, Refused = 71, OtherError = 72, NotSavedAgain = 73 };

/// Runs in the child: read the file and, when that works, save what was read.
[[noreturn]] void readInChild(const fs::path& path, const fs::path& resaved)
{
    alarm(20);
#if !defined(__SANITIZE_ADDRESS__)
    // Runaway allocations then fail inside the reader instead of exhausting the machine.
    const rlimit memory{std::size_t(2) << 30, std::size_t(2) << 30};
    setrlimit(RLIMIT_AS, &memory);
#endif
    std::unique_ptr<Data> data;
    try {
        data = io::load(path);
    }
    catch (const io::FileFormatError&) {
        _exit(Refused);
    }
    catch (...) {
        _exit(OtherError);
    }
    try {
        io::save(*data, resaved);
    }
    catch (...) {
        _exit(NotSavedAgain);
    }
    _exit(Accepted);
}

/// Runs in the child: read a NIfTI file; it is either read or refused, nothing else.
[[noreturn]] void readNiftiInChild(const fs::path& path)
{
    alarm(20);
#if !defined(__SANITIZE_ADDRESS__)
    const rlimit memory{std::size_t(2) << 30, std::size_t(2) << 30};
    setrlimit(RLIMIT_AS, &memory);
#endif
    try {
        io::loadNifti(path);
    }
    catch (const io::FileFormatError&) {
        _exit(Refused);
    }
    catch (...) {
        _exit(OtherError);
    }
    _exit(Accepted);
}

struct Tally {
    int inputs = 0;
    int accepted = 0;
    int refused = 0;
    int otherErrors = 0;
    int notSavedAgain = 0;
    int crashed = 0;
    int hung = 0;
    std::map<int, int> crashSignals;

    /// Counts the outcome of one child's exit status; names what went wrong (an input worth
    /// keeping), or nothing when the input was read or cleanly refused.
    const char* record(int status)
    {
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
            ++hung;
            return "hang";
        }
        if (WIFSIGNALED(status)) {
            ++crashed;
            ++crashSignals[WTERMSIG(status)];
            return "crash";
        }
        switch (WEXITSTATUS(status)) {
        case Accepted: ++accepted; return nullptr;
        case Refused: ++refused; return nullptr;
        case NotSavedAgain: ++notSavedAgain; return nullptr;
        case OtherError: ++otherErrors; return "other";
        default: ++crashed; return "crash";
        }
    }
};

std::ostream& operator<<(std::ostream& out, const Tally& tally)
{
    out << tally.inputs << " inputs: " << tally.refused << " refused, " << tally.accepted << " read (damage in values), "
        << tally.otherErrors << " other errors, " << tally.notSavedAgain << " read but not savable, " << tally.crashed
        << " crashed, " << tally.hung << " hung";
    for (const auto& [signal, count] : tally.crashSignals)
        out << " [signal " << signal << ": " << count << "]";
    return out;
}

class FileFuzzTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        io::save(*everyStoreCollection(), original);
        bytes = readBytes(original);
        ASSERT_GT(bytes.size(), 1024u);
    }

    void keep(const Bytes& input, const std::string& what, int index) const
    {
        if (const char* directory = std::getenv("CORVAXIS_FUZZ_KEEP"))
            writeBytes(fs::path(directory) / (what + "-" + std::to_string(seed) + "-" + std::to_string(index) + ".cvx"),
                       input);
    }

    ScratchDirectory directory;
    fs::path original = directory / "original.cvx";
    fs::path input = directory / "input.cvx";
    Bytes bytes;
    const int inputs = static_cast<int>(environmentNumber("CORVAXIS_FUZZ_INPUTS", 300));
    const long seed = environmentNumber("CORVAXIS_FUZZ_SEED", 1);
};

}  // namespace

TEST_F(FileFuzzTest, DamagedFilesAreRefusedByTheHeaderCheck)
{
    std::mt19937_64 random(static_cast<std::uint64_t>(seed));
    Tally tally;
    for (int i = 0; i < inputs; ++i) {
        writeBytes(input, mutate(bytes, random, 0));
        ++tally.inputs;
        try {
            io::load(input);
            ++tally.accepted;
        }
        catch (const io::FileFormatError&) {
            ++tally.refused;
        }
        catch (...) {
            ++tally.otherErrors;
        }
    }
    std::cout << "[fuzz] header check, seed " << seed << ": " << tally << std::endl;
    EXPECT_EQ(tally.refused, tally.inputs) << tally;
}

TEST_F(FileFuzzTest, DamagedContentBehindAValidHeaderNeverCrashesTheReader)
{
    std::mt19937_64 random(static_cast<std::uint64_t>(seed) + 1000003);
    const fs::path resaved = directory / "resaved.cvx";
    Tally tally;
    for (int i = 0; i < inputs; ++i) {
        Bytes mutated = mutate(bytes, random, io::headerSize);
        reseal(mutated);
        writeBytes(input, mutated);
        ++tally.inputs;
        std::cout.flush();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            readInChild(input, resaved);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (const char* fault = tally.record(status))
            keep(mutated, fault, i);
    }
    std::cout << "[fuzz] content behind a valid header, seed " << seed << ": " << tally << std::endl;
    RecordProperty("fuzz_content_inputs", tally.inputs);
    RecordProperty("fuzz_content_crashed", tally.crashed);
    EXPECT_EQ(tally.crashed, 0) << tally;
    EXPECT_EQ(tally.hung, 0) << tally;
    EXPECT_EQ(tally.otherErrors, 0) << tally;
    EXPECT_EQ(tally.notSavedAgain, 0) << tally;
    EXPECT_GT(tally.refused, 0) << tally;
}

/// A small label volume with a rotated geometry, as a NIfTI file of each kind.
class NiftiFuzzTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        auto image = std::make_unique<Image>(PixelType::Int16, std::array<int, 3>{9, 7, 5});
        auto* pixels = reinterpret_cast<std::int16_t*>(image->data());
        for (std::size_t i = 0; i < image->numPixels(); ++i)
            pixels[i] = static_cast<std::int16_t>(i % 5);
        image->spacing = Vec3(0.5, 0.75, 2.0);
        image->matrix.topLeftCorner<3, 3>() << 0, -1, 0, 1, 0, 0, 0, 0, 1;
        SharedImageSet set;
        set.add(std::move(image));
        set.setModality(Modality::Label);
        io::saveNifti(set, original);
        bytes = readBytes(original);
        ASSERT_GT(bytes.size(), 64u);
    }

    ScratchDirectory directory;
    fs::path original = directory / ("original" + GetParam());
    fs::path input = directory / ("input" + GetParam());
    Bytes bytes;
    const int inputs = static_cast<int>(environmentNumber("CORVAXIS_FUZZ_INPUTS", 300));
    const long seed = environmentNumber("CORVAXIS_FUZZ_SEED", 1);
};

TEST_P(NiftiFuzzTest, DamagedFilesAreReadOrRefusedNeverCrash)
{
    std::mt19937_64 random(static_cast<std::uint64_t>(seed) + 2000003);
    Tally tally;
    for (int i = 0; i < inputs; ++i) {
        const Bytes mutated = mutate(bytes, random, 0);
        writeBytes(input, mutated);
        ++tally.inputs;
        std::cout.flush();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            readNiftiInChild(input);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const char* fault = tally.record(status);
        const char* keepDirectory = std::getenv("CORVAXIS_FUZZ_KEEP");
        if (keepDirectory && fault)
            writeBytes(fs::path(keepDirectory) / ("nifti-" + std::to_string(seed) + "-" + std::to_string(i) + GetParam()),
                       mutated);
    }
    std::cout << "[fuzz] NIfTI " << GetParam() << ", seed " << seed << ": " << tally << std::endl;
    EXPECT_EQ(tally.crashed, 0) << tally;
    EXPECT_EQ(tally.hung, 0) << tally;
    EXPECT_EQ(tally.otherErrors, 0) << tally;
    EXPECT_GT(tally.refused, 0) << tally;
}

INSTANTIATE_TEST_SUITE_P(Extensions, NiftiFuzzTest, ::testing::Values(".nii", ".nii.gz"),
                         [](const auto& info) { return info.param == ".nii" ? std::string("nii") : std::string("nii_gz"); });
