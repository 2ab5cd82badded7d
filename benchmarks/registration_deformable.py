"""Collection registration by deformable meshes and by rigid images, from Python through
ASCRegistration.compute(), against peers measured in the same run.

1. DeformableMeshRegistration, a sphere of about 2 000 vertices onto an ellipsoid of about 2 000,
   the same number of iterations on both sides: the whole compute() against a dense NumPy Coherent
   Point Drift written from the paper's equations (goal: at most 0.2 of its time).
2. The same at about 20 000 x 20 000 vertices until converged, in a child process: time and peak
   memory (goal: at most 1 GB). Set CORVAXIS_BENCH_HEAVY=1 to run it; it takes minutes.
3. RigidImages, a 96^3 volume of 1 mm voxels of smooth blobs and a copy rotated 8 degrees about an
   oblique axis and shifted by (4, -3, 2) mm, same and second modality: time and errors, against
   elastix on 2 threads on the same images (goal: no slower and at least as accurate). elastix is
   optional; without it on the PATH this part says so and reports ours alone.
"""

import os
import pathlib
import resource
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
ITERATIONS = 20
HEAVY = os.environ.get("CORVAXIS_BENCH_HEAVY") == "1"


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
    at = lambda r, k: 1 + (r - 1) * segments + k % segments  # noqa: E731
    faces = []
    for k in range(segments):
        faces += [(0, at(1, k), at(1, k + 1)), (len(vertices) - 1, at(rings - 1, k + 1), at(rings - 1, k))]
        for r in range(1, rings - 1):
            faces += [(at(r, k), at(r + 1, k), at(r + 1, k + 1)), (at(r, k), at(r + 1, k + 1), at(r, k + 1))]
    return vertices, np.array(faces)


def one_mesh_collection(vertices, faces):
    collection = anatomy.GenericASC()
    organ = anatomy.GenericAnatomicalStructure("organ")
    organ.meshes["surface"] = corvaxis.Mesh(vertices, faces)
    collection.add(organ)
    return collection


def sphere_and_ellipsoid(moving_layout, fixed_layout):
    """World vertices and faces of a sphere of radius 20 mm and of an ellipsoid of semi-axes 25, 20,
    15 mm rotated by 10 degrees and shifted, tessellated differently."""
    sphere, sphere_faces = latitude_sphere(*moving_layout)
    ellipsoid, ellipsoid_faces = latitude_sphere(*fixed_layout)
    placement = rigid(10, (1, 1, 0), (12, -7, 4))
    ellipsoid = (ellipsoid * (25, 20, 15)) @ placement[:3, :3].T + placement[:3, 3]
    return (sphere * 20, sphere_faces), (ellipsoid, ellipsoid_faces)


def deformable(moving_layout, fixed_layout, iterations):
    """Registers the sphere onto the ellipsoid; returns the registration and its compute() time."""
    (sphere, sphere_faces), (ellipsoid, ellipsoid_faces) = sphere_and_ellipsoid(moving_layout, fixed_layout)
    registration = anatomy.ASCRegistration(one_mesh_collection(ellipsoid, ellipsoid_faces),
                                           one_mesh_collection(sphere, sphere_faces))
    registration.registration_method = Method.DeformableMeshRegistration
    if iterations:
        registration.p_deformableIterations = iterations
        registration.p_deformableTolerance = 0.0
    start = time.perf_counter()
    registration.compute()
    seconds = time.perf_counter() - start
    if registration.status != 0:
        raise SystemExit(f"deformable registration failed: {registration.status_message}")
    return registration, seconds


def deformable_against_numpy():
    moving_layout, fixed_layout = (32, 64), (36, 56)
    registration, ours = deformable(moving_layout, fixed_layout, ITERATIONS)
    (sphere, _), (ellipsoid, _) = sphere_and_ellipsoid(moving_layout, fixed_layout)
    # The peer starts from the rigid or similarity part our compute() found, so that both do the
    # same deformation work.
    start_transformation = registration.results["transformation"]
    aligned = sphere @ start_transformation[:3, :3].T + start_transformation[:3, 3]
    start = time.perf_counter()
    dense_cpd(ellipsoid, aligned, ITERATIONS)
    theirs = time.perf_counter() - start
    print(f"Deformable {len(sphere)} x {len(ellipsoid)} vertices, {ITERATIONS} iterations: compute() {ours:.3f} s, "
          f"dense NumPy CPD {theirs:.3f} s, ratio {ours / theirs:.3f} (goal <= 0.2)")


def deformable_large_in_this_process():
    fixed_layout = (110, 182)
    registration, seconds = deformable((100, 200), fixed_layout, 0)
    results = registration.results
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    fixed_vertices = 2 + (fixed_layout[0] - 1) * fixed_layout[1]
    print(f"Deformable {results['vertices']} x {fixed_vertices} vertices until converged: {seconds:.1f} s, "
          f"{results['iterations']} iterations, peak {peak:.0f} MB (goal <= 1024), mean distance "
          f"{results['mean_distance']:.3f} mm, largest {results['max_distance']:.3f} mm, "
          f"{results['flipped_faces']} folded faces")


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
    if sys.argv[1:] == ["--large"]:
        deformable_large_in_this_process()
        return
    deformable_against_numpy()
    if HEAVY:
        subprocess.run([sys.executable, __file__, "--large"], check=True)
    else:
        print("Deformable 20 000 x 20 000: set CORVAXIS_BENCH_HEAVY=1 to run it")
    rigid_images()


if __name__ == "__main__":
    main()
