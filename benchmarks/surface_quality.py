"""Label-map surfaces against the true surfaces of analytic shapes, and against peers run in the
same process on the same maps.

Shapes, voxelised by centre sampling (a voxel belongs to a shape when its centre does):
an ellipsoid 30/22/15 mm in an arbitrary rotation at 1 mm and at 0.8 x 0.8 x 2.5 mm, a torus
R 25 r 6 mm, a sphere r 4 mm, and two half-ellipsoids touching along an oblique plane (two labels).
Distances and normals are measured against the exact surfaces (nearest points found by solving
each shape's equation, not by sampling).

Per shape and method: mean, RMS and largest vertex distance (mm), mean face-normal error (degrees),
volume error (%), triangles, time; then the checks of the default corvaxis surface: watertight,
outward, the Euler number and shells of marching cubes, no degenerate triangle, at most 1.05 times
the marching-cubes triangles, one identical interface between touching labels.

Peers: scikit-image marching cubes + Taubin smoothing (trimesh, 50 iterations); 3D Slicer's
default pipeline (VTK discrete flying edges + windowed sinc, pass band 0.01, 20 iterations);
VTK SurfaceNets3D with its default constrained smoothing.

Run: python benchmarks/surface_quality.py
"""

import time

import numpy as np

from timing import best_of


def rotation(seed):
    """A fixed arbitrary rotation."""
    rng = np.random.default_rng(seed)
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    return q if np.linalg.det(q) > 0 else -q


class Ellipsoid:
    """Local frame: x = R^T (p - centre); the ellipsoid sum (x_i / a_i)^2 = 1."""

    def __init__(self, radii, centre, turn):
        self.radii = np.asarray(radii, float)
        self.centre = np.asarray(centre, float)
        self.turn = turn

    def inside(self, points):
        local = (points - self.centre) @ self.turn
        return ((local / self.radii) ** 2).sum(axis=1) <= 1.0

    def volume(self):
        return 4.0 / 3.0 * np.pi * np.prod(self.radii)

    def nearest(self, points):
        """Nearest surface points and outward normals there (in world)."""
        local = (points - self.centre) @ self.turn
        sign = np.where(local < 0, -1.0, 1.0)
        y = np.abs(local)
        a2 = self.radii**2
        # The root t of sum (a_i y_i / (t + a_i^2))^2 = 1 with t > -min a_i^2, by bisection.
        low = np.full(len(y), -a2.min() + 1e-12)
        high = np.full(len(y), np.linalg.norm(y, axis=1) * self.radii.max() + 1.0)
        for _ in range(80):
            t = 0.5 * (low + high)
            value = ((self.radii * y / (t[:, None] + a2)) ** 2).sum(axis=1) - 1.0
            low = np.where(value > 0, t, low)
            high = np.where(value > 0, high, t)
        t = 0.5 * (low + high)
        x = a2 * y / (t[:, None] + a2) * sign
        normal = x / a2
        normal /= np.linalg.norm(normal, axis=1, keepdims=True)
        return x @ self.turn.T + self.centre, normal @ self.turn.T


class Torus:
    def __init__(self, major, minor, centre, turn):
        self.major, self.minor = major, minor
        self.centre = np.asarray(centre, float)
        self.turn = turn

    def inside(self, points):
        local = (points - self.centre) @ self.turn
        ring = np.hypot(local[:, 0], local[:, 1]) - self.major
        return ring**2 + local[:, 2] ** 2 <= self.minor**2

    def volume(self):
        return 2.0 * np.pi**2 * self.major * self.minor**2

    def nearest(self, points):
        local = (points - self.centre) @ self.turn
        planar = np.hypot(local[:, 0], local[:, 1])
        radial = local[:, :2] / np.maximum(planar, 1e-300)[:, None]
        tube_centre = np.column_stack([radial * self.major, np.zeros(len(local))])
        offset = local - tube_centre
        normal = offset / np.linalg.norm(offset, axis=1, keepdims=True)
        x = tube_centre + self.minor * normal
        return x @ self.turn.T + self.centre, normal @ self.turn.T


class Sphere(Ellipsoid):
    def __init__(self, radius, centre):
        super().__init__((radius, radius, radius), centre, np.eye(3))

    def nearest(self, points):
        offset = points - self.centre
        normal = offset / np.linalg.norm(offset, axis=1, keepdims=True)
        return self.centre + self.radii[0] * normal, normal


