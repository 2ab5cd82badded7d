#include "corvaxis/core/surface/SurfaceNet.h"
#include "corvaxis/core/Threads.h"

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

std::int32_t findRoot(std::vector<std::int32_t>& parent, std::int32_t v)
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
    std::vector<std::int32_t> joinedOf;     // net vertex number -> joined vertex
    Points positions;                       // per joined vertex
    std::vector<VertexRole> role;
    std::vector<std::int32_t> neighbourStart, neighbours;  // compressed rows
};

JoinedNets joinNets(const std::vector<SurfaceNet>& nets)
{
    JoinedNets joined;
    std::size_t total = 0;
    for (const SurfaceNet& net : nets) {
        joined.offset.push_back(total);
        total += static_cast<std::size_t>(net.vertices.rows());
    }

    // Vertices of two nets that cross the same edge of the same cube are one, as long as that
    // joins no two vertices of one net (which would pinch its surface).
    std::vector<std::int32_t> parent(total);
    std::iota(parent.begin(), parent.end(), 0);
    std::vector<std::pair<std::int64_t, std::int32_t>> contacts;
    for (std::size_t r = 0; r < nets.size(); ++r)
        for (const SurfaceNet::Contact& contact : nets[r].contacts)
            contacts.emplace_back(contact.key, static_cast<std::int32_t>(joined.offset[r]) + contact.vertex);
    std::sort(contacts.begin(), contacts.end());
    for (std::size_t i = 1; i < contacts.size(); ++i)
        if (contacts[i].first == contacts[i - 1].first)
            parent[static_cast<std::size_t>(findRoot(parent, contacts[i].second))] = findRoot(parent, contacts[i - 1].second);
    std::vector<std::int32_t> netOf(total);
    for (std::size_t r = 0; r < nets.size(); ++r)
        std::fill(netOf.begin() + static_cast<std::ptrdiff_t>(joined.offset[r]),
                  netOf.begin() + static_cast<std::ptrdiff_t>(joined.offset[r] + static_cast<std::size_t>(nets[r].vertices.rows())),
                  static_cast<std::int32_t>(r));
    // Only vertices with contacts can have been joined; a set holding two vertices of one net
    // is undone.
    std::vector<std::array<std::int32_t, 3>> rootNetVertex;
    for (const auto& [key, v] : contacts)
        rootNetVertex.push_back({findRoot(parent, v), netOf[static_cast<std::size_t>(v)], v});
    std::sort(rootNetVertex.begin(), rootNetVertex.end());
    rootNetVertex.erase(std::unique(rootNetVertex.begin(), rootNetVertex.end()), rootNetVertex.end());
    std::vector<bool> pinching(total, false);
    for (std::size_t i = 1; i < rootNetVertex.size(); ++i)
        if (rootNetVertex[i][0] == rootNetVertex[i - 1][0] && rootNetVertex[i][1] == rootNetVertex[i - 1][1])
            pinching[static_cast<std::size_t>(rootNetVertex[i][0])] = true;

    joined.joinedOf.assign(total, -1);
    std::vector<std::int32_t> joinedOfRoot(total, -1);
    std::vector<std::int32_t> members;
    for (std::int32_t v = 0; v < static_cast<std::int32_t>(total); ++v) {
        const std::int32_t root = findRoot(parent, v);
        const std::int32_t key = pinching[static_cast<std::size_t>(root)] ? v : root;
        std::int32_t& slot = joinedOfRoot[static_cast<std::size_t>(key)];
        if (slot < 0) {
            slot = static_cast<std::int32_t>(members.size());
            members.push_back(0);
        }
        joined.joinedOf[static_cast<std::size_t>(v)] = slot;
        ++members[static_cast<std::size_t>(slot)];
    }

    const std::size_t count = members.size();
    joined.positions = Points::Zero(static_cast<Eigen::Index>(count), 3);
    joined.role.assign(count, VertexRole::Free);
    for (std::size_t r = 0; r < nets.size(); ++r)
        for (Eigen::Index i = 0; i < nets[r].vertices.rows(); ++i) {
            const std::size_t v = joined.offset[r] + static_cast<std::size_t>(i);
            const auto j = static_cast<std::size_t>(joined.joinedOf[v]);
            joined.positions.row(static_cast<Eigen::Index>(j)) += nets[r].vertices.row(i) / static_cast<double>(members[j]);
            const std::int32_t across = nets[r].across[static_cast<std::size_t>(i)];
            if (across == SurfaceNet::severalRegions)
                joined.role[j] = VertexRole::Junction;
            else if (across != outsideRegion && joined.role[j] == VertexRole::Free)
                joined.role[j] = VertexRole::Shared;
        }

    // Neighbours along the polygons' sides. Each side of a closed net is walked once in each
    // direction, so the forward sides list every neighbour once per net.
    joined.neighbourStart.assign(count + 1, 0);
    const auto forEachSide = [&](auto&& visit) {
        for (std::size_t r = 0; r < nets.size(); ++r) {
            const SurfaceNet& net = nets[r];
            for (std::size_t p = 0; p < net.polygonCount(); ++p) {
                const auto begin = static_cast<std::size_t>(net.polygonStart[p]);
                const auto size = static_cast<std::size_t>(net.polygonStart[p + 1]) - begin;
                for (std::size_t k = 0; k < size; ++k)
                    visit(joined.joinedOf[joined.offset[r] + static_cast<std::size_t>(net.polygonVertices[begin + k])],
                          joined.joinedOf[joined.offset[r] +
                                          static_cast<std::size_t>(net.polygonVertices[begin + (k + 1) % size])]);
            }
        }
    };
    forEachSide([&](std::int32_t from, std::int32_t) { ++joined.neighbourStart[static_cast<std::size_t>(from) + 1]; });
    std::partial_sum(joined.neighbourStart.begin(), joined.neighbourStart.end(), joined.neighbourStart.begin());
    joined.neighbours.resize(static_cast<std::size_t>(joined.neighbourStart.back()));
    std::vector<std::int32_t> fill(joined.neighbourStart.begin(), joined.neighbourStart.end() - 1);
    forEachSide([&](std::int32_t from, std::int32_t to) {
        joined.neighbours[static_cast<std::size_t>(fill[static_cast<std::size_t>(from)]++)] = to;
    });

    // A junction line runs through a junction vertex when exactly two of its neighbours are on it.
    for (std::size_t v = 0; v < count; ++v) {
        if (joined.role[v] != VertexRole::Junction)
            continue;
        std::vector<std::int32_t> along;
        for (auto n = joined.neighbourStart[v]; n < joined.neighbourStart[v + 1]; ++n) {
            const std::int32_t neighbour = joined.neighbours[static_cast<std::size_t>(n)];
            const VertexRole role = joined.role[static_cast<std::size_t>(neighbour)];
            if ((role == VertexRole::Junction || role == VertexRole::Fixed) &&
                std::find(along.begin(), along.end(), neighbour) == along.end())
                along.push_back(neighbour);
        }
        if (along.size() != 2)
            joined.role[v] = VertexRole::Fixed;
    }
    return joined;
}

