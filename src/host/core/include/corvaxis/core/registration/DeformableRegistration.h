#pragma once

#include "corvaxis/core/Algorithm.h"
#include "corvaxis/core/Geometry.h"
#include "corvaxis/core/Types.h"

#include <optional>
#include <string>

namespace corvaxis {
class Mesh;
}

namespace corvaxis::registration {

// Rows of points: corvaxis::Points, spelt out because registration::Points (PointSetAlignment.h)
// holds points as columns.

/// Settings of the non-rigid Coherent Point Drift (Myronenko and Song) between two surfaces.
/// Lengths are relative to the root mean square radius of the fixed vertices about their centroid,
/// so the defaults suit surfaces of any size.
struct DeformableRegistrationOptions {
    /// Width (beta) of the Gaussian kernel that couples the motion of neighbouring vertices:
    /// larger is smoother.
    double kernelWidth = 2.0;
    /// Weight (lambda) of the smoothness term against the fit: larger is stiffer.
    double smoothness = 2.0;
    /// Expected share of fixed vertices that have no counterpart, in [0, 1).
    double outlierWeight = 0.0;
    int maxIterations = 150;
    /// Stops when the negative log-likelihood changes by less than this fraction.
    double tolerance = 1e-5;
    /// Number of kernel centres (farthest-point samples of the moving vertices) of the low-rank
    /// kernel; memory and time per iteration are linear in the vertex counts times this.
    int kernelRank = 100;
    /// The initial alignment found from the surfaces themselves includes one isotropic scale.
    bool withScaling = true;
    /// Worker threads for the correspondence step; 0 uses computingThreads(). Results do not
    /// depend on it.
    int threads = 0;
};

/// A smooth displacement field: a sum of Gaussians of one width centred on kernel centres.
class DeformationField {
public:
    DeformationField() = default;
    DeformationField(corvaxis::Points centres, corvaxis::Points coefficients, double width);

    /// Displacement at each row (world coordinates, after the initial alignment).
    corvaxis::Points displacements(const corvaxis::Points& points) const;
    const corvaxis::Points& centres() const { return m_centres; }
    const corvaxis::Points& coefficients() const { return m_coefficients; }
    double width() const { return m_width; }

private:
    corvaxis::Points m_centres;
    corvaxis::Points m_coefficients;
    double m_width = 1.0;
};

struct DeformableRegistrationResult {
    /// An Algorithm::Status value; `message` says why when it is not Success.
    int status = Algorithm::Unknown;
    std::string message;
    /// The rigid or similarity part, mapping moving world positions onto the fixed ones.
    Mat4 transformation = Mat4::Identity();
    /// The moving vertices after `transformation` and the deformation, in world coordinates;
    /// face order and topology are those of the moving surface.
    corvaxis::Points deformedVertices;
    /// Acts on points already moved by `transformation`.
    DeformationField field;
    /// Distance of the deformed vertices to the fixed surface.
    double meanDistance = 0.0;
    double maxDistance = 0.0;
    /// Moving faces whose normal turned by more than 90 degrees (besides the rotation of
    /// `transformation`), i.e. folded over.
    int flippedFaces = 0;
    int iterations = 0;
    /// Final variance of the mixture, in squared world units.
    double variance = 0.0;

    /// Moves other points (keypoints) of the moving side, given in world coordinates, exactly as the
    /// vertices were moved: `transformation`, then the field.
    corvaxis::Points deform(const corvaxis::Points& movingWorldPoints) const;
};

/// Deforms the moving surface onto the fixed one; both are given in world coordinates. Without an
/// `initialTransformation` (from keypoint pairs, for instance) the surfaces are first aligned by
/// their moments and rigid ICP. `progress` is called on the calling thread; when it returns false
/// the result has status Cancelled. Invalid input (empty surfaces, bad face indices, options out of
/// range) gives status InvalidInput; nothing is thrown for it.
DeformableRegistrationResult registerSurfacesDeformably(const corvaxis::Points& movingVertices, const Triangles& movingFaces,
                                                        const corvaxis::Points& fixedVertices, const Triangles& fixedFaces,
                                                        const std::optional<Mat4>& initialTransformation = std::nullopt,
                                                        const DeformableRegistrationOptions& options = {},
                                                        const Algorithm::ProgressCallback& progress = {});

/// The same for two meshes placed in the world by their matrices.
DeformableRegistrationResult registerMeshesDeformably(const Mesh& moving, const Mesh& fixed,
                                                      const std::optional<Mat4>& initialTransformation = std::nullopt,
                                                      const DeformableRegistrationOptions& options = {},
                                                      const Algorithm::ProgressCallback& progress = {});

}  // namespace corvaxis::registration