class HalfEllipsoid:
    """The part of an ellipsoid on one side of a plane through its centre."""

    def __init__(self, ellipsoid, plane_normal, side):
        self.ellipsoid = ellipsoid
        self.normal = side * np.asarray(plane_normal, float) / np.linalg.norm(plane_normal)

    def inside(self, points):
        return self.ellipsoid.inside(points) & ((points - self.ellipsoid.centre) @ self.normal > 0)

    def volume(self):
        return self.ellipsoid.volume() / 2.0

    def nearest(self, points):
        centre = self.ellipsoid.centre
        curved, curved_normal = self.ellipsoid.nearest(points)
        curved_ok = (curved - centre) @ self.normal >= 0
        # The flat cap, and its rim where the point's projection leaves the cap.
        height = (points - centre) @ self.normal
        projected = points - height[:, None] * self.normal
        on_cap = self.ellipsoid.inside(projected)
        rim, _ = self.ellipsoid.nearest(projected)
        rim -= ((rim - centre) @ self.normal)[:, None] * self.normal
        cap = np.where(on_cap[:, None], projected, rim)
        cap_normal = np.broadcast_to(-self.normal, points.shape)
        use_curved = curved_ok & (
            np.linalg.norm(points - curved, axis=1) <= np.linalg.norm(points - cap, axis=1))
        return (np.where(use_curved[:, None], curved, cap),
                np.where(use_curved[:, None], curved_normal, cap_normal))


def voxelise(shapes, spacing, margin=3.0):
    """The (z, y, x) label volume of shapes 1..n sampled at the voxel centres index * spacing."""
    spacing = np.asarray(spacing, float)
    extent = max(np.max(np.abs(s.centre if hasattr(s, "centre") else s.ellipsoid.centre)) for s in shapes)
    size = np.ceil((2 * extent) / spacing).astype(int) + 1
    z, y, x = np.meshgrid(*(np.arange(n) * s for n, s in zip(size[::-1], spacing[::-1])), indexing="ij")
    points = np.column_stack([x.ravel(), y.ravel(), z.ravel()])
    labels = np.zeros(len(points), np.uint8)
    for label, shape in enumerate(shapes, 1):
        labels[shape.inside(points)] = label
    return labels.reshape(z.shape)


def shapes():
    """(name, spacing, shapes) of the benchmark."""
    turn = rotation(5)
    ellipsoid = Ellipsoid((30, 22, 15), (36.3, 35.6, 35.2), turn)
    plane = np.array([0.7, 0.4, 0.59])
    return [
        ("ellipsoid 1 mm", (1.0, 1.0, 1.0), [ellipsoid]),
        ("ellipsoid 0.8x0.8x2.5 mm", (0.8, 0.8, 2.5), [ellipsoid]),
        ("torus R 25 r 6 mm", (1.0, 1.0, 1.0), [Torus(25.0, 6.0, (35.4, 35.7, 35.1), rotation(7))]),
        ("sphere r 4 mm", (1.0, 1.0, 1.0), [Sphere(4.0, (8.3, 8.6, 8.2))]),
        ("half-ellipsoids touching", (1.0, 1.0, 1.0),
         [HalfEllipsoid(ellipsoid, plane, 1), HalfEllipsoid(ellipsoid, plane, -1)]),
    ]


# --- surfaces -------------------------------------------------------------------------------------


def corvaxis_surfaces(volume, spacing, labels, **parameters):
    import corvaxis
    import corvaxis.anatomy as anatomy

    images = corvaxis.SharedImageSet(volume, spacing=spacing, modality=corvaxis.Modality.LABEL)
    names = {label: f"label {label}" for label in labels}
    if parameters:
        algorithm = anatomy.GenericASCFromMultiLabelMap(images, names)
        for name, value in parameters.items():
            setattr(algorithm, f"p_{name}", value)
        asc = algorithm()
    else:
        asc = anatomy.generic_asc_from_label_map(images, names)
    result = {}
    for label in labels:
        mesh = asc.anatomical_structure(f"label {label}").meshes["surface"]
        result[label] = (np.asarray(mesh.vertices), np.asarray(mesh.faces))
    return result


