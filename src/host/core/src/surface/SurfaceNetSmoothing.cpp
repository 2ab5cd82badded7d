#include "corvaxis/core/surface/SurfaceNet.h"
#include "corvaxis/core/Threads.h"
#include "corvaxis/core/surface/ReportedWork.h"

#include "LargeBuffer.h"

#include <Eigen/Geometry>

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <array>
#include <cmath>
#include <cstddef>
#include <numeric>

namespace corvaxis::surface {

namespace {

/// How a vertex of the joined nets moves.
enum class VertexRole : std::uint8_t {
    Free,      // on one region's surface only: smoothed, and offset by the volume correction
    Shared,    // between two regions: smoothed, never offset
    Junction,  // on a line where three regions meet: smoothed along that line only
    Fixed,     // a junction vertex with other than two junction neighbours: stays
};

std::int32_t findRoot(LargeVector<std::int32_t>& parent, std::int32_t v)
{
    while (parent[static_cast<std::size_t>(v)] != v) {
        parent[static_cast<std::size_t>(v)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(v)])];
        v = parent[static_cast<std::size_t>(v)];
    }
    return v;
}

/// The joined vertices of all nets: each net vertex maps to one joined vertex, and vertices that
/// touching regions share map to the same one.
struct JoinedNets {
    std::vector<std::size_t> offset;        // first net vertex number of each net
    LargeVector<std::int32_t> joinedOf;     // net vertex number -> joined vertex
    LargeVector<double> positionValues;     // x, y, z per joined vertex
    std::vector<VertexRole> role;
    LargeVector<std::int32_t> neighbourStart, neighbours;  // compressed rows: whom each vertex is smoothed towards

    Eigen::Map<Points> positions() { return {positionValues.data(), static_cast<Eigen::Index>(role.size()), 3}; }
    Eigen::Map<const Points> positions() const
    {
        return {positionValues.data(), static_cast<Eigen::Index>(role.size()), 3};
    }
};

/// All nets' contacts, with vertex numbers counted on from net to net, sorted by key and in net
/// order within a key, in linear time: least significant digit first, the first pass reading the
/// nets' own lists.
LargeVector<SurfaceNet::Contact> sortedContacts(const std::vector<SurfaceNet>& nets, const std::vector<std::size_t>& offset)
{
    std::size_t count = 0;
    std::int64_t largest = 0;
    for (const SurfaceNet& net : nets) {
        count += net.contacts.size();
        for (const SurfaceNet::Contact& contact : net.contacts)
            largest = std::max(largest, contact.key);
    }
    int keyBits = 1;
    while (keyBits < 63 && (largest >> keyBits) != 0)
        ++keyBits;
    const int passes = (keyBits + 13) / 14;  // digits of at most 14 bits
    const int digitBits = (keyBits + passes - 1) / passes;
    const std::int64_t digitMask = (std::int64_t{1} << digitBits) - 1;
    LargeVector<SurfaceNet::Contact> sorted(count), from;
    std::vector<std::size_t> start(static_cast<std::size_t>(digitMask) + 2);
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = pass * digitBits;
        const auto digit = [&](const SurfaceNet::Contact& contact) {
            return static_cast<std::size_t>(contact.key >> shift & digitMask);
        };
        std::fill(start.begin(), start.end(), 0);
        if (pass == 0) {
            for (const SurfaceNet& net : nets)
                for (const SurfaceNet::Contact& contact : net.contacts)
                    ++start[digit(contact) + 1];
            std::partial_sum(start.begin(), start.end(), start.begin());
            for (std::size_t r = 0; r < nets.size(); ++r)
                for (const SurfaceNet::Contact& contact : nets[r].contacts)
                    sorted[start[digit(contact)]++] = {contact.key, static_cast<std::int32_t>(offset[r]) + contact.vertex};
            continue;
        }
        from.swap(sorted);
        sorted.resize(count);
        for (const SurfaceNet::Contact& contact : from)
            ++start[digit(contact) + 1];
        std::partial_sum(start.begin(), start.end(), start.begin());
        for (const SurfaceNet::Contact& contact : from)
            sorted[start[digit(contact)]++] = contact;
    }
    return sorted;
}

