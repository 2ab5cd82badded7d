"""Collection registration by deformable meshes and by rigid images, from Python through
ASCRegistration.compute(), against peers measured in the same run.

1. DeformableMeshRegistration, a sphere of radius 20 mm (about 2 500 vertices) onto an ellipsoid of
   semi-axes 25, 20, 15 mm (about 2 500 vertices, another tessellation), rotated and shifted, both
   until converged: the whole compute() against a dense NumPy Coherent Point Drift written from the
   paper's equations (full kernel and posterior matrices, same kernel width, smoothness and stopping
   rule, started from the rigid or similarity part ours found), with the mean distance of both
   results to the ellipsoid's triangles (goal: ratio at most 0.02, distance not worse).
2. The same pair at about 2 500, 10 000, 100 000 and (with --million) 1 000 000 vertices, each size
   in a child process of its own: time (best of several runs where affordable), peak memory, the
   longest gap between progress reports and how long a cancel request takes to end compute() (goals:
   growth at most 5 times from 2 500 to 10 000 and 12 times from 10 000 to 100 000, peak below 150 MB
   at 10 000 and 600 MB at 100 000, gaps at most 0.25 s, cancelling within 0.5 s).
3. RigidImages, a 96^3 volume of 1 mm voxels of smooth blobs and a copy rotated 8 degrees about an
   oblique axis and shifted by (4, -3, 2) mm, same and second modality: time and errors, against
   elastix on 2 threads on the same images (goal: no slower and at least as accurate). elastix is
   optional; without it on the PATH this part says so and reports ours alone.

Options: --million adds the 1 000 000-vertex size; --no-peer skips the dense NumPy run (a minute).
"""

import json
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

import corvaxis
import corvaxis.anatomy as anatomy

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import elastix_peer  # noqa: E402
from registration_numerics import dense_cpd  # noqa: E402  (the peer, shared with the core benchmark)

Method = anatomy.ASCRegistration.RegistrationMethod
# Latitude layouts (rings, segments) of the sphere and of the ellipsoid at each size.
LAYOUTS = {
    2_500: ((36, 72), (40, 64)),
    10_000: ((71, 142), (80, 126)),
    100_000: ((224, 448), (250, 400)),
    1_000_000: ((707, 1414), (790, 1266)),
}
REPEATS = {2_500: 5, 10_000: 3, 100_000: 2, 1_000_000: 1}
CANCEL_AFTER = 0.3  # fraction of a run's time after which the cancel measurement asks to stop


def rotation(degrees, axis):
    axis = np.asarray(axis, float) / np.linalg.norm(axis)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    angle = np.radians(degrees)
    return np.eye(3) + np.sin(angle) * k + (1 - np.cos(angle)) * k @ k


def rigid(degrees, axis, shift):
    matrix = np.eye(4)
    matrix[:3, :3] = rotation(degrees, axis)
    matrix[:3, 3] = shift
    return matrix


def latitude_sphere(rings, segments):
    """Unit sphere by latitude rings and longitude segments; faces wind outward."""
    theta = np.pi * np.arange(1, rings)[:, None] / rings
    phi = 2 * np.pi * np.arange(segments)[None, :] / segments
    ring_points = np.stack([np.sin(theta) * np.cos(phi), np.sin(theta) * np.sin(phi), np.cos(theta) + 0 * phi], -1)
    vertices = np.vstack([[0, 0, 1], ring_points.reshape(-1, 3), [0, 0, -1]])
    k = np.arange(segments)
    at = lambda r, k: 1 + (r - 1) * segments + k % segments  # noqa: E731
    last = len(vertices) - 1
    faces = [np.stack([np.zeros_like(k), at(1, k), at(1, k + 1)], -1),
             np.stack([np.full_like(k, last), at(rings - 1, k + 1), at(rings - 1, k)], -1)]
    r = np.arange(1, rings - 1)[:, None]
    faces.append(np.stack([at(r, k), at(r + 1, k), at(r + 1, k + 1)], -1).reshape(-1, 3))
    faces.append(np.stack([at(r, k), at(r + 1, k + 1), at(r, k + 1)], -1).reshape(-1, 3))
    return vertices, np.vstack(faces)


def one_mesh_collection(vertices, faces):
    collection = anatomy.GenericASC()
    organ = anatomy.GenericAnatomicalStructure("organ")
    organ.meshes["surface"] = corvaxis.Mesh(vertices, faces)
    collection.add(organ)
    return collection


def sphere_and_ellipsoid(size):
    """World vertices and faces of a sphere of radius 20 mm and of an ellipsoid of semi-axes 25, 20,
    15 mm rotated by 10 degrees and shifted, tessellated differently."""
    moving_layout, fixed_layout = LAYOUTS[size]
    sphere, sphere_faces = latitude_sphere(*moving_layout)
    ellipsoid, ellipsoid_faces = latitude_sphere(*fixed_layout)
    placement = rigid(10, (1, 1, 0), (12, -7, 4))
    ellipsoid = (ellipsoid * (25, 20, 15)) @ placement[:3, :3].T + placement[:3, 3]
    return (sphere * 20, sphere_faces), (ellipsoid, ellipsoid_faces)


