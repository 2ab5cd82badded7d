#include "DataFileTestSupport.h"

#include "corvaxis/core/Graph.h"
#include "corvaxis/core/LabelDataComponent.h"
#include "corvaxis/core/Mesh.h"
#include "corvaxis/core/PointCloud.h"
#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/io/DataCodec.h"
#include "corvaxis/core/io/DataFile.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <limits>

using namespace corvaxis;
using namespace corvaxis::test;

namespace {

/// A component whose whole state is a Properties tree, to round-trip any tree through a file.
class TreeComponent : public DataComponentBase {
public:
    std::string id() const override { return "test.TreeComponent"; }
    std::unique_ptr<DataComponentBase> clone() const override { return std::make_unique<TreeComponent>(*this); }
    void configure(const Properties* properties) override { tree = *properties; }
    void configuration(Properties* properties) const override { *properties = tree; }
    Properties tree;
};

class UnregisteredComponent : public TreeComponent {
public:
    std::string id() const override { return "test.Unregistered"; }
    std::unique_ptr<DataComponentBase> clone() const override { return std::make_unique<UnregisteredComponent>(*this); }
};

/// A kind whose codec can fail in the middle of writing, in this process or by killing it.
class FragileData : public Data {
public:
    int kind() const override { return AnyKind; }
    std::string kindName() const override { return "test.Fragile"; }
    std::unique_ptr<Data> cloneData() const override { return std::make_unique<FragileData>(*this); }
    bool killProcess = false;
};

class FragileCodec : public io::DataCodec {
public:
    std::string kindName() const override { return "test.Fragile"; }
    void write(const Data& data, io::Group& group) const override
    {
        const std::vector<double> half(1 << 16, 1.0);
        group.writeArray("written_before_failing", half.data(), {half.size()});
        if (static_cast<const FragileData&>(data).killProcess)
            std::raise(SIGKILL);
        throw std::runtime_error("the codec gave up halfway");
    }
    std::unique_ptr<Data> read(const io::Group&) const override { return std::make_unique<FragileData>(); }
};

[[maybe_unused]] const bool registered = [] {
    io::registerComponent("test.TreeComponent", [] { return std::make_unique<TreeComponent>(); });
    io::registerCodec(std::make_shared<FragileCodec>());
    return true;
}();

Mat4 someMatrix(double seed)
{
    Mat4 matrix;
    for (int i = 0; i < 16; ++i)
        matrix(i / 4, i % 4) = seed + i * 0.37 - (i % 3) * 1e-9;
    matrix.row(3) << 0, 0, 0, 1;
    return matrix;
}

Points randomRows(int rows, std::mt19937& random)
{
    std::normal_distribution<double> normal(0.0, 100.0);
    Points points(rows, 3);
    for (Eigen::Index i = 0; i < points.size(); ++i)
        points.data()[i] = normal(random);
    return points;
}

template <typename T>
std::unique_ptr<T> roundTrip(const Data& data, const ScratchDirectory& directory)
{
    const fs::path path = directory / "data.cvx";
    io::save(data, path);
    std::unique_ptr<Data> loaded = io::load(path);
    EXPECT_EQ(loaded->kindName(), data.kindName());
    EXPECT_EQ(loaded->name(), data.name());
    EXPECT_EQ(loaded->matrix(), data.matrix());
    auto* typed = dynamic_cast<T*>(loaded.get());
    EXPECT_NE(typed, nullptr);
    loaded.release();
    return std::unique_ptr<T>(typed);
}

/// The message of the FileError that loading throws, checked to name the file.
template <typename Error = io::FileFormatError>
std::string loadError(const fs::path& path)
{
    try {
        io::load(path);
    }
    catch (const Error& error) {
        EXPECT_EQ(error.path(), path);
        EXPECT_TRUE(std::string(error.what()).starts_with(path.string() + ": ")) << error.what();
        return error.reason();
    }
    catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected exception: " << error.what();
        return {};
    }
    ADD_FAILURE() << "loading " << path << " did not fail";
    return {};
}

class DataFileTest : public ::testing::Test {
protected:
    ScratchDirectory directory;
    std::mt19937 random{20240611};
};

}  // namespace