def oriented(vertices, faces):
    return (vertices, faces) if signed_volume(vertices, faces) > 0 else (vertices, faces[:, ::-1].copy())


def marching_cubes_surfaces(volume, spacing, labels):
    from skimage.measure import marching_cubes

    result = {}
    for label in labels:
        mask = np.pad(volume == label, 1).astype(np.float32)
        vertices, faces, _, _ = marching_cubes(mask, 0.5, spacing=tuple(spacing[::-1]))
        vertices = vertices[:, ::-1] - np.asarray(spacing)
        result[label] = oriented(vertices, faces)
    return result


def taubin_surfaces(volume, spacing, labels):
    import trimesh

    result = {}
    for label, (vertices, faces) in marching_cubes_surfaces(volume, spacing, labels).items():
        mesh = trimesh.Trimesh(vertices, faces, process=False)
        trimesh.smoothing.filter_taubin(mesh, iterations=50)
        result[label] = (np.asarray(mesh.vertices), np.asarray(mesh.faces))
    return result


def vtk_image(volume, spacing):
    import pyvista

    image = pyvista.ImageData(dimensions=volume.shape[::-1], spacing=spacing)
    image.point_data["labels"] = volume.ravel()  # (z, y, x) C order is x fastest
    return image


def polydata_arrays(polydata):
    import pyvista

    mesh = pyvista.wrap(polydata).triangulate()
    faces = mesh.faces.reshape(-1, 4)[:, 1:]
    return oriented(np.asarray(mesh.points, float), faces)


def slicer_surfaces(volume, spacing, labels):
    """3D Slicer's default closed-surface conversion: discrete flying edges, then windowed sinc."""
    import vtk

    image = vtk_image(volume, spacing)
    result = {}
    for label in labels:
        contour = vtk.vtkDiscreteFlyingEdges3D()
        contour.SetInputData(image)
        contour.SetValue(0, label)
        contour.ComputeGradientsOff()
        contour.ComputeNormalsOff()
        contour.ComputeScalarsOff()
        smoother = vtk.vtkWindowedSincPolyDataFilter()
        smoother.SetInputConnection(contour.GetOutputPort())
        smoother.SetNumberOfIterations(20)
        smoother.SetPassBand(0.01)
        smoother.BoundarySmoothingOff()
        smoother.FeatureEdgeSmoothingOff()
        smoother.NonManifoldSmoothingOn()
        smoother.NormalizeCoordinatesOn()
        smoother.Update()
        result[label] = polydata_arrays(smoother.GetOutput())
    return result


def surface_nets_surfaces(volume, spacing, labels):
    import vtk

    image = vtk_image(volume, spacing)
    nets = vtk.vtkSurfaceNets3D()
    nets.SetInputData(image)
    for index, label in enumerate(labels):
        nets.SetValue(index, label)
    nets.SetOutputMeshTypeToTriangles()
    nets.Update()
    output = nets.GetOutput()
    import pyvista

    mesh = pyvista.wrap(output)
    boundary = np.asarray(mesh.cell_data["BoundaryLabels"])
    faces = mesh.faces.reshape(-1, 4)[:, 1:]
    result = {}
    for label in labels:
        # Each face lies between two regions; it belongs to both, facing out of the first.
        first = boundary[:, 0] == label
        second = boundary[:, 1] == label
        chosen = np.concatenate([faces[first], faces[second][:, ::-1]])
        used, remapped = np.unique(chosen, return_inverse=True)
        result[label] = oriented(np.asarray(mesh.points, float)[used], remapped.reshape(-1, 3))
    return result


def surface_nets_time(volume, spacing, labels):
    return best_of(3, lambda: surface_nets_surfaces(volume, spacing, labels))


# --- measures -------------------------------------------------------------------------------------


def signed_volume(vertices, faces):
    a, b, c = (vertices[faces[:, k]] for k in range(3))
    return np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6.0


