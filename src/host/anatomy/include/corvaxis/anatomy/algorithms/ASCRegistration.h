#pragma once

#include "corvaxis/anatomy/AnatomicalStructureCollection.h"
#include "corvaxis/anatomy/algorithms/CollectionMove.h"
#include "corvaxis/core/Algorithm.h"
#include "corvaxis/core/registration/DeformableRegistration.h"
#include "corvaxis/core/registration/ImageRegistration.h"
#include "corvaxis/core/registration/PointSetAlignment.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvaxis {

/// The keypoint and plane pairs of two collections: a value under the same key in the stores of
/// structures with the same identifier (the first structure with that identifier on each side).
/// Structures and keys present on one side only are left out. Planes are normalised.
struct CollectionCorrespondences {
    registration::Points movingPoints = registration::Points(3, 0);
    registration::Points fixedPoints = registration::Points(3, 0);
    registration::Planes movingPlanes = registration::Planes(4, 0);
    registration::Planes fixedPlanes = registration::Planes(4, 0);

    static CollectionCorrespondences gather(const AnatomicalStructureCollection& fixed,
                                            const AnatomicalStructureCollection& moving);
};

/// Objects stored under the same key in structures with the same identifier, paired as the
/// keypoints are: meshes, or image sets holding at least one image. Moving structure order, then
/// key order.
template <typename T>
struct ObjectPair {
    std::string identifier;
    std::string key;
    const T* fixed;
    T* moving;
};
std::vector<ObjectPair<Mesh>> meshPairs(const AnatomicalStructureCollection& fixed, AnatomicalStructureCollection& moving);
std::vector<ObjectPair<SharedImageSet>> imagePairs(const AnatomicalStructureCollection& fixed,
                                                   AnatomicalStructureCollection& moving);

/// Registers one collection onto another: estimates one transformation from the moving
/// collection's world space to the fixed one's and moves the whole moving collection by it
/// (CollectionMove). The fixed collection is never changed; a compute that fails or is cancelled
/// leaves the moving one as it was.
///
/// Both collections (and the optional image sets, which the image method registers instead of the
/// collections' images) are used by reference and must outlive the algorithm. The numerical work
/// runs on copies taken before the first progress report that follows them (point pairs, mesh
/// vertices, image volumes), so a progress callback may change either collection. The move is
/// worked out on the moving collection as it is after the last report; a paired moving mesh that
/// is gone or no longer the one registered fails the compute, moving nothing.
///
/// DeformableMeshRegistration moves the collection by the rigid or similarity part of the mesh
/// registration and then gives the paired moving meshes their deformed vertices; keypoints follow
/// the whole deformation. RigidImages registers the current images of the first image pair (or
/// the two image sets given to the constructor) and moves the collection by the result.
///
/// Results of a successful compute: "transformation" (4x4, moving world to fixed world; the rigid
/// or similarity part for the deformable method), "correspondences" (pairs the method used),
/// "point_pairs", "plane_pairs", "scale", "rms_before" and "rms_after" (root mean square distance
/// of the point pairs, after the whole move; NaN without any), and the figures of the method (see
/// recordMeshFigures and recordImageFigures).
class ASCRegistration : public Algorithm {
public:
    enum class RegistrationMethod : std::int32_t {
        /// Rigid, from keypoint and plane pairs together (closed form).
        PointsAndPlanes = 1,
        /// Deformation of the moving meshes onto the fixed ones.
        DeformableMeshRegistration = 2,
        /// Rigid, from the intensities of the images.
        RigidImages = 3,
        /// Similarity (rotation, translation, one scale) from the keypoint pairs.
        PointsRigidScaling = 4,
    };

    /// Below this scale (or above its inverse) a similarity squeezes the moving collection to a
    /// point or blows it up: no registration result.
    static constexpr double smallestScale = 1e-3;
    /// Limits of the deformable parameters: beyond them memory or time runs out before a result.
    static constexpr int largestKernelRank = 5000;
    static constexpr int mostDeformableIterations = 100000;

