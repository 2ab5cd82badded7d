#pragma once

#include "corvaxis/anatomy/AnatomicalStructureCollection.h"
#include "corvaxis/core/Algorithm.h"
#include "corvaxis/core/registration/PointSetAlignment.h"

#include <cstdint>

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

/// Registers one collection onto another: estimates one transformation from the moving
/// collection's world space to the fixed one's and moves the whole moving collection by it
/// (CollectionMove). The fixed collection is never changed; a compute that fails or is cancelled
/// leaves the moving one as it was.
///
/// Both collections (and the optional image sets, which the image method registers instead of the
/// collections' images) are used by reference and must outlive the algorithm.
///
/// Results of a successful compute: "transformation" (4x4, moving world to fixed world),
/// "correspondences" (point pairs plus plane pairs used), "point_pairs", "plane_pairs", "scale",
/// "rms_before" and "rms_after" (root mean square distance of the point pairs; NaN without any).
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

    ASCRegistration(AnatomicalStructureCollection& fixed, AnatomicalStructureCollection& moving,
                    SharedImageSet* fixedImages, SharedImageSet* movingImages);

    void compute() override;

    Parameter<RegistrationMethod> p_registrationMethod{"registrationMethod", RegistrationMethod::PointsAndPlanes, this};
    /// PointsAndPlanes: what one plane pair weighs against one point pair. For the rotation a unit
    /// normal counts like a point pair one world unit away from the points' centroid; for the
    /// translation an offset difference counts like a point distance. 0 ignores the planes.
    Parameter<double> p_planeWeight{"planeWeight", 1.0, this};

private:
    /// The transformation of the chosen method, or why there is none.
    registration::Alignment estimate(const CollectionCorrespondences& correspondences) const;
    /// Ends the compute with status Cancelled when the caller asked to stop.
    bool goOn(double fraction, const char* step);
    void recordResults(const CollectionCorrespondences& correspondences, const Mat4& transformation);

    AnatomicalStructureCollection& m_fixed;
    AnatomicalStructureCollection& m_moving;
    // Registered by the image method instead of the collections' images, when given.
    SharedImageSet* m_fixedImages;
    SharedImageSet* m_movingImages;
};

}  // namespace corvaxis