def measure(vertices, faces, shape):
    nearest, _ = shape.nearest(vertices)
    distance = np.linalg.norm(vertices - nearest, axis=1)
    a, b, c = (vertices[faces[:, k]] for k in range(3))
    cross = np.cross(b - a, c - a)
    area = np.linalg.norm(cross, axis=1)
    _, true_normal = shape.nearest((a + b + c) / 3.0)
    cosine = np.einsum("ij,ij->i", cross / np.maximum(area, 1e-300)[:, None], true_normal)
    return {
        "mean": distance.mean(),
        "rms": np.sqrt((distance**2).mean()),
        "max": distance.max(),
        "normal": np.degrees(np.arccos(np.clip(cosine, -1, 1))).mean(),
        "volume": 100.0 * (signed_volume(vertices, faces) / shape.volume() - 1.0),
        "triangles": len(faces),
        "smallest_area": area.min(),
    }


def topology(vertices, faces):
    """(closed and consistently oriented, Euler number, shells)."""
    edges = np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]])
    directed = set(map(tuple, edges))
    closed = len(directed) == len(edges) and all((b, a) in directed for a, b in directed)
    used = np.unique(faces)
    euler = len(used) - len(edges) // 2 + len(faces)
    parent = np.arange(len(vertices))

    def find(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for a, b in edges:
        ra, rb = find(a), find(b)
        if ra != rb:
            parent[ra] = rb
    shells = len({find(v) for v in used})
    return closed, euler, shells


def interface_identical(surfaces, volume):
    """Whether the vertices that two touching labels share are the same points in both meshes:
    every vertex of label 1 lying within a hundredth of a voxel of a vertex of label 2 coincides
    exactly, and the interface has vertices at all."""
    from scipy.spatial import cKDTree

    (v1, _), (v2, _) = surfaces[1], surfaces[2]
    distance, _ = cKDTree(v2).query(v1)
    near = distance < 0.3
    return near.sum() > 0 and bool(np.all(distance[near] == 0.0)), int((distance == 0).sum())


METHODS = [
    ("corvaxis", corvaxis_surfaces),
    ("corvaxis voxel", lambda v, s, l: corvaxis_surfaces(v, s, l, surface=1)),
    ("corvaxis decimated to 25 %", lambda v, s, l: corvaxis_surfaces(v, s, l, decimate=0.25)),
    ("scikit-image MC + Taubin", taubin_surfaces),
    ("Slicer flying edges + sinc", slicer_surfaces),
    ("VTK SurfaceNets3D", surface_nets_surfaces),
]


def main():
    print(f"{'shape / method':40} {'mean':>6} {'rms':>6} {'max':>6} {'normal':>7} {'volume':>7} "
          f"{'tris':>7} {'time s':>7}")
    for name, spacing, shape_list in shapes():
        volume = voxelise(shape_list, spacing)
        labels = list(range(1, len(shape_list) + 1))
        print(f"{name}: {volume.shape[::-1]} voxels")
        reference = None  # corvaxis's own marching cubes, whose topology the voxels have
        ours = None
        for method, build in METHODS:
            seconds = best_of(3, lambda: build(volume, spacing, labels))
            surfaces = build(volume, spacing, labels)
            if method == "corvaxis":
                ours = surfaces
            if method == "corvaxis voxel":
                reference = surfaces
            for label, shape in zip(labels, shape_list):
                vertices, faces = surfaces[label]
                figures = measure(vertices, faces, shape)
                row = f"  {method + (f' label {label}' if len(labels) > 1 else '')}"
                print(f"{row:40} {figures['mean']:6.3f} {figures['rms']:6.3f} {figures['max']:6.3f} "
                      f"{figures['normal']:6.2f}° {figures['volume']:+6.2f}% {figures['triangles']:7d} "
                      f"{seconds:7.4f}")
        for label, shape in zip(labels, shape_list):
            vertices, faces = ours[label]
            closed, euler, shells = topology(vertices, faces)
            mc_closed, mc_euler, mc_shells = topology(*reference[label])
            figures = measure(vertices, faces, shape)
            print(f"  checks label {label}: watertight and outward {closed and signed_volume(vertices, faces) > 0}, "
                  f"Euler {euler} (MC {mc_euler}), shells {shells} (MC {mc_shells}), smallest triangle "
                  f"{figures['smallest_area']:.2e} mm², triangles {len(faces) / len(reference[label][1]):.3f} x MC")
        if len(labels) == 2:
            identical, shared = interface_identical(ours, volume)
            print(f"  interface: {shared} shared vertices, identical {identical}")


if __name__ == "__main__":
    main()
