"""Shape model generation, from a directory of collections to the model, against a peer run in
the same script: reading the same files with h5py and NumPy's thin SVD of the stacked coordinates.

Prints the time ratio (goal: at most 1.0) and the peak memory growth of each run, measured in a
fresh child process, against the aligned coordinate matrix plus one batch of collections (goal:
at most 1.5). The population (default 200 collections of 10 000 mesh vertices) is written to a
temporary directory that is removed afterwards.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

BATCH_SIZE = 16


def memory_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def write_population(directory, shapes, vertices):
    import corvaxis
    import corvaxis.anatomy as anatomy

    rng = np.random.default_rng(1)
    mean = rng.normal(scale=50.0, size=(vertices, 3))
    modes = rng.normal(size=(5, vertices, 3))
    faces = np.array([[i, i + 1, i + 2] for i in range(vertices - 2)])

    def collection(points):
        asc = anatomy.GenericASC()
        structure = anatomy.GenericAnatomicalStructure("organ")
        structure.meshes["surface"] = corvaxis.Mesh(points, faces)
        asc.add(structure)
        return asc

    corvaxis.save(collection(mean), os.path.join(directory, "mean.cvx.template"))
    training = os.path.join(directory, "training")
    os.mkdir(training)
    for index in range(shapes):
        shape = mean + np.tensordot(rng.normal(size=5) * [5, 4, 3, 2, 1], modes, axes=1)
        shape += rng.normal(scale=0.1, size=shape.shape)
        corvaxis.save(collection(shape), os.path.join(training, f"shape_{index:04d}.cvx"))
    return training


def run_corvaxis(directory):
    import corvaxis
    import corvaxis.anatomy as anatomy

    mean_shape = corvaxis.open(os.path.join(os.path.dirname(directory), "mean.cvx.template"))
    generator = anatomy.GenerateLinearShapeModel(mean_shape)
    generator.p_inputDirectory = directory
    generator.p_batchSize = BATCH_SIZE
    before = memory_kib("VmRSS")
    start = time.perf_counter()
    model = generator()["shape_model"]
    elapsed = time.perf_counter() - start
    assert generator.results["shapes_used"] == len(os.listdir(directory)) and model is not None
    return elapsed, memory_kib("VmHWM") - before


def run_peer(directory, threads):
    import h5py
    from threadpoolctl import threadpool_limits

    # The shape model runs on the calling thread; by default NumPy's BLAS gets one thread as well,
    # which also keeps the peer from collapsing on a machine shared with other work.
    limits = threadpool_limits(threads) if threads > 0 else None
    before = memory_kib("VmRSS")
    start = time.perf_counter()
    rows = []
    for name in sorted(os.listdir(directory)):
        with h5py.File(os.path.join(directory, name), "r") as stored:
            rows.append(stored["structures/0/meshes/0/value/vertices"][()].reshape(-1))
    stacked = np.stack(rows)
    centred = stacked - stacked.mean(axis=0)
    _, singular, modes = np.linalg.svd(centred, full_matrices=False)
    variances = singular**2 / (len(rows) - 1)
    elapsed = time.perf_counter() - start
    assert modes.shape[0] == len(rows) and variances[0] > 0
    if limits is not None:
        limits.unregister()
    return elapsed, memory_kib("VmHWM") - before


def measure_in_child(which, directory, peer_threads):
    """Runs one side in a fresh interpreter, so that its peak memory is its own."""
    command = [sys.executable, __file__, "--peer-threads", str(peer_threads), "--child", which, directory]
    result = subprocess.run(command, check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shapes", type=int, default=200)
    parser.add_argument("--vertices", type=int, default=10000)
    parser.add_argument("--peer-threads", type=int, default=1, help="BLAS threads of the peer; 0: NumPy's default")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.child:
        which, directory = arguments.child
        if which == "corvaxis":
            elapsed, peak = run_corvaxis(directory)
        else:
            elapsed, peak = run_peer(directory, arguments.peer_threads)
        print(json.dumps({"seconds": elapsed, "peak_kib": peak}))
        return

    with tempfile.TemporaryDirectory(prefix="corvaxis-shape-model-") as scratch:
        directory = write_population(scratch, arguments.shapes, arguments.vertices)
        file_bytes = sum(os.path.getsize(os.path.join(directory, name)) for name in os.listdir(directory))
        # Best of two for time, the first run warming the file cache for both sides.
        runs = {which: [measure_in_child(which, directory, arguments.peer_threads) for _ in range(2)]
                for which in ("corvaxis", "peer")}
        ours, peer = (min(runs[which], key=lambda run: run["seconds"]) for which in ("corvaxis", "peer"))

    matrix_kib = arguments.shapes * arguments.vertices * 3 * 8 / 1024
    batch_kib = BATCH_SIZE * file_bytes / arguments.shapes / 1024
    budget_kib = matrix_kib + batch_kib
    print(f"shape model: {arguments.shapes} collections of {arguments.vertices} vertices")
    threads = arguments.peer_threads or "default"
    print(f"  corvaxis {ours['seconds']:.3f} s, h5py + NumPy SVD ({threads} BLAS threads) {peer['seconds']:.3f} s, "
          f"ratio {ours['seconds'] / peer['seconds']:.2f} (goal <= 1.0)")
    print(f"  peak memory growth: corvaxis {ours['peak_kib'] / 1024:.1f} MiB, peer {peer['peak_kib'] / 1024:.1f} MiB; "
          f"aligned matrix {matrix_kib / 1024:.1f} MiB + one batch {batch_kib / 1024:.1f} MiB")
    print(f"  corvaxis peak / (matrix + batch) = {ours['peak_kib'] / budget_kib:.2f} (goal <= 1.5)")


if __name__ == "__main__":
    main()
