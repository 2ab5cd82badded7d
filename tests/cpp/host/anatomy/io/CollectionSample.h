#pragma once

#include "corvaxis/anatomy/GenericASC.h"
#include "corvaxis/anatomy/GenericAnatomicalStructure.h"
#include "corvaxis/core/LabelDataComponent.h"

#include <cmath>
#include <memory>

namespace corvaxis::test {

inline Mat4 transform(double angle, const Vec3& translation)
{
    Mat4 matrix = Mat4::Identity();
    matrix(0, 0) = matrix(1, 1) = std::cos(angle);
    matrix(0, 1) = -std::sin(angle);
    matrix(1, 0) = std::sin(angle);
    matrix.block<3, 1>(0, 3) = translation;
    return matrix;
}

/// A collection with every store type, attributes (one entry not synchronizing), an entry
/// without a value, objects with matrices and components, and local values that lag behind a
/// moved frame.
inline std::unique_ptr<GenericASC> everyStoreCollection()
{
    auto collection = std::make_unique<GenericASC>(false);
    collection->setName("patient 7");
    collection->setMatrix(transform(0.1, Vec3(1, 2, 3)));
    auto labels = std::make_unique<LabelDataComponent>();
    labels->setLabelConfig(1, LabelConfig{"liver", Vec4(0.5, 0.25, 0, 1), true});
    collection->components().add(std::move(labels));

    auto liver = std::make_unique<GenericAnatomicalStructure>("liver");
    liver->setMatrixToWorld(transform(0.3, Vec3(10, -20, 5)), true);
    liver->keypoints["tip"].editAttributes().setParam("synchronization", false);
    liver->keypoints["tip"] = Vec3(1.5, 2.5, -3.25);
    liver->keypoints["hilum"] = Vec3(4, 30, -2);
    liver->keypoints["hilum"].editAttributes().setParam("confidence", 0.75);
    liver->keypoints["pending"].editAttributes().setParam("note", std::string("no value yet"));
    liver->planes["cut"] = Vec4(0, 0, 1, -5);
    liver->planes["cut"].editAttributes().setAttributes({{"source", "manual"}});

    auto image = std::make_unique<Image>(PixelType::UInt16, std::array<int, 3>{4, 3, 2}, 1);
    for (std::size_t i = 0; i < image->byteSize(); ++i)
        image->data()[i] = static_cast<std::byte>(i * 7);
    image->spacing = Vec3(0.5, 0.5, 2);
    auto images = std::make_unique<SharedImageSet>();
    images->add(std::move(image));
    images->setModality(Modality::Label);
    images->setMatrix(transform(-0.2, Vec3(0, 0, 9)));
    images->components().add(std::make_unique<LabelDataComponent>());
    liver->images["labels"] = std::move(images);
    liver->images["empty"] = std::make_unique<SharedImageSet>();

    Points vertices(4, 3);
    vertices << 0, 0, 0, 20, 0, 0, 0, 20, 0, 0, 0, 20;
    Triangles faces(4, 3);
    faces << 0, 2, 1, 0, 1, 3, 0, 3, 2, 1, 2, 3;
    auto mesh = std::make_unique<Mesh>(vertices, faces);
    mesh->computeNormals();
    mesh->setName("surface mesh");
    mesh->setMatrix(transform(0.7, Vec3(3, 3, 3)));
    liver->meshes["surface"] = std::move(mesh);
    liver->meshes["surface"].editAttributes().setParam("synchronization", true);
    liver->pointclouds["samples"] = std::make_unique<PointCloud>(vertices, vertices);
    Edges edges(2, 2);
    edges << 0, 1, 1, 2;
    auto graph = std::make_unique<Graph>(vertices, edges, true);
    graph->setEdgeFeature("radius", FeatureMatrix::Constant(2, 1, 1.25));
    liver->graphs["vessels"] = std::move(graph);
    // Moved without updating: every local value now lags behind the frame, as the file must keep it.
    liver->setMatrixToWorld(transform(0.9, Vec3(100, 0, 0)), false);
    std::unique_ptr<AnatomicalStructure> structure = std::move(liver);
    collection->addAnatomicalStructure(structure);

    // Identifiers may repeat; an empty structure keeps its empty stores.
    for (const char* identifier : {"kidney", "liver"}) {
        structure = std::make_unique<GenericAnatomicalStructure>(identifier);
        collection->addAnatomicalStructure(structure);
    }
    return collection;
}

}  // namespace corvaxis::test