TEST_F(DataFileTest, ImageSetsKeepEveryPixelTypeSpacingMatrixModalityAndSelection)
{
    SharedImageSet set;
    set.setName("scan");
    set.setMatrix(someMatrix(2.0));
    std::uniform_int_distribution<int> byte(0, 255);
    for (int type = 0; type <= static_cast<int>(PixelType::Double); ++type) {
        auto image = std::make_unique<Image>(static_cast<PixelType>(type), std::array<int, 3>{5 + type, 3, type % 2 + 1},
                                             type % 3 + 1);
        for (std::size_t i = 0; i < image->byteSize(); ++i)
            image->data()[i] = static_cast<std::byte>(byte(random));
        image->spacing = Vec3(0.5, 0.25 * (type + 1), 3.0);
        image->matrix = someMatrix(type);
        set.add(std::move(image));
    }
    set.setModality(Modality::CT);
    set.setSelectedIndex(5);
    auto labels = std::make_unique<LabelDataComponent>();
    labels->setLabelConfig(3, LabelConfig{"liver", Vec4(0.1, 0.2, 0.3, 0.4), false});
    labels->setLabelConfig(-1, LabelConfig{"", Vec4(1, 1, 1, 1), true});
    set.components().add(std::move(labels));

    const auto loaded = roundTrip<SharedImageSet>(set, directory);
    ASSERT_EQ(loaded->size(), set.size());
    for (int i = 0; i < set.size(); ++i)
        EXPECT_TRUE(*loaded->get(i) == *set.get(i)) << "image " << i;
    EXPECT_EQ(loaded->modality(), Modality::CT);
    EXPECT_EQ(loaded->selectedIndex(), 5);
    ASSERT_EQ(loaded->components().size(), 1u);
    const auto* loadedLabels = dynamic_cast<const LabelDataComponent*>(loaded->components().at(0));
    ASSERT_NE(loadedLabels, nullptr);
    EXPECT_EQ(loadedLabels->labelConfigs(), dynamic_cast<const LabelDataComponent*>(set.components().at(0))->labelConfigs());

    const auto empty = roundTrip<SharedImageSet>(SharedImageSet(), directory);
    EXPECT_EQ(empty->size(), 0);
}

TEST_F(DataFileTest, MeshesPointCloudsAndGraphsKeepTheirArrays)
{
    Triangles faces(2, 3);
    faces << 0, 1, 2, 2, 1, 3;
    Mesh mesh(randomRows(4, random), faces);
    mesh.setName("surface");
    mesh.setMatrix(someMatrix(-4.0));
    auto loadedMesh = roundTrip<Mesh>(mesh, directory);
    EXPECT_EQ(loadedMesh->vertices(), mesh.vertices());
    EXPECT_EQ(loadedMesh->faces(), mesh.faces());
    EXPECT_FALSE(loadedMesh->normals());
    mesh.computeNormals();
    loadedMesh = roundTrip<Mesh>(mesh, directory);
    ASSERT_TRUE(loadedMesh->normals());
    EXPECT_EQ(*loadedMesh->normals(), *mesh.normals());
    EXPECT_EQ(roundTrip<Mesh>(Mesh(), directory)->numVertices(), 0);

    PointCloud cloud(randomRows(50, random), randomRows(50, random));
    const auto loadedCloud = roundTrip<PointCloud>(cloud, directory);
    EXPECT_EQ(loadedCloud->points(), cloud.points());
    EXPECT_EQ(*loadedCloud->normals(), *cloud.normals());
    EXPECT_FALSE(roundTrip<PointCloud>(PointCloud(randomRows(2, random)), directory)->normals());

    Edges edges(3, 2);
    edges << 0, 1, 1, 2, 2, 0;
    Graph graph(randomRows(3, random), edges, true);
    FeatureMatrix radius(3, 1);
    radius << 1.5, 2.5, std::numeric_limits<double>::infinity();
    graph.setNodeFeature("radius/mm", radius);
    graph.setNodeFeature("", FeatureMatrix(3, 0));
    FeatureMatrix flow(3, 4);
    flow.setRandom();
    graph.setEdgeFeature(".", flow);
    const auto loadedGraph = roundTrip<Graph>(graph, directory);
    EXPECT_TRUE(loadedGraph->directed());
    EXPECT_EQ(loadedGraph->nodes(), graph.nodes());
    EXPECT_EQ(loadedGraph->edges(), graph.edges());
    EXPECT_EQ(loadedGraph->nodeFeatures(), graph.nodeFeatures());
    EXPECT_EQ(loadedGraph->edgeFeatures(), graph.edgeFeatures());
    EXPECT_FALSE(roundTrip<Graph>(Graph(), directory)->directed());
}

