#pragma once

#include "corvaxis/core/io/DataCodec.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace corvaxis::io {

/// The codecs of the core kinds and the core's component kinds, which every registry starts with.
std::vector<std::shared_ptr<const DataCodec>> coreCodecs();
std::map<std::string, ComponentFactory> coreComponents();

}  // namespace corvaxis::io
