#pragma once

// The well-known data keys. Each key is a constant `key` in a scope that spells its path after
// "Corvaxis.", e.g. Keys::BoundingBox::UpperLeft::key holds "Corvaxis.BoundingBox.UpperLeft".
//
// Only AnatomyBindings.cpp and AnatomyDataBindings.cpp include this header. Each of them gets its
// own copy of the registration object at the end, so loading the module appends the list to the
// registry twice, the second copy right after the first. bindKeys walks every path from the top
// and never rewrites an existing node, so the repeat is harmless.

#include <array>
#include <cstddef>
#include <string>

#include "binding_detail/KeyRegistry.h"

namespace corvaxis {

class KeyBase {
public:
    virtual operator std::string() const = 0;

protected:
    // Keys are constants that are never deleted through a base pointer.
    KeyBase() = default;
    KeyBase(const KeyBase&) = default;
    KeyBase& operator=(const KeyBase&) = default;
    ~KeyBase() = default;
};

/// A key whose text has N characters; built only at compile time from a string literal.
template <std::size_t N>
class Key final : public KeyBase {
public:
    consteval Key(const char (&literal)[N + 1])  // NOLINT(google-explicit-constructor)
    {
        for (std::size_t i = 0; i <= N; ++i)
            text[i] = literal[i];
    }

    operator std::string() const override { return std::string(text); }