JoinedNets joinNets(const std::vector<SurfaceNet>& nets)
{
    JoinedNets joined;
    std::size_t total = 0;
    for (const SurfaceNet& net : nets) {
        joined.offset.push_back(total);
        total += static_cast<std::size_t>(net.vertices.rows());
    }

    // Vertices of two nets that cross the same edge of the same cube are one. Each such key comes
    // from exactly the two nets on either side of the edge.
    LargeVector<std::int32_t> parent(total);
    std::iota(parent.begin(), parent.end(), 0);
    {
        const LargeVector<SurfaceNet::Contact> contacts = sortedContacts(nets, joined.offset);
        for (std::size_t i = 1; i < contacts.size(); ++i)
            if (contacts[i].key == contacts[i - 1].key)
                parent[static_cast<std::size_t>(findRoot(parent, contacts[i].vertex))] = findRoot(parent, contacts[i - 1].vertex);
    }
    // A set holding two vertices of one net would pinch that net's surface, so its vertices stay
    // apart. Vertices are numbered net by net, so a set's members from one net come one after
    // another.
    LargeVector<std::int32_t> lastNetOfRoot(total, -1);
    LargeVector<std::uint8_t> pinching(total, 0);
    for (std::size_t r = 0; r < nets.size(); ++r)
        for (std::size_t v = joined.offset[r]; v < joined.offset[r] + static_cast<std::size_t>(nets[r].vertices.rows()); ++v) {
            const auto root = static_cast<std::size_t>(parent[v] = findRoot(parent, static_cast<std::int32_t>(v)));
            if (lastNetOfRoot[root] == static_cast<std::int32_t>(r))
                pinching[root] = 1;
            lastNetOfRoot[root] = static_cast<std::int32_t>(r);
        }

    joined.joinedOf.resize(total);
    LargeVector<std::int32_t>& joinedOfRoot = lastNetOfRoot;  // no longer needed as such
    std::fill(joinedOfRoot.begin(), joinedOfRoot.end(), -1);
    LargeVector<std::int32_t> members;
    members.reserve(total);
    for (std::size_t v = 0; v < total; ++v) {
        const auto root = static_cast<std::size_t>(parent[v]);
        std::int32_t& slot = joinedOfRoot[pinching[root] ? v : root];
        if (slot < 0) {
            slot = static_cast<std::int32_t>(members.size());
            members.push_back(0);
        }
        joined.joinedOf[v] = slot;
        ++members[static_cast<std::size_t>(slot)];
    }

    const std::size_t count = members.size();
    joined.positionValues.assign(3 * count, 0.0);
    joined.role.assign(count, VertexRole::Free);
    for (std::size_t r = 0; r < nets.size(); ++r) {
        const SurfaceNet& net = nets[r];
        const std::int32_t* joinedOf = joined.joinedOf.data() + joined.offset[r];
        for (Eigen::Index i = 0; i < net.vertices.rows(); ++i) {
            const auto j = static_cast<std::size_t>(joinedOf[i]);
            const double share = 1.0 / static_cast<double>(members[j]);
            for (Eigen::Index axis = 0; axis < 3; ++axis)
                joined.positionValues[3 * j + static_cast<std::size_t>(axis)] += net.vertices(i, axis) * share;
            const std::int32_t across = net.across[static_cast<std::size_t>(i)];
            if (across == SurfaceNet::severalRegions)
                joined.role[j] = VertexRole::Junction;
            else if (across != outsideRegion && joined.role[j] == VertexRole::Free)
                joined.role[j] = VertexRole::Shared;
        }
    }

    // Neighbours along the polygons' sides. Each side of a closed net is walked once in each
    // direction, so the forward sides list every neighbour once per net.
    joined.neighbourStart.assign(count + 1, 0);
    const auto forEachSide = [&](auto&& visit) {
        for (std::size_t r = 0; r < nets.size(); ++r) {
            const SurfaceNet& net = nets[r];
            const std::int32_t* joinedOf = joined.joinedOf.data() + joined.offset[r];
            for (std::size_t p = 0; p < net.polygonCount(); ++p) {
                const auto begin = static_cast<std::size_t>(net.polygonStart[p]);
                const auto end = static_cast<std::size_t>(net.polygonStart[p + 1]);
                std::int32_t from = joinedOf[net.polygonVertices[end - 1]];
                for (std::size_t k = begin; k < end; ++k) {
                    const std::int32_t to = joinedOf[net.polygonVertices[k]];
                    visit(from, to);
                    from = to;
                }
            }
        }
    };
    forEachSide([&](std::int32_t from, std::int32_t) { ++joined.neighbourStart[static_cast<std::size_t>(from) + 1]; });
    std::partial_sum(joined.neighbourStart.begin(), joined.neighbourStart.end(), joined.neighbourStart.begin());
    joined.neighbours.resize(static_cast<std::size_t>(joined.neighbourStart.back()));
    LargeVector<std::int32_t> fill(joined.neighbourStart.begin(), joined.neighbourStart.end() - 1);
    forEachSide([&](std::int32_t from, std::int32_t to) {
        joined.neighbours[static_cast<std::size_t>(fill[static_cast<std::size_t>(from)]++)] = to;
    });

    // A junction line runs through a junction vertex when exactly two of its neighbours are on it.
    const auto onJunctionLine = [&](std::int32_t v) {
        const VertexRole role = joined.role[static_cast<std::size_t>(v)];
        return role == VertexRole::Junction || role == VertexRole::Fixed;
    };
    for (std::size_t v = 0; v < count; ++v) {
        if (joined.role[v] != VertexRole::Junction)
            continue;
        std::vector<std::int32_t> along;
        for (auto n = joined.neighbourStart[v]; n < joined.neighbourStart[v + 1]; ++n) {
            const std::int32_t neighbour = joined.neighbours[static_cast<std::size_t>(n)];
            if (onJunctionLine(neighbour) && std::find(along.begin(), along.end(), neighbour) == along.end())
                along.push_back(neighbour);
        }
        if (along.size() != 2)
            joined.role[v] = VertexRole::Fixed;
    }

    // From here on the rows hold the neighbours a vertex is smoothed towards: none for a fixed
    // vertex, those on its line for a junction vertex.
    std::size_t kept = 0;
    std::int32_t rowStart = 0;
    for (std::size_t v = 0; v < count; ++v) {
        const std::int32_t rowEnd = joined.neighbourStart[v + 1];
        joined.neighbourStart[v] = static_cast<std::int32_t>(kept);
        if (joined.role[v] != VertexRole::Fixed)
            for (auto n = rowStart; n < rowEnd; ++n) {
                const std::int32_t neighbour = joined.neighbours[static_cast<std::size_t>(n)];
                if (joined.role[v] != VertexRole::Junction || onJunctionLine(neighbour))
                    joined.neighbours[kept++] = neighbour;
            }
        rowStart = rowEnd;
    }
    joined.neighbourStart[count] = static_cast<std::int32_t>(kept);
    joined.neighbours.resize(kept);
    return joined;
}

