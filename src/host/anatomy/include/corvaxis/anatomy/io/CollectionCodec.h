#pragma once

namespace corvaxis::io {

/// Makes the collection kinds (GenericASC, AnatomicalStructureCollection) known to data files.
/// Loading the anatomy library does this already; calling it again changes nothing.
void registerCollectionCodecs();

}  // namespace corvaxis::io
