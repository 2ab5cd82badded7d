#include "corvaxis/anatomy/AnatomicalStructure.h"

namespace corvaxis {

InstanceCounter& structureCounter()
{
    static auto* counter = new InstanceCounter("structures");
    return *counter;
}

AnatomicalStructure::AnatomicalStructure(bool is2D) : m_is2D(is2D) {}

AnatomicalStructure::~AnatomicalStructure() { markDestroyed(); }

void AnatomicalStructure::setMatrixToWorld(const Mat4& matrix, bool updateLocalValues)
{
    m_matrixToWorld = matrix;
    if (!updateLocalValues)
        return;
    keypoints.synchronizeLocalValues();
    planes.synchronizeLocalValues();
    images.synchronizeLocalValues();
    meshes.synchronizeLocalValues();
    pointclouds.synchronizeLocalValues();
    graphs.synchronizeLocalValues();
}

void AnatomicalStructure::copyContentFrom(const AnatomicalStructure& other)
{
    m_is2D = other.m_is2D;
    m_matrixToWorld = other.m_matrixToWorld;
    keypoints.copyEntriesFrom(other.keypoints);
    planes.copyEntriesFrom(other.planes);
    images.copyEntriesFrom(other.images);
    meshes.copyEntriesFrom(other.meshes);
    pointclouds.copyEntriesFrom(other.pointclouds);
    graphs.copyEntriesFrom(other.graphs);
}

}  // namespace corvaxis
