// Selector texts of style sheets. A text is parsed as a list and as one element; what parses has
// a canonical text that parses to an equal selector with the same canonical text, and matching
// it against objects of every kind (with and without attributes) ends.

#include "../../../FuzzSupport.h"

#include "corvaxis/anatomy/styling/Selector.h"

#include <string_view>

using namespace corvaxis;
using namespace corvaxis::AnatomyPlugin;

namespace {

const std::vector<StyledObject>& sampleObjects()
{
    static const Properties attributes = [] {
        Properties made;
        made.setParam("class", std::string("left  organ"));
        made.setParam("side", std::string("left"));
        made.setParam("visible", true);
        made.setParam("rank", 3);
        return made;
    }();
    static const std::vector<StyledObject> objects = [] {
        std::vector<StyledObject> made;
        for (const ContentType kind : {ContentType::AnatomicalStructure, ContentType::Keypoint, ContentType::Plane,
                                       ContentType::Image, ContentType::Mesh, ContentType::PointCloud,
                                       ContentType::Graph}) {
            const std::string key = kind == ContentType::AnatomicalStructure ? "" : "tip.left";
            made.push_back({"liver.segment-4", kind, key, nullptr});
            made.push_back({"liver.segment-4", kind, key, &attributes});
        }
        return made;
    }();
    return objects;
}

void checkCanonicalText(const Selector& selector)
{
    const std::string canonical = selector.str();
    const std::optional<Selector> again = Selector::parse(canonical);
    if (!again || again->elements != selector.elements || again->str() != canonical)
        fuzz::fault(("the canonical text does not parse to the same selector: " + canonical).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<Selector> selector = Selector::parse(text);
    if (selector) {
        if (selector->elements.empty() || selector->source() != text)
            fuzz::fault("a parsed selector lost its elements or its source text");
        checkCanonicalText(*selector);
        for (const StyledObject& object : sampleObjects())
            selector->matchSpecificity(object);
    }
    const std::optional<SelectorElem> element = SelectorElem::parse(text);
    if (element.has_value() != (selector && selector->elements.size() == 1))
        fuzz::fault("a single element parses differently from a list of one");
    if (element && *element != selector->elements.front())
        fuzz::fault("a single element parses to another element than a list of one");
    return 0;
}
