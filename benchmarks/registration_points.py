"""Registration by keypoints (PointsRigidScaling), the whole compute() from Python, as ratios
against NumPy measured in the same run:

1. 10, 1,000 and 100,000 keypoint pairs against the same job done in NumPy over Python dicts of
   keypoints: match the keys, stack, SVD Umeyama, move every moving keypoint, write them back
   (goal: at most 0.5 of NumPy's time at 100,000 pairs);
2. 10 pairs against NumPy's bare estimate on arrays already in memory (goal: at most 2x).
"""


import numpy as np

import corvaxis.anatomy as anatomy
from timing import best_of


def umeyama(moving, fixed):
    """Similarity from point pairs by SVD, written from Umeyama's paper."""
    moving_mean, fixed_mean = moving.mean(axis=0), fixed.mean(axis=0)
    moving_centred, fixed_centred = moving - moving_mean, fixed - fixed_mean
    u, s, vt = np.linalg.svd(fixed_centred.T @ moving_centred / len(moving))
    d = np.ones(3)
    if np.linalg.det(u) * np.linalg.det(vt) < 0:
        d[2] = -1
    rotation = u @ np.diag(d) @ vt
    scale = (s * d).sum() / (moving_centred**2).sum(axis=1).mean()
    return scale * rotation, fixed_mean - scale * rotation @ moving_mean


def numpy_over_dicts(fixed, moving):
    keys = [key for key in moving if key in fixed]
    linear, translation = umeyama(np.array([moving[key] for key in keys]), np.array([fixed[key] for key in keys]))
    moved = np.array(list(moving.values())) @ linear.T + translation
    for key, point in zip(list(moving), moved):
        moving[key] = point


def pair(size, rng):
    """Fixed and moving keypoint dicts related by a similarity plus noise."""
    angle = 0.6
    rotation = np.array([[np.cos(angle), -np.sin(angle), 0], [np.sin(angle), np.cos(angle), 0], [0, 0, 1]])
    moving = {f"landmark{i:06d}": point for i, point in enumerate(rng.uniform(-100, 100, size=(size, 3)))}
    fixed = {key: 1.2 * rotation @ point + [5, -3, 8] + rng.normal(scale=0.5, size=3) for key, point in moving.items()}
    return fixed, moving


def collection(keypoints):
    asc = anatomy.GenericASC()
    structure = anatomy.GenericAnatomicalStructure("liver")
    structure.keypoints2.from_dict(keypoints)
    asc.add(structure)
    return asc


def main():
    rng = np.random.default_rng(0)
    for size, repeats in ((10, 2000), (1_000, 50), (100_000, 3)):
        fixed, moving = pair(size, rng)
        registration = anatomy.ASCRegistration(collection(fixed), collection(moving))
        registration.registration_method = anatomy.ASCRegistration.RegistrationMethod.PointsRigidScaling
        # Every compute does the same work: the moving collection already lying on the fixed one
        # changes the numbers, not the amount of work.
        ours = best_of(repeats, registration.compute)
        assert registration.status == 0, registration.status_message
        theirs = best_of(repeats, lambda: numpy_over_dicts(fixed, moving))
        print(f"{size:7d} pairs: compute {ours * 1e3:9.3f} ms, NumPy over dicts {theirs * 1e3:9.3f} ms, "
              f"ratio {ours / theirs:5.2f}")
        if size == 10:
            arrays = np.array(list(moving.values())), np.array(list(fixed.values()))
            bare = best_of(repeats, lambda: umeyama(*arrays))
            print(f"{size:7d} pairs: compute {ours * 1e6:9.1f} us, NumPy's bare estimate {bare * 1e6:9.1f} us, "
                  f"ratio {ours / bare:5.2f}")


if __name__ == "__main__":
    main()