def deformable(size, cancel_after=None):
    """Registers the sphere onto the ellipsoid; returns the registration, its compute() time, the
    longest gap between progress reports and, when asked to cancel after some seconds, how long
    compute() took to end after the request."""
    (sphere, sphere_faces), (ellipsoid, ellipsoid_faces) = sphere_and_ellipsoid(size)
    registration = anatomy.ASCRegistration(one_mesh_collection(ellipsoid, ellipsoid_faces),
                                           one_mesh_collection(sphere, sphere_faces))
    registration.registration_method = Method.DeformableMeshRegistration
    reports = []

    class Stop(Exception):
        pass

    def progress(fraction, step):
        reports.append(time.perf_counter())
        if cancel_after is not None and reports[-1] - reports[0] >= cancel_after:
            raise Stop

    registration.set_progress_callback(progress)
    start = time.perf_counter()
    try:
        registration.compute()
    except Stop:
        return None, None, None, time.perf_counter() - reports[-1]
    end = time.perf_counter()
    if registration.status != 0:
        raise SystemExit(f"deformable registration failed: {registration.status_message}")
    gaps = np.diff([start, *reports, end])
    return registration, end - start, gaps.max(), None


def closest_distances(points, vertices, faces, chunk=64):
    """Distance of every point to the triangle surface (all faces tried; for small surfaces)."""
    a, b, c = (vertices[faces[:, i]][None] for i in range(3))
    result = []
    for block in np.array_split(points, max(1, len(points) // chunk)):
        p = block[:, None, :]
        ab, ac, ap = b - a, c - a, p - a
        # Projection onto the plane, then clamping to the triangle through barycentric coordinates.
        d00, d01, d11 = (ab * ab).sum(-1), (ab * ac).sum(-1), (ac * ac).sum(-1)
        d20, d21 = (ap * ab).sum(-1), (ap * ac).sum(-1)
        denominator = np.where(d00 * d11 - d01 * d01 > 0, d00 * d11 - d01 * d01, 1.0)
        v = (d11 * d20 - d01 * d21) / denominator
        w = (d00 * d21 - d01 * d20) / denominator
        inside = (v >= 0) & (w >= 0) & (v + w <= 1)
        best = np.where(inside, np.linalg.norm(ap - v[..., None] * ab - w[..., None] * ac, axis=-1), np.inf)
        for start, end in ((a, b), (b, c), (c, a)):
            edge = end - start
            t = np.clip(((p - start) * edge).sum(-1) / np.maximum((edge * edge).sum(-1), 1e-300), 0, 1)
            best = np.minimum(best, np.linalg.norm(p - start - t[..., None] * edge, axis=-1))
        result.append(best.min(axis=1))
    return np.concatenate(result)


def one_size(size):
    """Child process: the figures of one size as JSON on the last line."""
    best, longest_gap, registration = np.inf, 0.0, None
    for _ in range(REPEATS[size]):
        registration, seconds, gap, _ = deformable(size)
        best, longest_gap = min(best, seconds), max(longest_gap, gap)
    results = registration.results
    peak = peak_megabytes()
    _, _, _, cancel_seconds = deformable(size, cancel_after=CANCEL_AFTER * best)
    print(json.dumps({"seconds": best, "peak": peak, "gap": longest_gap, "cancel": cancel_seconds,
                      "iterations": results["iterations"], "mean": results["mean_distance"],
                      "max": results["max_distance"], "flipped": results["flipped_faces"],
                      "vertices": results["vertices"], "transformation": results["transformation"].tolist()}))


def peak_megabytes():
    """This process's high-water mark of resident memory."""
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def sizes_in_child_processes(sizes):
    figures = {}
    for size in sizes:
        output = subprocess.run([sys.executable, __file__, "--size", str(size)], check=True, capture_output=True,
                                text=True).stdout
        figures[size] = json.loads(output.splitlines()[-1])
        f = figures[size]
        print(f"Deformable ~{size:,} vertices: {f['seconds']:.2f} s (best of {REPEATS[size]}), {f['iterations']} "
              f"iterations, peak {f['peak']:.0f} MB, longest progress gap {f['gap']:.3f} s, cancelled in "
              f"{f['cancel']:.3f} s, mean distance {f['mean']:.4f} mm, largest {f['max']:.3f} mm, "
              f"{f['flipped']} folded faces")
    return figures


def against_dense_numpy(figures):
    (sphere, _), (ellipsoid, ellipsoid_faces) = sphere_and_ellipsoid(2_500)
    # The peer starts from the rigid or similarity part our compute() found, so that both do the
    # same deformation work.
    start_transformation = np.array(figures["transformation"])
    aligned = sphere @ start_transformation[:3, :3].T + start_transformation[:3, 3]
    start = time.perf_counter()
    theirs = dense_cpd(ellipsoid, aligned, 150, tolerance=1e-5)
    seconds = time.perf_counter() - start
    their_mean = closest_distances(theirs, ellipsoid, ellipsoid_faces).mean()
    print(f"Deformable {len(sphere)} x {len(ellipsoid)} vertices until converged: compute() {figures['seconds']:.3f} s, "
          f"dense NumPy CPD {seconds:.1f} s, ratio {figures['seconds'] / seconds:.4f} (goal <= 0.02); mean distance "
          f"ours {figures['mean']:.4f} mm, dense {their_mean:.4f} mm")


def deformable_sizes(million, peer):
    sizes = [2_500, 10_000, 100_000] + ([1_000_000] if million else [])
    figures = sizes_in_child_processes(sizes)
    if peer:
        against_dense_numpy(figures[2_500])
    small, medium, large = (figures[s]["seconds"] for s in (2_500, 10_000, 100_000))
    print(f"Growth: 2 500 -> 10 000 vertices {medium / small:.2f} times (goal <= 5), 10 000 -> 100 000 "
          f"{large / medium:.2f} times (goal <= 12); peak {figures[10_000]['peak']:.0f} MB at 10 000 (goal < 150), "
          f"{figures[100_000]['peak']:.0f} MB at 100 000 (goal < 600); longest progress gap "
          f"{max(f['gap'] for f in figures.values()):.3f} s (goal <= 0.25), slowest cancel "
          f"{max(f['cancel'] for f in figures.values()):.3f} s (goal <= 0.5)")


def blob_images(size, motion=np.eye(4), remap=None):
    """size^3 voxels of 1 mm centred on the origin showing smooth blobs moved by motion."""
    blobs = [((-14, -8, 4), 9.0, 1.0), ((16, 6, -6), 7.0, 0.7), ((2, 18, 10), 6.0, 0.45),
             ((-6, 10, -16), 8.0, 0.85), ((10, -16, 14), 5.0, 0.6), ((-20, 14, 18), 4.0, 0.35)]
    grid = np.eye(4)
    grid[:3, 3] = -(size - 1) / 2
    z, y, x = np.indices((size, size, size), dtype=np.float64)
    voxels = np.stack([x, y, z, np.ones_like(x)], -1).reshape(-1, 4)
    content = voxels @ (np.linalg.inv(motion) @ grid).T
    values = np.zeros(len(content))
    for centre, width, height in blobs:
        values += height * np.exp(-((content[:, :3] - centre) ** 2).sum(1) / (2 * width * width))
    values = remap(values) if remap else values
    images = corvaxis.SharedImageSet(values.reshape(size, size, size).astype(np.float32))
    images.voxel_to_world = grid
    return images


def rigid_errors(found, expected):
    """Rotation error in degrees and translation error in millimetres of a found transformation."""
    relative = found[:3, :3] @ expected[:3, :3].T
    degrees = np.degrees(np.arccos(np.clip((np.trace(relative) - 1) / 2, -1, 1)))
    return degrees, np.linalg.norm(found[:3, 3] - expected[:3, 3])


def rigid_images():
    motion = rigid(8, (1, 2, 3), (4, -3, 2))
    expected = np.linalg.inv(motion)
    fixed_images = blob_images(96)
    with_elastix = elastix_peer.elastix_path() is not None
    if not with_elastix:
        print("Rigid images: elastix not found on the PATH, skipped; ours alone below")
    for name, remap in (("same modality", None), ("second modality", lambda v: 4 * v * (1 - v) + 0.1)):
        moving_images = blob_images(96, motion, remap)
        fixed, moving = anatomy.GenericASC(), anatomy.GenericASC()
        for collection, images in ((fixed, fixed_images), (moving, moving_images)):
            head = anatomy.GenericAnatomicalStructure("head")
            head.images["scan"] = images
            collection.add(head)
        registration = anatomy.ASCRegistration(fixed, moving)
        registration.registration_method = Method.RigidImages
        start = time.perf_counter()
        registration.compute()
        seconds = time.perf_counter() - start
        degrees, millimetres = rigid_errors(registration.results["transformation"], expected)
        print(f"Rigid images 96^3, {name}, mutual information: compute() {seconds:.2f} s, {degrees:.4f} deg, "
              f"{millimetres:.4f} mm (goal 0.5 deg and 0.5 mm, 1 and 1 for the second modality)")
        if not with_elastix:
            continue
        with tempfile.TemporaryDirectory() as folder:
            found, wall, reported = elastix_peer.register(fixed_images, moving_images, folder, threads=2)
        peer_degrees, peer_millimetres = rigid_errors(found, expected)
        own_count = f" ({reported:.2f} s by its own count, ratio {seconds / reported:.3f})" if reported else ""
        as_accurate = degrees <= peer_degrees and millimetres <= peer_millimetres
        print(f"  elastix 2 threads: {wall:.2f} s whole run{own_count}, {peer_degrees:.4f} deg, "
              f"{peer_millimetres:.4f} mm; time ratio ours / elastix {seconds / wall:.3f} (goal <= 1); ours "
              f"{'at least as accurate' if as_accurate else 'less accurate'}")


def main():
    arguments = sys.argv[1:]
    if arguments[:1] == ["--size"]:
        one_size(int(arguments[1]))
        return
    deformable_sizes("--million" in arguments, "--no-peer" not in arguments)
    if "--no-images" not in arguments:
        rigid_images()


if __name__ == "__main__":
    main()
