#include "corvaxis/anatomy/algorithms/ASCRegistration.h"

#include "MovedPoints.h"

#include "corvaxis/anatomy/algorithms/CollectionMove.h"

#include <vector>

// The image method of ASCRegistration: the current images of the first image pair, or the two
// image sets the registration was given.

namespace corvaxis {

void ASCRegistration::recordImageFigures(const registration::RigidImageRegistrationResult& result, int imagePairs)
{
    Properties& results = mutableResults();
    results.setParam("image_pairs", imagePairs);
    results.setParam("metric_value", result.metricValue);
    results.setParam("iterations", result.iterations);
}

void ASCRegistration::registerImages(Run& run, const CollectionCorrespondences& correspondences)
{
    if (!run.proceed(0.05, "Estimating the transformation"))
        return;
    // The images are found after the last report before the registration, which copies them
    // before it reports anything: a progress callback cannot remove them from under it.
    const SharedImageSet* fixedImages = m_fixedImages;
    const SharedImageSet* movingImages = m_movingImages;
    int pairsFound = 1;
    if (!fixedImages && !movingImages) {
        const std::vector<ObjectPair<SharedImageSet>> pairs = imagePairs(m_fixed, m_moving);
        if (pairs.empty())
            return run.fail(IncompleteInput, "No images in common: the collections share no image under the same key in "
                                             "structures of the same identifier");
        fixedImages = pairs.front().fixed;
        movingImages = pairs.front().moving;
        pairsFound = static_cast<int>(pairs.size());
    } else if (!fixedImages || !movingImages || !fixedImages->get() || !movingImages->get()) {
        return run.fail(InvalidInput,
                        "Image registration needs both image sets given to the registration, each holding an image");
    }

    registration::RigidImageRegistrationOptions options;
    options.metric = p_imageMetric.value();
    options.levels = p_imageLevels.value();
    options.histogramBins = p_histogramBins.value();
    options.samples = p_imageSamples.value();
    // Voxels are placed as everywhere else: the set's matrix, the image's matrix, the spacing.
    const registration::RigidImageRegistrationResult result = registration::registerImagesRigidly(
        *fixedImages->get(), fixedImages->voxelToWorld(), *movingImages->get(), movingImages->voxelToWorld(), options,
        run.part(0.1, 0.9));
    if (!run.took(result))
        return;

    if (!run.proceed(0.9, "Moving the collection"))
        return;
    std::optional<CollectionMove> move = planMove(run, result.transformation);
    if (!move)
        return;
    move->apply();
    recordResults(correspondences, result.transformation, movedPoints(result.transformation, correspondences.movingPoints), 1,
                  0);
    recordImageFigures(result, pairsFound);
    run.succeed();
}

}  // namespace corvaxis