TEST_F(DataFileTest, PropertiesKeepTypesDefaultsAttributesAndBlockOrder)
{
    Properties tree("root");
    tree.setParam("flag", true, false);
    tree.setParam("count", -7);
    tree.setParamType("count", 42);
    tree.setParam("ratio", 0.1);
    tree.setParam("text", std::string("äöü / \"quoted\" \n line"), std::string());
    tree.setParam("v2", Vec2(1, -2));
    tree.setParam("v3", Vec3(1e-300, 2, 3), Vec3(0, 0, 0));
    tree.setParam("v4", Vec4(1, 2, 3, std::numeric_limits<double>::quiet_NaN()));
    tree.setParam("m4", someMatrix(1.0), Mat4(Mat4::Identity()));
    tree.setParamAttributes("ratio", {{"unit", "mm"}, {"", "empty key"}, {"min", ""}});
    tree.setAttributes({{"version", "3"}, {"a/b", "c"}});
    Properties* first = tree.addSubProperties("Label");
    first->setParam("value", 1);
    tree.addSubProperties("Other")->addSubProperties("Nested")->setParam("deep", std::string("yes"));
    tree.addSubProperties("Label")->setParam("value", 2);
    tree.addSubProperties("");

    Mesh mesh;
    auto component = std::make_unique<TreeComponent>();
    component->tree = tree;
    mesh.components().add(std::move(component));
    const auto loaded = roundTrip<Mesh>(mesh, directory);
    ASSERT_EQ(loaded->components().size(), 1u);
    const Properties& read = dynamic_cast<const TreeComponent&>(*loaded->components().at(0)).tree;
    // NaN never equals itself, so that value is compared apart.
    Vec4 v4;
    ASSERT_TRUE(read.param("v4", v4));
    EXPECT_TRUE(std::isnan(v4[3]));
    Properties withoutNaN = read;
    withoutNaN.setParam("v4", Vec4(Vec4::Zero()));
    tree.setParam("v4", Vec4(Vec4::Zero()));
    EXPECT_TRUE(withoutNaN == tree);
    EXPECT_EQ(read.find("count")->type, 42u);
    EXPECT_EQ(read.subPropertiesAll("Label").size(), 2u);
}

TEST_F(DataFileTest, SavingTheSameDataTwiceGivesTheSameBytes)
{
    PointCloud cloud(randomRows(10, random));
    io::save(cloud, directory / "a.cvx");
    io::save(cloud, directory / "b.cvx");
    const Bytes bytes = readBytes(directory / "a.cvx");
    EXPECT_EQ(bytes, readBytes(directory / "b.cvx"));
    // The header: signature, version 1, content length and a CRC-32 that zlib would compute.
    ASSERT_GT(bytes.size(), 520u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "CORVAXIS");
    EXPECT_EQ(getLittleEndian(bytes, 8, 4), 1u);
    EXPECT_EQ(getLittleEndian(bytes, 12, 8), bytes.size() - 512);
    EXPECT_EQ(getLittleEndian(bytes, 20, 4), crc32(bytes.data() + 512, bytes.size() - 512));
    EXPECT_EQ(std::memcmp(bytes.data() + 512, "\x89HDF\r\n\x1a\n", 8), 0);
}

