// Timings of the registration core, printed as "name value" lines for benchmarks/registration_numerics.py,
// which runs the peers in the same run.
//
//   registration_benchmark deformable <vertices> <iterations> <folder>
//       a sphere onto an ellipsoid of about <vertices> vertices each, a fixed number of iterations (0: until
//       converged); writes moving.txt and fixed.txt (the vertices) to <folder> for the peer.
//   registration_benchmark images <size> [remap]
//       the blob volume of <size>^3 1 mm pixels and a copy rotated 8 degrees and shifted by (4, -3, 2) mm.

#include "corvaxis/core/registration/DeformableRegistration.h"
#include "corvaxis/core/registration/ImageRegistration.h"

#include "../../tests/cpp/host/core/registration/ImageFixtures.h"
#include "../../tests/cpp/host/core/registration/SurfaceFixtures.h"

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <iostream>
#include <string>

using namespace corvaxis;
using namespace corvaxis::registration;

namespace {

double seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double peakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

void write(const std::string& path, const Points& points)
{
    std::ofstream out(path);
    out.precision(17);
    for (Eigen::Index i = 0; i < points.rows(); ++i)
        out << points(i, 0) << ' ' << points(i, 1) << ' ' << points(i, 2) << '\n';
}

int deformable(int vertices, int iterations, const std::string& folder)
{
    // Latitude spheres with about the requested vertex count and different layouts on both sides.
    const int rings = static_cast<int>(std::round(std::sqrt(vertices / 2.0)));
    const int segments = (vertices - 2) / (rings - 1);
    const Mat4 placement = testing::rigid(Vec3(1, 1, 0), 10.0, Vec3(12.0, -7.0, 4.0));
    const auto moving = testing::placed(testing::latitudeSphere(rings, segments), Vec3::Constant(20.0), placement);
    const auto fixed = testing::placed(testing::latitudeSphere(segments / 2, 2 * rings - 1), Vec3(25.0, 20.0, 15.0), placement);
    write(folder + "/moving.txt", moving.vertices);
    write(folder + "/fixed.txt", fixed.vertices);
    DeformableRegistrationOptions options;
    if (iterations > 0) {
        options.maxIterations = iterations;
        options.tolerance = 0.0;
    }
    const auto start = std::chrono::steady_clock::now();
    const DeformableRegistrationResult result = registerSurfacesDeformably(
        moving.vertices, moving.faces, fixed.vertices, fixed.faces, Mat4::Identity(), options);
    const double time = seconds(start);
    std::cout << "moving_vertices " << moving.vertices.rows() << "\nfixed_vertices " << fixed.vertices.rows()
              << "\nstatus " << result.status << "\nseconds " << time << "\niterations " << result.iterations
              << "\nmean_distance " << result.meanDistance << "\nmax_distance " << result.maxDistance
              << "\nflipped_faces " << result.flippedFaces << "\npeak_megabytes " << peakMegabytes() << '\n';
    return result.status;
}

int images(int size, bool remap)
{
    const Mat4 motion = testing::rigid(Vec3(1, 2, 3), 8.0, Vec3(4, -3, 2));
    const auto fixed = testing::sampledImage(size, 1.0, testing::blobs);
    const auto moving = remap ? testing::movedBlobs(size, 1.0, motion, [](double v) { return 4.0 * v * (1.0 - v) + 0.1; })
                              : testing::movedBlobs(size, 1.0, motion);
    const auto start = std::chrono::steady_clock::now();
    const RigidImageRegistrationResult result =
        registerImagesRigidly(*fixed, centredPixelToWorld(*fixed), *moving, centredPixelToWorld(*moving));
    const double time = seconds(start);
    const Mat4 expected = motion.inverse();
    std::cout << "status " << result.status << "\nseconds " << time << "\niterations " << result.iterations
              << "\nrotation_error_degrees " << testing::rotationErrorDegrees(result.transformation, expected)
              << "\ntranslation_error_mm "
              << (result.transformation.topRightCorner<3, 1>() - expected.topRightCorner<3, 1>()).norm() << '\n';
    return result.status;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "deformable" && argc == 5)
        return deformable(std::stoi(argv[2]), std::stoi(argv[3]), argv[4]);
    if (mode == "images" && (argc == 3 || argc == 4))
        return images(std::stoi(argv[2]), argc == 4 && std::string(argv[3]) == "remap");
    std::cerr << "usage: registration_benchmark deformable <vertices> <iterations> <folder> | images <size> [remap]\n";
    return 2;
}
