#include "corvaxis/anatomy/styling/ASCDisplayOptions.h"

#include "corvaxis/anatomy/AnatomicalStructureCollection.h"
#include "corvaxis/core/io/DataCodec.h"

#include <typeinfo>

namespace corvaxis {

using AnatomyPlugin::ContentType;
using AnatomyPlugin::Selector;
using AnatomyPlugin::StyleCascade;
using AnatomyPlugin::StyledObject;
using AnatomyPlugin::StyleSheet;

namespace {

/// Gives the sheet a rule for the selector text, leaving an existing one as it is.
void ensureRule(StyleSheet& sheet, const std::optional<std::string>& selectorText)
{
    if (selectorText)
        sheet.appendOrModify(Selector::parse(*selectorText), [](Properties&) {}, *selectorText);
}

template <typename T>
const Properties* entryAttributes(const KeyValueStore<T>& store, const std::string& key)
{
    // An entry without a value is no object to draw; asking it for attributes would be reported.
    if (!store.has(key) || !store[key].hasValue())
        return nullptr;
    return &store[key].attributes();
}

const Properties* attributesOf(const AnatomicalStructure& structure, ContentType kind, const std::string& key)
{
    switch (kind) {
    case ContentType::AnatomicalStructure: return nullptr;
    case ContentType::Keypoint: return entryAttributes(structure.keypoints, key);
    case ContentType::Plane: return entryAttributes(structure.planes, key);
    case ContentType::Image: return entryAttributes(structure.images, key);
    case ContentType::Mesh: return entryAttributes(structure.meshes, key);
    case ContentType::PointCloud: return entryAttributes(structure.pointclouds, key);
    case ContentType::Graph: return entryAttributes(structure.graphs, key);
    }
    return nullptr;
}

// Collections saved with display options are read back by this id.
[[maybe_unused]] const bool registeredForFiles =
    (io::registerComponent(ASCDisplayOptions::componentId, [] { return std::make_unique<ASCDisplayOptions>(); }), true);

}  // namespace

ASCDisplayOptions::ASCDisplayOptions()
{
    // Files written before these names changed still load.
    meshRenderMode.deprecatedNames = {"render_mode"};
    labelSize.deprecatedNames = {"label_font_size"};
    setUp();
}

ASCDisplayOptions::ASCDisplayOptions(const ASCDisplayOptions& other)
    : DataComponentBase(other), SignalReceiver(other), styleSheets(other.styleSheets),
      meshRenderMode(other.meshRenderMode), meshMaterialMode(other.meshMaterialMode), showMeshes(other.showMeshes),
      keypointSize(other.keypointSize), showKeypoints(other.showKeypoints), showPlanes(other.showPlanes),
      imageDisplayMode(other.imageDisplayMode), showImages(other.showImages), showPointClouds(other.showPointClouds),
      pointCloudMaterialMode(other.pointCloudMaterialMode), showGraphs(other.showGraphs),
      graphRenderMode(other.graphRenderMode), labelSize(other.labelSize)
{
    for (ParameterBase* parameter : parameterMembers())
        parameter->setParentFromCopy(this);
    setUp();
}

ASCDisplayOptions& ASCDisplayOptions::operator=(const ASCDisplayOptions& other)
{
    DataComponentBase::operator=(other);
    return *this;
}

std::vector<ParameterBase*> ASCDisplayOptions::parameterMembers()
{
    return {&styleSheets, &meshRenderMode, &meshMaterialMode, &showMeshes, &keypointSize,
            &showKeypoints, &showPlanes, &imageDisplayMode, &showImages, &showPointClouds,
            &pointCloudMaterialMode, &showGraphs, &graphRenderMode, &labelSize};
}

void ASCDisplayOptions::setUp()
{
    styleSheets.signalChanged.connect(this, [this](const ParameterBase*) { m_cascade.reset(); });
}

std::unique_ptr<DataComponentBase> ASCDisplayOptions::clone() const
{
    return std::make_unique<ASCDisplayOptions>(*this);
}

void ASCDisplayOptions::addStyleSheet(StyleSheet sheet, const std::optional<std::string>& selectorText)
{
    ensureRule(sheet, selectorText);
    styleSheets.append(std::move(sheet));
}

StyleSheet& ASCDisplayOptions::getOrAppendStyleSheet(const std::string& name,
                                                     const std::optional<std::string>& selectorText)
{
    StyleSheet* sheet = nullptr;
    for (StyleSheet& held : styleSheets)
        if (held.name.value() == name) {
            sheet = &held;
            break;
        }
    if (!sheet)
        sheet = &styleSheets.append(StyleSheet(name));
    ensureRule(*sheet, selectorText);
    return *sheet;
}

void ASCDisplayOptions::removeStyleSheetsByName(const std::string& name)
{
    styleSheets.removeIf([&](const StyleSheet& sheet) { return sheet.name.value() == name; });
}

Properties ASCDisplayOptions::resolve(const StyledObject& object) const
{
    // Held by a local share: a resolve never outlives the cascade it reads, even if a change
    // resets the cache meanwhile.
    std::shared_ptr<const StyleCascade> cascade = m_cascade;
    if (!cascade)
        m_cascade = cascade = std::make_shared<const StyleCascade>(styleSheets);
    return cascade->resolve(object);
}

ASCDisplayOptions* findDisplayOptions(const DataComponentList& components)
{
    for (const auto& component : components.components())
        if (typeid(*component) == typeid(ASCDisplayOptions))
            return static_cast<ASCDisplayOptions*>(component.get());
    return nullptr;
}

Properties resolveStyle(const AnatomicalStructureCollection& collection, const std::string& identifier,
                        ContentType kind, const std::string& key)
{
    const ASCDisplayOptions* options = findDisplayOptions(collection.components());
    if (!options)
        return Properties();
    const AnatomicalStructure* structure = collection.anatomicalStructureByIdentifier(identifier);
    const StyledObject object{identifier, kind, key, structure ? attributesOf(*structure, kind, key) : nullptr};
    return options->resolve(object);
}

}  // namespace corvaxis