    ASCRegistration(AnatomicalStructureCollection& fixed, AnatomicalStructureCollection& moving,
                    SharedImageSet* fixedImages, SharedImageSet* movingImages);

    void compute() override;

    Parameter<RegistrationMethod> p_registrationMethod{"registrationMethod", RegistrationMethod::PointsAndPlanes, this};
    /// PointsAndPlanes: what one plane pair weighs against one point pair. For the rotation a unit
    /// normal counts like a point pair one world unit away from the points' centroid; for the
    /// translation an offset difference counts like a point distance. 0 ignores the planes.
    Parameter<double> p_planeWeight{"planeWeight", 1.0, this};

    // DeformableMeshRegistration; registration::DeformableRegistrationOptions says what each means.
    Parameter<double> p_kernelWidth{"kernelWidth", registration::DeformableRegistrationOptions{}.kernelWidth, this};
    Parameter<double> p_smoothness{"smoothness", registration::DeformableRegistrationOptions{}.smoothness, this};
    Parameter<double> p_outlierWeight{"outlierWeight", registration::DeformableRegistrationOptions{}.outlierWeight, this};
    Parameter<int> p_kernelRank{"kernelRank", registration::DeformableRegistrationOptions{}.kernelRank, this};
    Parameter<int> p_deformableIterations{"deformableIterations",
                                          registration::DeformableRegistrationOptions{}.maxIterations, this};
    Parameter<double> p_deformableTolerance{"deformableTolerance", registration::DeformableRegistrationOptions{}.tolerance,
                                            this};
    /// Whether the initial alignment (from keypoints or from the meshes) includes one scale.
    Parameter<bool> p_deformableScaling{"deformableScaling", registration::DeformableRegistrationOptions{}.withScaling,
                                        this};

    // RigidImages; registration::RigidImageRegistrationOptions says what each means.
    Parameter<registration::ImageMetric> p_imageMetric{"imageMetric", registration::RigidImageRegistrationOptions{}.metric,
                                                       this};
    Parameter<int> p_imageLevels{"imageLevels", registration::RigidImageRegistrationOptions{}.levels, this};
    Parameter<int> p_histogramBins{"histogramBins", registration::RigidImageRegistrationOptions{}.histogramBins, this};
    Parameter<int> p_imageSamples{"imageSamples", registration::RigidImageRegistrationOptions{}.samples, this};

private:
    /// The transformation of a point method, or why there is none.
    registration::Alignment estimate(const CollectionCorrespondences& correspondences) const;
    void registerPoints(Run& run, const CollectionCorrespondences& correspondences);
    void registerMeshes(Run& run, const CollectionCorrespondences& correspondences);
    void registerImages(Run& run, const CollectionCorrespondences& correspondences);
    /// The start of the deformable method: from three or more keypoint pairs when they determine
    /// one, else none (the meshes are aligned by their moments then).
    std::optional<Mat4> initialFromKeypoints(const CollectionCorrespondences& correspondences) const;
    /// The move of the whole moving collection, or nothing with the compute failed.
    std::optional<CollectionMove> planMove(Run& run, const Mat4& transformation,
                                           const CollectionMove::PointMap& moveKeypoint = {});
    void recordResults(const CollectionCorrespondences& correspondences, const Mat4& transformation,
                       const registration::Points& movedPoints, int pairsUsed, int planePairs);
    /// "mesh_pairs", "vertices", "mean_distance", "max_distance", "flipped_faces", "iterations",
    /// "variance", "initial_alignment" ("keypoints" or "meshes").
    void recordMeshFigures(const registration::DeformableRegistrationResult& result, int meshPairs, Eigen::Index vertices,
                           bool fromKeypoints);
    /// "image_pairs", "metric_value", "iterations".
    void recordImageFigures(const registration::RigidImageRegistrationResult& result, int imagePairs);

    AnatomicalStructureCollection& m_fixed;
    AnatomicalStructureCollection& m_moving;
    // Registered by the image method instead of the collections' images, when given.
    SharedImageSet* m_fixedImages;
    SharedImageSet* m_movingImages;
};

}  // namespace corvaxis
