#pragma once

#include "corvaxis/core/Algorithm.h"
#include "corvaxis/core/SharedImageSet.h"
#include "corvaxis/core/Types.h"

#include <string>

namespace corvaxis::registration {

enum class ImageMetric : int {
    /// Mattes mutual information: any monotonic or non-monotonic relation between the
    /// intensities (different modalities).
    MattesMutualInformation = 0,
    /// Intensities related linearly.
    NormalizedCrossCorrelation = 1,
    /// Equal intensities.
    MeanSquares = 2,
};

struct RigidImageRegistrationOptions {
    // Limits of the options: beyond them the metric holds too little or runs out of memory.
    static constexpr int mostLevels = 8;
    static constexpr int fewestBins = 8;
    static constexpr int mostBins = 512;
    static constexpr int fewestSamples = 1000;
    /// 0 (every voxel) or at least fewestSamples.
    static constexpr bool acceptsSamples(int samples) { return samples == 0 || samples >= fewestSamples; }

    ImageMetric metric = ImageMetric::MattesMutualInformation;
    /// Resolution levels, each half the size of the next finer one; the coarsest is solved first.
    int levels = 3;
    /// Intensity bins of the joint histogram (mutual information only).
    int histogramBins = 32;
    /// At least this many fixed-image voxels per level, on a regular lattice (every k-th voxel along
    /// each axis, k the largest stride that keeps this many); 0 takes them all.
    int samples = 50000;
    int maxIterationsPerLevel = 100;
    /// Longest step of the optimiser per level, and the step below which it stops, in voxels of that
    /// level; translations count in millimetres, rotations by the arc they sweep at the image's radius.
    double initialStep = 1.0;
    double minimumStep = 0.001;
    /// Worker threads for the metric; 0 uses the hardware's count. Results do not depend on it.
    int threads = 0;
};

struct RigidImageRegistrationResult {
    /// An Algorithm::Status value; `message` says why when it is not Success.
    int status = Algorithm::Unknown;
    std::string message;
    /// Rigid transformation that maps moving world positions onto the fixed ones.
    Mat4 transformation = Mat4::Identity();
    /// The metric at the end on the finest level (lower is better: negative mutual information,
    /// negative correlation, or mean squared difference).
    double metricValue = 0.0;
    /// Optimiser iterations over all levels.
    int iterations = 0;
};

/// Pixel-to-world matrix of an image: the image's matrix placed by `outer` (the matrix of its set),
/// with the pixel grid scaled by the spacing and centred on the origin of the image's frame.
Mat4 centredPixelToWorld(const Image& image, const Mat4& outer = Mat4::Identity());

/// Rigid registration of the first channel of two images by a multi-resolution optimisation of
/// `options.metric`, started from their centres of mass (intensity-weighted, in world). The
/// pixel-to-world matrices place each pixel index (x, y, z) in millimetres. Both images are read
/// before the first progress report, so `progress` may change or drop them. `progress` is called
/// on the calling thread; returning false ends with status Cancelled. Invalid input (options out
/// of range, an image without content: constant, or without a finite intensity) gives
/// InvalidInput and a failure to find any overlap gives Error; nothing is thrown for them.
RigidImageRegistrationResult registerImagesRigidly(const Image& fixed, const Mat4& fixedPixelToWorld, const Image& moving,
                                                   const Mat4& movingPixelToWorld,
                                                   const RigidImageRegistrationOptions& options = {},
                                                   const Algorithm::ProgressCallback& progress = {});

}  // namespace corvaxis::registration