    char text[N + 1]{};
};

template <std::size_t M>
Key(const char (&)[M]) -> Key<M - 1>;

// clang-format off
namespace Keys {
namespace Position { inline constexpr Key key{"Corvaxis.Position"}; }
namespace Prediction { inline constexpr Key key{"Corvaxis.Prediction"}; }
namespace Segmentation { inline constexpr Key key{"Corvaxis.Segmentation"}; }
namespace Crop { inline constexpr Key key{"Corvaxis.Crop"}; }
namespace RegistrationDescriptor { inline constexpr Key key{"Corvaxis.RegistrationDescriptor"}; }
namespace WeightImage { inline constexpr Key key{"Corvaxis.WeightImage"}; }
namespace Skeleton { inline constexpr Key key{"Corvaxis.Skeleton"}; }
namespace Lesion { inline constexpr Key key{"Corvaxis.Lesion"}; }
namespace BoundingBox { inline constexpr Key key{"Corvaxis.BoundingBox"}; }
namespace BoundingBox::UpperLeft { inline constexpr Key key{"Corvaxis.BoundingBox.UpperLeft"}; }
namespace BoundingBox::UpperRight { inline constexpr Key key{"Corvaxis.BoundingBox.UpperRight"}; }
namespace BoundingBox::LowerLeft { inline constexpr Key key{"Corvaxis.BoundingBox.LowerLeft"}; }
namespace BoundingBox::LowerRight { inline constexpr Key key{"Corvaxis.BoundingBox.LowerRight"}; }
namespace BoundingBox::UpperLeftFront { inline constexpr Key key{"Corvaxis.BoundingBox.UpperLeftFront"}; }
namespace BoundingBox::UpperRightFront { inline constexpr Key key{"Corvaxis.BoundingBox.UpperRightFront"}; }
namespace BoundingBox::LowerLeftFront { inline constexpr Key key{"Corvaxis.BoundingBox.LowerLeftFront"}; }
namespace BoundingBox::LowerRightFront { inline constexpr Key key{"Corvaxis.BoundingBox.LowerRightFront"}; }
namespace BoundingBox::UpperLeftBack { inline constexpr Key key{"Corvaxis.BoundingBox.UpperLeftBack"}; }
namespace BoundingBox::UpperRightBack { inline constexpr Key key{"Corvaxis.BoundingBox.UpperRightBack"}; }
namespace BoundingBox::LowerLeftBack { inline constexpr Key key{"Corvaxis.BoundingBox.LowerLeftBack"}; }
namespace BoundingBox::LowerRightBack { inline constexpr Key key{"Corvaxis.BoundingBox.LowerRightBack"}; }
namespace Spine { inline constexpr Key key{"Corvaxis.Spine"}; }
namespace Spine::Vertebra { inline constexpr Key key{"Corvaxis.Spine.Vertebra"}; }
namespace Spine::Vertebra::LeftPedicle { inline constexpr Key key{"Corvaxis.Spine.Vertebra.LeftPedicle"}; }
namespace Spine::Vertebra::LeftPedicle::Center { inline constexpr Key key{"Corvaxis.Spine.Vertebra.LeftPedicle.Center"}; }
namespace Spine::Vertebra::LeftPedicle::CrossSection { inline constexpr Key key{"Corvaxis.Spine.Vertebra.LeftPedicle.CrossSection"}; }
namespace Spine::Vertebra::RightPedicle { inline constexpr Key key{"Corvaxis.Spine.Vertebra.RightPedicle"}; }
namespace Spine::Vertebra::RightPedicle::Center { inline constexpr Key key{"Corvaxis.Spine.Vertebra.RightPedicle.Center"}; }
namespace Spine::Vertebra::RightPedicle::CrossSection { inline constexpr Key key{"Corvaxis.Spine.Vertebra.RightPedicle.CrossSection"}; }
namespace Spine::Vertebra::Body { inline constexpr Key key{"Corvaxis.Spine.Vertebra.Body"}; }
namespace Spine::Vertebra::Body::Center { inline constexpr Key key{"Corvaxis.Spine.Vertebra.Body.Center"}; }
namespace Spine::Vertebra::PosteriorCenter { inline constexpr Key key{"Corvaxis.Spine.Vertebra.PosteriorCenter"}; }
namespace Spine::Vertebra::NerveChannel { inline constexpr Key key{"Corvaxis.Spine.Vertebra.NerveChannel"}; }
namespace Spine::Vertebra::NerveChannel::Center { inline constexpr Key key{"Corvaxis.Spine.Vertebra.NerveChannel.Center"}; }
namespace Spine::Vertebra::LeftSuperiorArticularProcess { inline constexpr Key key{"Corvaxis.Spine.Vertebra.LeftSuperiorArticularProcess"}; }
namespace Spine::Vertebra::RightSuperiorArticularProcess { inline constexpr Key key{"Corvaxis.Spine.Vertebra.RightSuperiorArticularProcess"}; }
namespace Spine::Vertebra::LeftInferiorArticularProcess { inline constexpr Key key{"Corvaxis.Spine.Vertebra.LeftInferiorArticularProcess"}; }
namespace Spine::Vertebra::RightInferiorArticularProcess { inline constexpr Key key{"Corvaxis.Spine.Vertebra.RightInferiorArticularProcess"}; }
namespace Spine::Vertebra::LeftTransverseProcess { inline constexpr Key key{"Corvaxis.Spine.Vertebra.LeftTransverseProcess"}; }
namespace Spine::Vertebra::RightTransverseProcess { inline constexpr Key key{"Corvaxis.Spine.Vertebra.RightTransverseProcess"}; }
namespace Spine::Vertebra::SpinousProcess { inline constexpr Key key{"Corvaxis.Spine.Vertebra.SpinousProcess"}; }
namespace Spine::Vertebra::LeftSuperiorArticularFacet { inline constexpr Key key{"Corvaxis.Spine.Vertebra.LeftSuperiorArticularFacet"}; }
namespace Spine::Vertebra::RightSuperiorArticularFacet { inline constexpr Key key{"Corvaxis.Spine.Vertebra.RightSuperiorArticularFacet"}; }
namespace Spine::Vertebra::LeftInferiorArticularFacet { inline constexpr Key key{"Corvaxis.Spine.Vertebra.LeftInferiorArticularFacet"}; }
namespace Spine::Vertebra::RightInferiorArticularFacet { inline constexpr Key key{"Corvaxis.Spine.Vertebra.RightInferiorArticularFacet"}; }
namespace Spine::Vertebra::SuperiorDisc { inline constexpr Key key{"Corvaxis.Spine.Vertebra.SuperiorDisc"}; }
namespace Spine::Vertebra::InferiorDisc { inline constexpr Key key{"Corvaxis.Spine.Vertebra.InferiorDisc"}; }
namespace Spine::Vertebra::SuperiorEndPlate { inline constexpr Key key{"Corvaxis.Spine.Vertebra.SuperiorEndPlate"}; }
namespace Spine::Vertebra::InferiorEndPlate { inline constexpr Key key{"Corvaxis.Spine.Vertebra.InferiorEndPlate"}; }
namespace Spine::Sacrum { inline constexpr Key key{"Corvaxis.Spine.Sacrum"}; }
namespace Spine::Sacrum::Foramen { inline constexpr Key key{"Corvaxis.Spine.Sacrum.Foramen"}; }
namespace Spine::Sacrum::LeftForamen1 { inline constexpr Key key{"Corvaxis.Spine.Sacrum.LeftForamen1"}; }
namespace Spine::Sacrum::LeftForamen2 { inline constexpr Key key{"Corvaxis.Spine.Sacrum.LeftForamen2"}; }
namespace Spine::Sacrum::LeftForamen3 { inline constexpr Key key{"Corvaxis.Spine.Sacrum.LeftForamen3"}; }
namespace Spine::Sacrum::LeftForamen4 { inline constexpr Key key{"Corvaxis.Spine.Sacrum.LeftForamen4"}; }
namespace Spine::Sacrum::RightForamen1 { inline constexpr Key key{"Corvaxis.Spine.Sacrum.RightForamen1"}; }
namespace Spine::Sacrum::RightForamen2 { inline constexpr Key key{"Corvaxis.Spine.Sacrum.RightForamen2"}; }
namespace Spine::Sacrum::RightForamen3 { inline constexpr Key key{"Corvaxis.Spine.Sacrum.RightForamen3"}; }
namespace Spine::Sacrum::RightForamen4 { inline constexpr Key key{"Corvaxis.Spine.Sacrum.RightForamen4"}; }
namespace Spine::Sacrum::EndPlate { inline constexpr Key key{"Corvaxis.Spine.Sacrum.EndPlate"}; }
namespace Spine::Sacrum::EndPlate::Center { inline constexpr Key key{"Corvaxis.Spine.Sacrum.EndPlate.Center"}; }
namespace Spine::Sacrum::EndPlate::Left { inline constexpr Key key{"Corvaxis.Spine.Sacrum.EndPlate.Left"}; }
namespace Spine::Sacrum::EndPlate::Right { inline constexpr Key key{"Corvaxis.Spine.Sacrum.EndPlate.Right"}; }
namespace Spine::Coccyx { inline constexpr Key key{"Corvaxis.Spine.Coccyx"}; }
namespace Spine::LumbarVertebrae { inline constexpr Key key{"Corvaxis.Spine.LumbarVertebrae"}; }
namespace Spine::ThoracicVertebrae { inline constexpr Key key{"Corvaxis.Spine.ThoracicVertebrae"}; }
namespace Spine::CervicalVertrebrae { inline constexpr Key key{"Corvaxis.Spine.CervicalVertrebrae"}; }
namespace Spine::IntervertebralDisc { inline constexpr Key key{"Corvaxis.Spine.IntervertebralDisc"}; }
namespace Spine::IntervertebralDisc::Center { inline constexpr Key key{"Corvaxis.Spine.IntervertebralDisc.Center"}; }
namespace CostalCartilage { inline constexpr Key key{"Corvaxis.CostalCartilage"}; }
namespace Ribs { inline constexpr Key key{"Corvaxis.Ribs"}; }
namespace Sternum { inline constexpr Key key{"Corvaxis.Sternum"}; }
namespace LeftClavicula { inline constexpr Key key{"Corvaxis.LeftClavicula"}; }
namespace RightClavicula { inline constexpr Key key{"Corvaxis.RightClavicula"}; }
namespace Ribs::LeftRib1 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib1"}; }
namespace Ribs::LeftRib2 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib2"}; }
namespace Ribs::LeftRib3 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib3"}; }
namespace Ribs::LeftRib4 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib4"}; }
namespace Ribs::LeftRib5 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib5"}; }
namespace Ribs::LeftRib6 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib6"}; }
namespace Ribs::LeftRib7 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib7"}; }
namespace Ribs::LeftRib8 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib8"}; }
namespace Ribs::LeftRib9 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib9"}; }
namespace Ribs::LeftRib10 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib10"}; }
namespace Ribs::LeftRib11 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib11"}; }
namespace Ribs::LeftRib12 { inline constexpr Key key{"Corvaxis.Ribs.LeftRib12"}; }
namespace Ribs::RightRib1 { inline constexpr Key key{"Corvaxis.Ribs.RightRib1"}; }
namespace Ribs::RightRib2 { inline constexpr Key key{"Corvaxis.Ribs.RightRib2"}; }
namespace Ribs::RightRib3 { inline constexpr Key key{"Corvaxis.Ribs.RightRib3"}; }
namespace Ribs::RightRib4 { inline constexpr Key key{"Corvaxis.Ribs.RightRib4"}; }
namespace Ribs::RightRib5 { inline constexpr Key key{"Corvaxis.Ribs.RightRib5"}; }
namespace Ribs::RightRib6 { inline constexpr Key key{"Corvaxis.Ribs.RightRib6"}; }
namespace Ribs::RightRib7 { inline constexpr Key key{"Corvaxis.Ribs.RightRib7"}; }
namespace Ribs::RightRib8 { inline constexpr Key key{"Corvaxis.Ribs.RightRib8"}; }
namespace Ribs::RightRib9 { inline constexpr Key key{"Corvaxis.Ribs.RightRib9"}; }
namespace Ribs::RightRib10 { inline constexpr Key key{"Corvaxis.Ribs.RightRib10"}; }
namespace Ribs::RightRib11 { inline constexpr Key key{"Corvaxis.Ribs.RightRib11"}; }
namespace Ribs::RightRib12 { inline constexpr Key key{"Corvaxis.Ribs.RightRib12"}; }
namespace Pelvis { inline constexpr Key key{"Corvaxis.Pelvis"}; }
namespace Pelvis::LeftHip { inline constexpr Key key{"Corvaxis.Pelvis.LeftHip"}; }
namespace Pelvis::RightHip { inline constexpr Key key{"Corvaxis.Pelvis.RightHip"}; }
namespace Ilium { inline constexpr Key key{"Corvaxis.Ilium"}; }
namespace LeftLeg { inline constexpr Key key{"Corvaxis.LeftLeg"}; }
namespace RightLeg { inline constexpr Key key{"Corvaxis.RightLeg"}; }
namespace LeftLeg::Femur { inline constexpr Key key{"Corvaxis.LeftLeg.Femur"}; }
namespace LeftLeg::Femur::Head { inline constexpr Key key{"Corvaxis.LeftLeg.Femur.Head"}; }
namespace LeftLeg::Femur::Head::Center { inline constexpr Key key{"Corvaxis.LeftLeg.Femur.Head.Center"}; }
namespace RightLeg::Femur { inline constexpr Key key{"Corvaxis.RightLeg.Femur"}; }
namespace RightLeg::Femur::Head { inline constexpr Key key{"Corvaxis.RightLeg.Femur.Head"}; }
namespace RightLeg::Femur::Head::Center { inline constexpr Key key{"Corvaxis.RightLeg.Femur.Head.Center"}; }
namespace Liver { inline constexpr Key key{"Corvaxis.Liver"}; }
namespace Gallbladder { inline constexpr Key key{"Corvaxis.Gallbladder"}; }
namespace Bowel { inline constexpr Key key{"Corvaxis.Bowel"}; }
namespace Stomach { inline constexpr Key key{"Corvaxis.Stomach"}; }
namespace LeftKidney { inline constexpr Key key{"Corvaxis.LeftKidney"}; }
namespace RightKidney { inline constexpr Key key{"Corvaxis.RightKidney"}; }
namespace Prostate { inline constexpr Key key{"Corvaxis.Prostate"}; }
namespace Spleen { inline constexpr Key key{"Corvaxis.Spleen"}; }
namespace Heart { inline constexpr Key key{"Corvaxis.Heart"}; }
namespace Heart::LeftVentricle { inline constexpr Key key{"Corvaxis.Heart.LeftVentricle"}; }
namespace Heart::LeftVentricle::Cavity { inline constexpr Key key{"Corvaxis.Heart.LeftVentricle.Cavity"}; }
namespace Heart::LeftVentricle::Myocardium { inline constexpr Key key{"Corvaxis.Heart.LeftVentricle.Myocardium"}; }
namespace Heart::RightVentricle { inline constexpr Key key{"Corvaxis.Heart.RightVentricle"}; }
namespace Heart::RightVentricle::Cavity { inline constexpr Key key{"Corvaxis.Heart.RightVentricle.Cavity"}; }
namespace Heart::RightVentricle::Myocardium { inline constexpr Key key{"Corvaxis.Heart.RightVentricle.Myocardium"}; }
namespace Heart::LeftAtrium { inline constexpr Key key{"Corvaxis.Heart.LeftAtrium"}; }
namespace Heart::LeftAtrium::Cavity { inline constexpr Key key{"Corvaxis.Heart.LeftAtrium.Cavity"}; }
namespace Heart::LeftAtrium::Myocardium { inline constexpr Key key{"Corvaxis.Heart.LeftAtrium.Myocardium"}; }
namespace Heart::RightAtrium { inline constexpr Key key{"Corvaxis.Heart.RightAtrium"}; }
namespace Heart::RightAtrium::Cavity { inline constexpr Key key{"Corvaxis.Heart.RightAtrium.Cavity"}; }
namespace Heart::RightAtrium::Myocardium { inline constexpr Key key{"Corvaxis.Heart.RightAtrium.Myocardium"}; }
namespace Heart::MitralValve { inline constexpr Key key{"Corvaxis.Heart.MitralValve"}; }
namespace Heart::MitralValve::Center { inline constexpr Key key{"Corvaxis.Heart.MitralValve.Center"}; }
namespace Heart::TricuspidValve { inline constexpr Key key{"Corvaxis.Heart.TricuspidValve"}; }
namespace Heart::TricuspidValve::Center { inline constexpr Key key{"Corvaxis.Heart.TricuspidValve.Center"}; }
namespace Heart::AorticValve { inline constexpr Key key{"Corvaxis.Heart.AorticValve"}; }
namespace Heart::AorticValve::Center { inline constexpr Key key{"Corvaxis.Heart.AorticValve.Center"}; }
namespace Heart::PulmonaryValve { inline constexpr Key key{"Corvaxis.Heart.PulmonaryValve"}; }
namespace Heart::PulmonaryValve::Center { inline constexpr Key key{"Corvaxis.Heart.PulmonaryValve.Center"}; }
namespace Aorta { inline constexpr Key key{"Corvaxis.Aorta"}; }
namespace Aorta::Lumen { inline constexpr Key key{"Corvaxis.Aorta.Lumen"}; }
namespace PulmonaryArtery { inline constexpr Key key{"Corvaxis.PulmonaryArtery"}; }
namespace PulmonaryArtery::Lumen { inline constexpr Key key{"Corvaxis.PulmonaryArtery.Lumen"}; }
namespace SuperiorVenaCava { inline constexpr Key key{"Corvaxis.SuperiorVenaCava"}; }
namespace SuperiorVenaCava::Lumen { inline constexpr Key key{"Corvaxis.SuperiorVenaCava.Lumen"}; }
namespace InferiorVenaCava { inline constexpr Key key{"Corvaxis.InferiorVenaCava"}; }
namespace InferiorVenaCava::Lumen { inline constexpr Key key{"Corvaxis.InferiorVenaCava.Lumen"}; }
namespace Lungs { inline constexpr Key key{"Corvaxis.Lungs"}; }
namespace Lungs::LeftLung { inline constexpr Key key{"Corvaxis.Lungs.LeftLung"}; }
namespace Lungs::LeftLung::SuperiorLobe { inline constexpr Key key{"Corvaxis.Lungs.LeftLung.SuperiorLobe"}; }
namespace Lungs::LeftLung::InferiorLobe { inline constexpr Key key{"Corvaxis.Lungs.LeftLung.InferiorLobe"}; }
namespace Lungs::RightLung { inline constexpr Key key{"Corvaxis.Lungs.RightLung"}; }
namespace Lungs::RightLung::SuperiorLobe { inline constexpr Key key{"Corvaxis.Lungs.RightLung.SuperiorLobe"}; }
namespace Lungs::RightLung::InferiorLobe { inline constexpr Key key{"Corvaxis.Lungs.RightLung.InferiorLobe"}; }
namespace Lungs::RightLung::MiddleLobe { inline constexpr Key key{"Corvaxis.Lungs.RightLung.MiddleLobe"}; }
}  // namespace Keys
// clang-format on

inline constexpr std::size_t kKeyCount = 155;

/// Every key, in registration order.
inline constexpr auto allKeys = std::to_array<const KeyBase*>({
    &Keys::Position::key,
    &Keys::Prediction::key,
    &Keys::Segmentation::key,
    &Keys::Crop::key,
    &Keys::RegistrationDescriptor::key,
    &Keys::WeightImage::key,
    &Keys::Skeleton::key,
    &Keys::Lesion::key,
    &Keys::BoundingBox::key,
    &Keys::BoundingBox::UpperLeft::key,
    &Keys::BoundingBox::UpperRight::key,
    &Keys::BoundingBox::LowerLeft::key,
    &Keys::BoundingBox::LowerRight::key,
    &Keys::BoundingBox::UpperLeftFront::key,
    &Keys::BoundingBox::UpperRightFront::key,
    &Keys::BoundingBox::LowerLeftFront::key,
    &Keys::BoundingBox::LowerRightFront::key,
    &Keys::BoundingBox::UpperLeftBack::key,
    &Keys::BoundingBox::UpperRightBack::key,
    &Keys::BoundingBox::LowerLeftBack::key,
    &Keys::BoundingBox::LowerRightBack::key,
    &Keys::Spine::key,
    &Keys::Spine::Vertebra::key,
    &Keys::Spine::Vertebra::LeftPedicle::key,
    &Keys::Spine::Vertebra::LeftPedicle::Center::key,
    &Keys::Spine::Vertebra::LeftPedicle::CrossSection::key,
    &Keys::Spine::Vertebra::RightPedicle::key,
    &Keys::Spine::Vertebra::RightPedicle::Center::key,
    &Keys::Spine::Vertebra::RightPedicle::CrossSection::key,
    &Keys::Spine::Vertebra::Body::key,
    &Keys::Spine::Vertebra::Body::Center::key,
    &Keys::Spine::Vertebra::PosteriorCenter::key,
    &Keys::Spine::Vertebra::NerveChannel::key,
    &Keys::Spine::Vertebra::NerveChannel::Center::key,
    &Keys::Spine::Vertebra::LeftSuperiorArticularProcess::key,
    &Keys::Spine::Vertebra::RightSuperiorArticularProcess::key,
    &Keys::Spine::Vertebra::LeftInferiorArticularProcess::key,
    &Keys::Spine::Vertebra::RightInferiorArticularProcess::key,
    &Keys::Spine::Vertebra::LeftTransverseProcess::key,
    &Keys::Spine::Vertebra::RightTransverseProcess::key,
    &Keys::Spine::Vertebra::SpinousProcess::key,
    &Keys::Spine::Vertebra::LeftSuperiorArticularFacet::key,
    &Keys::Spine::Vertebra::RightSuperiorArticularFacet::key,
    &Keys::Spine::Vertebra::LeftInferiorArticularFacet::key,
    &Keys::Spine::Vertebra::RightInferiorArticularFacet::key,
    &Keys::Spine::Vertebra::SuperiorDisc::key,
    &Keys::Spine::Vertebra::InferiorDisc::key,
    &Keys::Spine::Vertebra::SuperiorEndPlate::key,
    &Keys::Spine::Vertebra::InferiorEndPlate::key,
    &Keys::Spine::Sacrum::key,
    &Keys::Spine::Sacrum::Foramen::key,
    &Keys::Spine::Sacrum::LeftForamen1::key,
    &Keys::Spine::Sacrum::LeftForamen2::key,
    &Keys::Spine::Sacrum::LeftForamen3::key,
    &Keys::Spine::Sacrum::LeftForamen4::key,
    &Keys::Spine::Sacrum::RightForamen1::key,
    &Keys::Spine::Sacrum::RightForamen2::key,
    &Keys::Spine::Sacrum::RightForamen3::key,
    &Keys::Spine::Sacrum::RightForamen4::key,
    &Keys::Spine::Sacrum::EndPlate::key,
    &Keys::Spine::Sacrum::EndPlate::Center::key,
    &Keys::Spine::Sacrum::EndPlate::Left::key,
    &Keys::Spine::Sacrum::EndPlate::Right::key,
    &Keys::Spine::Coccyx::key,
    &Keys::Spine::LumbarVertebrae::key,
    &Keys::Spine::ThoracicVertebrae::key,
    &Keys::Spine::CervicalVertrebrae::key,
    &Keys::Spine::IntervertebralDisc::key,
    &Keys::Spine::IntervertebralDisc::Center::key,
    &Keys::CostalCartilage::key,
    &Keys::Ribs::key,
    &Keys::Sternum::key,
    &Keys::LeftClavicula::key,
    &Keys::RightClavicula::key,
    &Keys::Ribs::LeftRib1::key,
    &Keys::Ribs::LeftRib2::key,
    &Keys::Ribs::LeftRib3::key,
    &Keys::Ribs::LeftRib4::key,
    &Keys::Ribs::LeftRib5::key,
    &Keys::Ribs::LeftRib6::key,
    &Keys::Ribs::LeftRib7::key,
    &Keys::Ribs::LeftRib8::key,
    &Keys::Ribs::LeftRib9::key,
    &Keys::Ribs::LeftRib10::key,
    &Keys::Ribs::LeftRib11::key,
    &Keys::Ribs::LeftRib12::key,
    &Keys::Ribs::RightRib1::key,
    &Keys::Ribs::RightRib2::key,
    &Keys::Ribs::RightRib3::key,
    &Keys::Ribs::RightRib4::key,
    &Keys::Ribs::RightRib5::key,
    &Keys::Ribs::RightRib6::key,
    &Keys::Ribs::RightRib7::key,
    &Keys::Ribs::RightRib8::key,
    &Keys::Ribs::RightRib9::key,
    &Keys::Ribs::RightRib10::key,
    &Keys::Ribs::RightRib11::key,
    &Keys::Ribs::RightRib12::key,
    &Keys::Pelvis::key,
    &Keys::Pelvis::LeftHip::key,
    &Keys::Pelvis::RightHip::key,
    &Keys::Ilium::key,
    &Keys::LeftLeg::key,
    &Keys::RightLeg::key,
    &Keys::LeftLeg::Femur::key,
    &Keys::LeftLeg::Femur::Head::key,
    &Keys::LeftLeg::Femur::Head::Center::key,
    &Keys::RightLeg::Femur::key,
    &Keys::RightLeg::Femur::Head::key,
    &Keys::RightLeg::Femur::Head::Center::key,
    &Keys::Liver::key,
    &Keys::Gallbladder::key,
    &Keys::Bowel::key,
    &Keys::Stomach::key,
    &Keys::LeftKidney::key,
    &Keys::RightKidney::key,
    &Keys::Prostate::key,
    &Keys::Spleen::key,
    &Keys::Heart::key,
    &Keys::Heart::LeftVentricle::key,
    &Keys::Heart::LeftVentricle::Cavity::key,
    &Keys::Heart::LeftVentricle::Myocardium::key,
    &Keys::Heart::RightVentricle::key,
    &Keys::Heart::RightVentricle::Cavity::key,
    &Keys::Heart::RightVentricle::Myocardium::key,
    &Keys::Heart::LeftAtrium::key,
    &Keys::Heart::LeftAtrium::Cavity::key,
    &Keys::Heart::LeftAtrium::Myocardium::key,
    &Keys::Heart::RightAtrium::key,
    &Keys::Heart::RightAtrium::Cavity::key,
    &Keys::Heart::RightAtrium::Myocardium::key,
    &Keys::Heart::MitralValve::key,
    &Keys::Heart::MitralValve::Center::key,
    &Keys::Heart::TricuspidValve::key,
    &Keys::Heart::TricuspidValve::Center::key,
    &Keys::Heart::AorticValve::key,
    &Keys::Heart::AorticValve::Center::key,
    &Keys::Heart::PulmonaryValve::key,
    &Keys::Heart::PulmonaryValve::Center::key,
    &Keys::Aorta::key,
    &Keys::Aorta::Lumen::key,
    &Keys::PulmonaryArtery::key,
    &Keys::PulmonaryArtery::Lumen::key,
    &Keys::SuperiorVenaCava::key,
    &Keys::SuperiorVenaCava::Lumen::key,
    &Keys::InferiorVenaCava::key,
    &Keys::InferiorVenaCava::Lumen::key,
    &Keys::Lungs::key,
    &Keys::Lungs::LeftLung::key,
    &Keys::Lungs::LeftLung::SuperiorLobe::key,
    &Keys::Lungs::LeftLung::InferiorLobe::key,
    &Keys::Lungs::RightLung::key,
    &Keys::Lungs::RightLung::SuperiorLobe::key,
    &Keys::Lungs::RightLung::InferiorLobe::key,
    &Keys::Lungs::RightLung::MiddleLobe::key,
});
static_assert(allKeys.size() == kKeyCount, "allKeys must list every key exactly once");

namespace {

// Internal linkage on purpose: one registration per including unit (see the top of this file).
struct KeyRegistration {
    KeyRegistration()
    {
        auto& registry = KeyRegistry::getRegistry();
        for (const KeyBase* key : allKeys)
            registry.emplace_back(static_cast<std::string>(*key));
    }
};

const KeyRegistration keyRegistration;

}  // namespace

}  // namespace corvaxis
