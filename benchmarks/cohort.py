"""The cohort job over 24 subjects of the demo's synthetic population, three ways in one run: one
local worker process, two local worker processes, and a Dask LocalCluster of two worker processes
of one thread each (started before the clock runs, as a cluster would be running already).

Prints the wall time of each, the ratios (goals: two workers at most 0.6 of one worker on a
two-core machine; Dask at most 1.15 of the two local processes) and the time per subject of each
step, and checks that the three runs wrote the same statistics and the same model.
"""

import argparse
import importlib.util
import os
import pathlib
import sys
import tempfile
import time

import numpy as np

DEMO = pathlib.Path(__file__).resolve().parent.parent / "examples" / "demo.py"


def load_demo():
    spec = importlib.util.spec_from_file_location("demo", DEMO)
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    return demo


def timed_run(paths, out, **engine):
    from corvaxis import cohort

    start = time.perf_counter()
    report = cohort.run(paths, out, labels=LABELS, **engine)
    seconds = time.perf_counter() - start
    if report["exit_status"] != 0:
        raise RuntimeError(f"the cohort run failed: {report['failed'] or report['model']}")
    return seconds, report


def same_results(folders):
    import corvaxis
    from corvaxis.shape_model import LinearShapeModel

    texts = {(folder / "statistics.csv").read_text() for folder in folders}
    models = [LinearShapeModel(corvaxis.open(folder / "shape_model.cvx")) for folder in folders]
    return len(texts) == 1 and all(np.array_equal(m.modes, models[0].modes) and np.array_equal(m.mean, models[0].mean)
                                   for m in models)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--subjects", type=int, default=24)
    arguments = parser.parse_args()
    import distributed

    demo = load_demo()
    global LABELS
    LABELS = demo.LABELS
    demo.SUBJECTS = arguments.subjects
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        (folder / "maps").mkdir()
        paths = demo.write_population(folder / "maps")
        one, report = timed_run(paths, folder / "one", workers=1)
        two, report_two = timed_run(paths, folder / "two", workers=2)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            dask, report_dask = timed_run(paths, folder / "dask", client=client)
        identical = same_results([folder / "one", folder / "two", folder / "dask"])

    subjects = arguments.subjects
    print(f"cohort of {subjects} subjects ({demo.SHAPE[0]}x{demo.SHAPE[1]}x{demo.SHAPE[2]} voxels, 3 organs), "
          f"{os.cpu_count()} cores")
    print(f"  1 local worker     {one:7.1f} s")
    print(f"  2 local workers    {two:7.1f} s   ratio {two / one:.2f} (goal <= 0.6)")
    print(f"  Dask, 2 workers    {dask:7.1f} s   ratio {dask / two:.2f} of the local processes (goal <= 1.15)")
    print(f"  same statistics and model in all three runs: {identical}")
    print(f"  model: {report['model']['points']} points, {report['model']['modes']} modes; "
          f"peak memory of a worker process {report['worker_peak_memory_mib']} MiB")
    runs = (report, report_two, report_dask)
    print("wall time by stage (s)          1 worker  2 workers     Dask")
    for stage in ("collections stage", "template", "registration stage", "shape model", "pictures"):
        print(f"  {stage:<30}" + "".join(f"{run['times']['steps_s'].get(stage, 0.0):>9.2f}" for run in runs))
    print("time per subject by step (s)    1 worker  2 workers     Dask")
    for step in report["times"]["steps_s"]:
        if ":" in step:
            print(f"  {step:<30}" + "".join(f"{run['times']['steps_s'].get(step, 0.0) / subjects:>9.3f}"
                                             for run in runs))
    if not identical:
        sys.exit("the runs disagree")


if __name__ == "__main__":
    main()