TEST_F(DataFileTest, MissingEmptyShortAndForeignFilesAreRefusedByName)
{
    const fs::path missing = directory / "missing.cvx";
    EXPECT_NE(loadError<io::FileNotFoundError>(missing).find("No such file"), std::string::npos);
    EXPECT_EQ(loadError<io::FileAccessError>(directory.path).find("is a directory"), 0u);

    const fs::path path = directory / "bad.cvx";
    writeBytes(path, {});
    EXPECT_EQ(loadError(path), "the file is empty");
    writeBytes(path, Bytes{'C', 'O', 'R', 'V'});
    EXPECT_TRUE(loadError(path).starts_with("truncated")) << loadError(path);
    writeBytes(path, Bytes(600, 'x'));
    EXPECT_TRUE(loadError(path).starts_with("not a corvaxis data file")) << loadError(path);

    // A valid HDF5 file of someone else: no header of ours in front.
    const hid_t foreign = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    ASSERT_GE(foreign, 0);
    H5Gclose(H5Gcreate2(foreign, "data", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    H5Fclose(foreign);
    EXPECT_NE(loadError(path).find("an HDF5 file without the corvaxis header"), std::string::npos);
}

TEST_F(DataFileTest, DamagedHeadersAndContentAreRefusedBeforeHdf5)
{
    const fs::path good = directory / "good.cvx";
    io::save(PointCloud(randomRows(100, random)), good);
    const Bytes original = readBytes(good);
    const fs::path path = directory / "bad.cvx";
    const auto refusal = [&](const std::function<void(Bytes&)>& change) {
        Bytes bytes = original;
        change(bytes);
        writeBytes(path, bytes);
        return loadError(path);
    };

    EXPECT_NE(refusal([](Bytes& b) { b[0] = 'c'; }).find("no CORVAXIS signature"), std::string::npos);
    EXPECT_EQ(refusal([](Bytes& b) { putLittleEndian(b, 8, 2, 4); }),
              "format version 2 is not supported (this build reads version 1)");
    EXPECT_NE(refusal([](Bytes& b) { b[300] = 1; }).find("reserved"), std::string::npos);
    EXPECT_NE(refusal([](Bytes& b) { b[b.size() / 2] ^= 0x10; }).find("checksum"), std::string::npos);
    EXPECT_NE(refusal([](Bytes& b) { b[21] ^= 0x01; }).find("checksum"), std::string::npos);
    EXPECT_NE(refusal([](Bytes& b) { b.push_back(0); }).find("more than the header announces"), std::string::npos);

    // Truncated anywhere: inside the header, right after it, inside the content, one byte short.
    std::vector<std::size_t> lengths = {1, 7, 8, 23, 511, 512, 513, 520, original.size() - 1};
    for (std::size_t length = 600; length < original.size(); length += 997)
        lengths.push_back(length);
    for (std::size_t length : lengths) {
        writeBytes(path, Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(length)));
        EXPECT_TRUE(loadError(path).starts_with("truncated")) << "length " << length << ": " << loadError(path);
    }
}

TEST_F(DataFileTest, ContentThatPassesTheHeaderButIsWrongIsRefused)
{
    const fs::path path = directory / "mesh.cvx";
    Triangles faces(1, 3);
    faces << 0, 1, 2;
    const Mesh mesh(randomRows(3, random), faces);
    const auto refusal = [&](const std::function<void(hid_t)>& change) {
        io::save(mesh, path);
        tamper(path, change);
        return loadError(path);
    };

    io::save(mesh, path);
    EXPECT_EQ(io::load(path, "Mesh")->kindName(), "Mesh");
    try {
        io::load(path, "GenericASC");
        ADD_FAILURE() << "a mesh was read as a collection";
    }
    catch (const io::FileFormatError& error) {
        EXPECT_EQ(error.reason(), "holds data of kind 'Mesh', not 'GenericASC'");
    }

    EXPECT_EQ(refusal([](hid_t file) { setTextAttribute(file, "/", "kind", "Hologram"); }),
              "holds data of kind 'Hologram', which no loaded library reads");
    EXPECT_NE(refusal([](hid_t file) { H5Adelete(file, "name"); }).find("attribute 'name' of '/' is missing"),
              std::string::npos);
    EXPECT_NE(refusal([](hid_t file) { H5Ldelete(file, "faces", H5P_DEFAULT); }).find("array '/faces' is missing"),
              std::string::npos);
    // A face that refers to a vertex that is not there.
    EXPECT_NE(refusal([](hid_t file) {
                  const hid_t faces = H5Dopen2(file, "faces", H5P_DEFAULT);
                  const int wrong[3] = {0, 1, 99};
                  H5Dwrite(faces, H5T_NATIVE_INT, H5S_ALL, H5S_ALL, H5P_DEFAULT, wrong);
                  H5Dclose(faces);
              }).find("mesh faces refer to vertices outside"),
              std::string::npos);
    EXPECT_NE(refusal([](hid_t file) {
                  const hid_t group = H5Gcreate2(file, "components/0", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
                  H5Gclose(group);
                  setTextAttribute(file, "components/0", "id", "Stranger");
                  H5Gclose(H5Gcreate2(file, "components/0/properties", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
              }).find("holds component 'Stranger', which no loaded library knows"),
              std::string::npos);
    // Numbered children must be numbered without gaps.
    EXPECT_NE(refusal([](hid_t file) {
                  H5Gclose(H5Gcreate2(file, "components/1", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
              }).find("should be numbered"),
              std::string::npos);
    // A group linked to from inside itself would lead a reader round in circles.
    EXPECT_NE(refusal([](hid_t file) {
                  H5Gclose(H5Gcreate2(file, "components/0", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
                  setTextAttribute(file, "components/0", "id", "test.TreeComponent");
                  H5Gclose(H5Gcreate2(file, "components/0/properties", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
                  setTextAttribute(file, "components/0/properties", "name", "");
                  H5Gclose(H5Gcreate2(file, "components/0/properties/blocks", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
                  H5Lcreate_hard(file, "components/0/properties", file, "components/0/properties/blocks/0",
                                 H5P_DEFAULT, H5P_DEFAULT);
              }).find("linked from more than one place"),
              std::string::npos);
}

TEST_F(DataFileTest, FailedSavesLeaveTheOldFileAndNoTemporaryFile)
{
    const fs::path path = directory / "kept.cvx";
    io::save(PointCloud(randomRows(5, random)), path);
    ::chmod(path.c_str(), 0640);
    const Bytes before = readBytes(path);

    try {
        io::save(FragileData(), path);
        ADD_FAILURE() << "the failing codec did not stop the save";
    }
    catch (const io::FileAccessError& error) {
        EXPECT_EQ(error.reason(), "cannot save: the codec gave up halfway");
    }
    // Data that a file cannot hold: a component no reader could recreate, text with NUL.
    Mesh unsupported;
    unsupported.components().add(std::make_unique<UnregisteredComponent>());
    EXPECT_THROW(io::save(unsupported, path), io::UnsupportedDataError);
    Mesh named;
    named.setName(std::string("nul\0inside", 10));
    EXPECT_THROW(io::save(named, path), io::UnsupportedDataError);
    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(directory.entries(), std::vector<std::string>{"kept.cvx"});

    // The rename is the last step: a directory in the way makes it fail after all was written.
    fs::create_directory(directory / "occupied.cvx");
    fs::create_directory(directory / "occupied.cvx" / "inside");
    try {
        io::save(Mesh(), directory / "occupied.cvx");
        ADD_FAILURE() << "a directory was replaced";
    }
    catch (const io::FileAccessError& error) {
        EXPECT_EQ(error.errorNumber(), EISDIR);
    }
    EXPECT_EQ(directory.entries(), (std::vector<std::string>{"kept.cvx", "occupied.cvx"}));

    // A successful save over the file keeps its permissions.
    io::save(Mesh(), path);
    struct stat status;
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);

    const fs::path missingDirectory = directory / "nowhere" / "x.cvx";
    EXPECT_THROW(io::save(Mesh(), missingDirectory), io::FileNotFoundError);
}

TEST_F(DataFileTest, SavingIntoAReadOnlyDirectoryFailsCleanly)
{
    const fs::path path = directory / "kept.cvx";
    io::save(Mesh(), path);
    const Bytes before = readBytes(path);
    fs::permissions(directory.path, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_exec |
                                        fs::perms::others_exec);
    const auto saveFails = [&] {
        try {
            io::save(PointCloud(), path);
        }
        catch (const io::FileAccessError& error) {
            return error.errorNumber() == EACCES;
        }
        return false;
    };
    if (::geteuid() != 0) {
        EXPECT_TRUE(saveFails());
    }
    else {
        // Permissions do not bind the super-user: save as nobody in a child process.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && saveFails() ? 0 : 1);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    fs::permissions(directory.path, fs::perms::owner_all);
    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(directory.entries(), std::vector<std::string>{"kept.cvx"});
}

TEST_F(DataFileTest, AProcessKilledWhileSavingLeavesTheOldFileReadable)
{
    const fs::path path = directory / "kept.cvx";
    const PointCloud cloud(randomRows(7, random));
    io::save(cloud, path);
    const Bytes before = readBytes(path);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FragileData dying;
        dying.killProcess = true;
        try {
            io::save(dying, path);
        }
        catch (...) {
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(dynamic_cast<PointCloud&>(*io::load(path)).points(), cloud.points());
    // The file is built in memory before anything is written, so a save killed while encoding
    // leaves nothing behind.
    EXPECT_EQ(directory.entries(), std::vector<std::string>{"kept.cvx"});
}