/// One Laplacian step: each vertex half way to the mean of its neighbours (junction vertices to
/// the mean of their neighbours on the junction line).
void relax(const JoinedNets& joined, const Points& from, Points& to)
{
    for (std::size_t v = 0; v < joined.role.size(); ++v) {
        const Eigen::Index row = static_cast<Eigen::Index>(v);
        const VertexRole role = joined.role[v];
        Vec3 sum = Vec3::Zero();
        int count = 0;
        if (role != VertexRole::Fixed)
            for (auto n = joined.neighbourStart[v]; n < joined.neighbourStart[v + 1]; ++n) {
                const std::int32_t neighbour = joined.neighbours[static_cast<std::size_t>(n)];
                if (role == VertexRole::Junction) {
                    const VertexRole other = joined.role[static_cast<std::size_t>(neighbour)];
                    if (other != VertexRole::Junction && other != VertexRole::Fixed)
                        continue;
                }
                sum += from.row(neighbour).transpose();
                ++count;
            }
        if (count == 0)
            to.row(row) = from.row(row);
        else
            to.row(row) = 0.5 * (from.row(row) + sum.transpose() / count);
    }
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
        corner[k] = joined.positions.row(joined.joinedOf[joined.offset[r] + static_cast<std::size_t>(net.polygonVertices[begin + k])])
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

Triangles triangulate(const SurfaceNet& net, const JoinedNets& joined, std::size_t r)
{
    Triangles faces(static_cast<Eigen::Index>(net.polygonVertices.size() - 2 * net.polygonCount()), 3);
    Eigen::Index row = 0;
    forEachTriangle(net, joined, r, [&](std::int32_t a, std::int32_t b, std::int32_t c) { faces.row(row++) << a, b, c; });
    return faces;
}

/// Moves net r's free vertices along their normals so that the net encloses its target volume.
/// The offset of one round is the one that would take a sphere of the net's volume to the target
/// (a linear step would overshoot far on a small shape that the smoothing shrank a lot); a few
/// rounds settle it.
void correctVolume(const std::vector<SurfaceNet>& nets, const std::vector<double>& targetVolumes, JoinedNets& joined,
                   std::size_t r)
{
    constexpr int maximumRounds = 8;
    constexpr double tolerance = 1e-4;  // of the target volume
    {
        const SurfaceNet& net = nets[r];
        const auto vertices = static_cast<std::size_t>(net.vertices.rows());
        const auto joinedRow = [&](std::size_t local) { return joined.joinedOf[joined.offset[r] + local]; };
        for (int round = 0; round < maximumRounds; ++round) {
            Points areaNormal = Points::Zero(static_cast<Eigen::Index>(vertices), 3);
            double sixfoldVolume = 0.0;
            forEachTriangle(net, joined, r, [&](std::int32_t first, std::int32_t second, std::int32_t third) {
                const Vec3 a = joined.positions.row(joinedRow(static_cast<std::size_t>(first))).transpose();
                const Vec3 b = joined.positions.row(joinedRow(static_cast<std::size_t>(second))).transpose();
                const Vec3 c = joined.positions.row(joinedRow(static_cast<std::size_t>(third))).transpose();
                const Vec3 cross = (b - a).cross(c - a);
                sixfoldVolume += a.dot(b.cross(c));
                for (const std::int32_t corner : {first, second, third})
                    areaNormal.row(corner) += cross.transpose();
            });
            const double volume = sixfoldVolume / 6.0;
            const double missing = targetVolumes[r] - volume;
            double rate = 0.0;  // volume gained per unit offset of the free vertices
            for (std::size_t i = 0; i < vertices; ++i)
                if (joined.role[static_cast<std::size_t>(joinedRow(i))] == VertexRole::Free)
                    rate += areaNormal.row(static_cast<Eigen::Index>(i)).norm() / 6.0;
            if (rate <= 0.0 || volume <= 0.0 || std::abs(missing) <= tolerance * targetVolumes[r])
                break;
            const double ratio = missing / volume;
            const double sphereFactor = std::abs(ratio) < 1e-8 ? 1.0 : 3.0 * (std::cbrt(1.0 + ratio) - 1.0) / ratio;
            const double offset = missing / rate * sphereFactor;
            for (std::size_t i = 0; i < vertices; ++i) {
                const auto j = joinedRow(i);
                const double length = areaNormal.row(static_cast<Eigen::Index>(i)).norm();
                if (joined.role[static_cast<std::size_t>(j)] == VertexRole::Free && length > 0.0)
                    joined.positions.row(j) += offset / length * areaNormal.row(static_cast<Eigen::Index>(i));
            }
        }
    }
}

/// Runs work(r) for every net on up to eight threads while the calling thread takes part. The
/// nets' free vertices are their own, so nets never write the same vertex.
void forEachNet(std::size_t count, const std::function<void(std::size_t)>& work)
{
    std::atomic<std::size_t> next{0};
    std::vector<std::exception_ptr> errors(count);
    const auto run = [&] {
        for (std::size_t r; (r = next++) < count;) {
            try {
                work(r);
            }
            catch (...) {
                errors[r] = std::current_exception();
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

}  // namespace

std::vector<TriangleSurface> smoothSurfaceNets(const std::vector<SurfaceNet>& nets,
                                               const std::vector<double>& targetVolumes,
                                               const SmoothingOptions& options,
                                               const std::function<bool(double)>& goOn)
{
    JoinedNets joined = joinNets(nets);
    Points next(joined.positions.rows(), 3);
    for (int step = 0; step < options.iterations; ++step) {
        if (!goOn(static_cast<double>(step) / (options.iterations + 1)))
            return {};
        relax(joined, joined.positions, next);
        joined.positions.swap(next);
    }
    if (!goOn(static_cast<double>(options.iterations) / (options.iterations + 1)))
        return {};
    forEachNet(nets.size(), [&](std::size_t r) { correctVolume(nets, targetVolumes, joined, r); });

    std::vector<TriangleSurface> surfaces(nets.size());
    forEachNet(nets.size(), [&](std::size_t r) {
        surfaces[r].faces = triangulate(nets[r], joined, r);
        surfaces[r].vertices.resize(nets[r].vertices.rows(), 3);
        for (Eigen::Index i = 0; i < nets[r].vertices.rows(); ++i)
            surfaces[r].vertices.row(i) = joined.positions.row(joined.joinedOf[joined.offset[r] + static_cast<std::size_t>(i)]);
    });
    return surfaces;
}

}  // namespace corvaxis::surface
