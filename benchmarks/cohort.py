"""The cohort job over 24 subjects of the demo's synthetic population, three ways in one run: one
local worker process, two local worker processes, and a Dask LocalCluster of two worker processes
of one thread each (started before the clock runs, as a cluster would be running already).

The three take turns, --repeats times (default 3): a run's wall time on a small virtual machine
varies by 10 to 30 % with what else the host runs, and taking turns spreads that over all three.
Prints every wall time, the ratios of the best times (goals: two workers at most 0.6 of one worker
on a two-core machine; Dask at most 1.15 of the two local processes) and of the medians, the time
per subject of each step in the best runs, and checks that every run wrote the same statistics
and the same model.
"""

import argparse
import importlib.util
import os
import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np

# What each run is given: local worker processes, or None for the Dask cluster.
ENGINES = {"1 local worker": 1, "2 local workers": 2, "Dask": None}

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
    parser.add_argument("--repeats", type=int, default=3)
    arguments = parser.parse_args()
    import distributed

    demo = load_demo()
    global LABELS
    LABELS = demo.LABELS
    demo.SUBJECTS = arguments.subjects
    seconds: dict[str, list[float]] = {name: [] for name in ENGINES}
    reports: dict[str, list[dict]] = {name: [] for name in ENGINES}
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        (folder / "maps").mkdir()
        paths = demo.write_population(folder / "maps")
        outputs = []
        for repeat in range(arguments.repeats):
            for name in ENGINES:
                out = folder / f"{name.replace(' ', '_')}_{repeat}"
                if name == "Dask":
                    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
                        took, report = timed_run(paths, out, client=client)
                else:
                    took, report = timed_run(paths, out, workers=ENGINES[name])
                seconds[name].append(took)
                reports[name].append(report)
                outputs.append(out)
        identical = same_results(outputs)

    subjects = arguments.subjects
    best = {name: min(times) for name, times in seconds.items()}
    median = {name: statistics.median(times) for name, times in seconds.items()}
    print(f"cohort of {subjects} subjects ({demo.SHAPE[0]}x{demo.SHAPE[1]}x{demo.SHAPE[2]} voxels, 3 organs), "
          f"{os.cpu_count()} cores, {arguments.repeats} turns")
    for name, times in seconds.items():
        print(f"  {name:<18} best {best[name]:6.1f} s   median {median[name]:6.1f} s   all "
              + " ".join(f"{took:.1f}" for took in times))
    for label, figures in (("best times", best), ("medians", median)):
        print(f"  ratios of the {label + ':':<12} 2 workers / 1 worker {figures['2 local workers'] / figures['1 local worker']:.2f}"
              f" (goal <= 0.6), Dask / 2 workers {figures['Dask'] / figures['2 local workers']:.2f} (goal <= 1.15)")
    print(f"  same statistics and model in all {len(outputs)} runs: {identical}")
    fastest = [reports[name][seconds[name].index(best[name])] for name in ENGINES]
    print(f"  model: {fastest[0]['model']['points']} points, {fastest[0]['model']['modes']} modes; peak memory of a "
          f"worker process (MiB): " + ", ".join(f"{name} {max(r['worker_peak_memory_mib'] for r in reports[name])}"
                                                for name in ENGINES))
    print("best runs, wall time by stage (s)  1 worker  2 workers     Dask")
    for stage in ("collections stage", "template", "registration stage", "shape model", "pictures"):
        print(f"  {stage:<32}" + "".join(f"{run['times']['steps_s'].get(stage, 0.0):>9.2f}" for run in fastest))
    print("best runs, time per subject (s)    1 worker  2 workers     Dask")
    for step in fastest[0]["times"]["steps_s"]:
        if ":" in step:
            print(f"  {step:<32}" + "".join(f"{run['times']['steps_s'].get(step, 0.0) / subjects:>9.3f}"
                                             for run in fastest))
    if not identical:
        sys.exit("the runs disagree")


if __name__ == "__main__":
    main()