/// Runs work(i) for i in [0, count) on up to eight threads while the calling thread takes part.
void parallelFor(std::size_t count, const std::function<void(std::size_t)>& work)
{
    std::atomic<std::size_t> next{0};
    std::vector<std::exception_ptr> errors(count);
    const auto run = [&] {
        for (std::size_t i; (i = next++) < count;) {
            try {
                work(i);
            }
            catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    const std::size_t helpers =
        std::min<std::size_t>(count, static_cast<std::size_t>(std::clamp(computingThreads(), 1, 8))) - (count > 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < helpers; ++i)
        threads.emplace_back(run);
    run();
    for (auto& thread : threads)
        thread.join();
    for (const auto& error : errors)
        if (error)
            std::rethrow_exception(error);
}

/// One Laplacian step: each vertex half way to the mean of its smoothing neighbours. Each vertex
/// depends on `from` alone, so the vertices are shared among threads in blocks.
void relax(const JoinedNets& joined, const double* from, double* to)
{
    constexpr std::size_t block = 16384;
    const std::size_t count = joined.role.size();
    parallelFor((count + block - 1) / block, [&](std::size_t b) {
        for (std::size_t v = b * block; v < std::min(count, (b + 1) * block); ++v) {
            const auto begin = joined.neighbourStart[v], end = joined.neighbourStart[v + 1];
            if (begin == end) {
                std::copy_n(from + 3 * v, 3, to + 3 * v);
                continue;
            }
            double sum[3] = {0.0, 0.0, 0.0};
            for (auto n = begin; n < end; ++n) {
                const double* neighbour = from + 3 * static_cast<std::size_t>(joined.neighbours[static_cast<std::size_t>(n)]);
                for (std::size_t axis = 0; axis < 3; ++axis)
                    sum[axis] += neighbour[axis];
            }
            for (std::size_t axis = 0; axis < 3; ++axis)
                to[3 * v + axis] = 0.5 * (from[3 * v + axis] + sum[axis] / (end - begin));
        }
    });
}

/// Where polygon p of a net is split into a fan: a quadrilateral along its shorter diagonal (fan
/// from corner 0 for a-c, 1 for b-d), or along the other one where that would leave a triangle
/// without area; a larger polygon (one with a side middle) from its first side middle.
std::size_t fanApex(const SurfaceNet& net, const JoinedNets& joined, std::size_t r, std::size_t p)
{
    const auto begin = static_cast<std::size_t>(net.polygonStart[p]);
    const auto size = static_cast<std::size_t>(net.polygonStart[p + 1]) - begin;
    if (size != 4) {
        for (std::size_t k = 0; k < size; ++k)
            if (net.sideMiddle[static_cast<std::size_t>(net.polygonVertices[begin + k])])
                return k;
        return 0;
    }
    std::array<Vec3, 4> corner;
    for (std::size_t k = 0; k < 4; ++k)
        corner[k] = joined.positions().row(joined.joinedOf[joined.offset[r] + static_cast<std::size_t>(net.polygonVertices[begin + k])])
                        .transpose();
    const auto area = [&](std::size_t a, std::size_t b, std::size_t c) {
        return (corner[b] - corner[a]).cross(corner[c] - corner[a]).norm();
    };
    const double ac = (corner[0] - corner[2]).squaredNorm(), bd = (corner[1] - corner[3]).squaredNorm();
    const double tiny = 1e-9 * (ac + bd);
    // Diagonals equal but for rounding (a square cell) split the same way wherever the image lies
    // in the world, so that a label map moved rigidly gives its surface moved rigidly.
    bool acrossAC = ac <= bd + tiny;
    if (acrossAC && (area(0, 1, 2) <= tiny || area(0, 2, 3) <= tiny))
        acrossAC = false;
    else if (!acrossAC && (area(0, 1, 3) <= tiny || area(1, 2, 3) <= tiny))
        acrossAC = true;
    return acrossAC ? 0 : 1;
}

/// Calls visit(a, b, c) for the triangles of each polygon of net r, as fanApex splits them.
template <typename Visit>
void forEachTriangle(const SurfaceNet& net, const JoinedNets& joined, std::size_t r, Visit&& visit)
{
    for (std::size_t p = 0; p < net.polygonCount(); ++p) {
        const auto begin = static_cast<std::size_t>(net.polygonStart[p]);
        const auto size = static_cast<std::size_t>(net.polygonStart[p + 1]) - begin;
        const std::size_t apex = fanApex(net, joined, r, p);
        const auto vertex = [&](std::size_t k) { return net.polygonVertices[begin + (apex + k) % size]; };
        for (std::size_t k = 1; k + 1 < size; ++k)
            visit(vertex(0), vertex(k), vertex(k + 1));
    }
}

void triangulate(const SurfaceNet& net, const JoinedNets& joined, std::size_t r, Triangles& faces)
{
    faces.resize(static_cast<Eigen::Index>(net.polygonVertices.size() - 2 * net.polygonCount()), 3);
    Eigen::Index row = 0;
    forEachTriangle(net, joined, r, [&](std::int32_t a, std::int32_t b, std::int32_t c) { faces.row(row++) << a, b, c; });
}

/// Moves net r's free vertices along their normals so that it encloses its target volume, and
/// returns its triangles as they split at the final positions. The offset of one round is the
/// one that would take a sphere of the net's volume to the target (a linear step would overshoot
/// far on a small shape that the smoothing shrank a lot); a few rounds settle it. Each round
/// splits the net again, since on a small shape the offset changes which diagonals are shorter.
Triangles correctVolume(const SurfaceNet& net, std::size_t r, double targetVolume, JoinedNets& joined,
                        const std::function<void(double)>& hook)
{
    Triangles faces;
    constexpr int maximumRounds = 8;
    constexpr double tolerance = 1e-4;  // of the target volume
    const std::int32_t* joinedOf = joined.joinedOf.data() + joined.offset[r];
    const auto vertices = static_cast<std::size_t>(net.vertices.rows());
    LargeVector<double> areaNormalValues(3 * vertices);
    Eigen::Map<Points> areaNormal(areaNormalValues.data(), static_cast<Eigen::Index>(vertices), 3);
    for (int round = 0; round < maximumRounds; ++round) {
        hook(static_cast<double>(round) / maximumRounds);
        triangulate(net, joined, r, faces);
        areaNormal.setZero();
        double sixfoldVolume = 0.0;
        for (Eigen::Index f = 0; f < faces.rows(); ++f) {
            const Vec3 a = joined.positions().row(joinedOf[faces(f, 0)]).transpose();
            const Vec3 b = joined.positions().row(joinedOf[faces(f, 1)]).transpose();
            const Vec3 c = joined.positions().row(joinedOf[faces(f, 2)]).transpose();
            const Vec3 cross = (b - a).cross(c - a);
            sixfoldVolume += a.dot(b.cross(c));
            for (Eigen::Index k = 0; k < 3; ++k)
                areaNormal.row(faces(f, k)) += cross.transpose();
        }
        const double volume = sixfoldVolume / 6.0;
        const double missing = targetVolume - volume;
        double rate = 0.0;  // volume gained per unit offset of the free vertices
        for (std::size_t i = 0; i < vertices; ++i)
            if (joined.role[static_cast<std::size_t>(joinedOf[i])] == VertexRole::Free)
                rate += areaNormal.row(static_cast<Eigen::Index>(i)).norm() / 6.0;
        if (rate <= 0.0 || volume <= 0.0 || std::abs(missing) <= tolerance * targetVolume)
            return faces;
        const double ratio = missing / volume;
        const double sphereFactor = std::abs(ratio) < 1e-8 ? 1.0 : 3.0 * (std::cbrt(1.0 + ratio) - 1.0) / ratio;
        const double offset = missing / rate * sphereFactor;
        for (std::size_t i = 0; i < vertices; ++i) {
            const auto j = joinedOf[i];
            const double length = areaNormal.row(static_cast<Eigen::Index>(i)).norm();
            if (joined.role[static_cast<std::size_t>(j)] == VertexRole::Free && length > 0.0)
                joined.positions().row(j) += offset / length * areaNormal.row(static_cast<Eigen::Index>(i));
        }
    }
    triangulate(net, joined, r, faces);
    return faces;
}

}  // namespace

std::vector<TriangleSurface> smoothSurfaceNets(const std::vector<SurfaceNet>& nets,
                                               const std::vector<double>& targetVolumes,
                                               const SmoothingOptions& options,
                                               const std::function<bool(double)>& goOn)
{
    // Progress: joining counts as two smoothing steps, the volume correction as one.
    const double steps = options.iterations + 3.0;
    if (!goOn(0.0))
        return {};
    JoinedNets joined = joinNets(nets);
    LargeVector<double> next(joined.positionValues.size());
    for (int step = 0; step < options.iterations; ++step) {
        if (!goOn((2.0 + step) / steps))
            return {};
        relax(joined, joined.positionValues.data(), next.data());
        joined.positionValues.swap(next);
    }
    // A net's free vertices are its own, so nets never write the same vertex. The calling thread
    // reports while the nets are worked on, so that one large net does not hold back the news.
    std::vector<TriangleSurface> surfaces(nets.size());
    std::vector<std::size_t> order(nets.size());
    std::vector<double> weights(nets.size());
    for (std::size_t r = 0; r < nets.size(); ++r) {
        order[r] = r;
        weights[r] = static_cast<double>(nets[r].vertices.rows());
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return weights[a] > weights[b]; });
    std::vector<std::exception_ptr> errors;
    const auto finishNet = [&](std::size_t r, const std::function<void(double)>& hook) {
        const std::int32_t* joinedOf = joined.joinedOf.data() + joined.offset[r];
        const auto vertices = static_cast<std::size_t>(nets[r].vertices.rows());
        surfaces[r].faces = correctVolume(nets[r], r, targetVolumes[r], joined, hook);
        surfaces[r].vertices.resize(nets[r].vertices.rows(), 3);
        for (std::size_t i = 0; i < vertices; ++i)
            surfaces[r].vertices.row(static_cast<Eigen::Index>(i)) = joined.positions().row(joinedOf[i]);
    };
    const auto report = [&](double fraction) { return goOn((2.0 + options.iterations + fraction) / steps); };
    if (!runReportingProgress(order, weights, static_cast<std::size_t>(std::clamp(computingThreads(), 1, 8)), finishNet,
                              report, errors))
        return {};
    for (const auto& error : errors)
        if (error)
            std::rethrow_exception(error);
    return surfaces;
}

}  // namespace corvaxis::surface
