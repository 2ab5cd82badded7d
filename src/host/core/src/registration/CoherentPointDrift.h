#pragma once

#include "KernelBasis.h"
#include "ReportingWork.h"

#include "corvaxis/core/registration/DeformableRegistration.h"

namespace corvaxis::registration {

/// Where the non-rigid Coherent Point Drift came to: the displacement B beta of the kernel basis
/// and the mixture's variance.
struct DriftOutcome {
    Eigen::MatrixXd beta;
    double variance = 0.0;
    int iterations = 0;
    /// The moving points displaced.
    Points moved;
};

/// Non-rigid Coherent Point Drift of `moving` onto `fixed` (both in a frame of about unit size),
/// coarse to fine: while the mixture's variance is large, both sets are merged by a grid whose cells
/// follow its standard deviation, so that every iteration costs time about linear in the vertex
/// counts; the displacement lives in the kernel basis, so it reaches every moving point at any
/// resolution. Reports through `progress`; false when it asked to stop.
bool coherentPointDrift(const Points& fixed, const Points& moving, const KernelBasis& basis,
                        const DeformableRegistrationOptions& options, const ProgressSpan& progress, DriftOutcome& outcome);

}  // namespace corvaxis::registration
