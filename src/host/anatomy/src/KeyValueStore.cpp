#include "corvaxis/anatomy/KeyValueStore.h"

namespace corvaxis {

template class KeyValueStore<Vec3>;
template class KeyValueStore<Vec4>;
template class KeyValueStore<SharedImageSet>;
template class KeyValueStore<Mesh>;
template class KeyValueStore<PointCloud>;
template class KeyValueStore<Graph>;

}  // namespace corvaxis
