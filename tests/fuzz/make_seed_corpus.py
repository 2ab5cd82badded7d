"""Writes the seed corpus of the file reader fuzz targets: small valid files of every kind and a
few damaged ones. Run with the installed package (and nibabel for NIfTI-2) from the checkout:

    python tests/fuzz/make_seed_corpus.py [fuzz_data_file] [fuzz_nifti] [fuzz_nrrd]

The NRRD seeds are written by the builders the Python tests use (tests/python/conftest.py).
The NIfTI seeds need nibabel only. The files are kept in the repository; run this again only to renew them."""

import gzip
import pathlib
import struct
import zlib

import sys

import h5py
import nibabel
import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
VERTICES = np.array([[0, 0, 0], [20, 0, 0], [0, 20, 0], [0, 0, 20]], dtype=float)
FACES = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])


def image_set():
    import corvaxis

    images = corvaxis.SharedImageSet([np.arange(24, dtype=np.int16).reshape(2, 3, 4) - 7], spacing=(0.5, 0.25, 2.0),
                                     modality=corvaxis.Modality.LABEL)
    labels = corvaxis.LabelDataComponent()
    labels.set_label_config(3, "liver", [1.0, 0.5, 0.0, 1.0], visible=False)
    images.components.add(labels)
    return images


def graph():
    import corvaxis

    vessels = corvaxis.Graph(VERTICES, np.array([[0, 1], [1, 2], [1, 3]]), directed=True)
    vessels.set_edge_feature("radius", np.arange(3.0))
    return vessels


def collection():
    import corvaxis
    import corvaxis.anatomy as anatomy

    liver = anatomy.GenericAnatomicalStructure("liver")
    liver.keypoints2 = {"tip": [1.5, 2.5, -3.25]}
    liver.planes = {"cut": [0.0, 0.0, 1.0, -5.0]}
    liver.meshes = {"surface": corvaxis.Mesh(VERTICES, FACES)}
    liver.pointclouds = {"samples": corvaxis.PointCloud(VERTICES)}
    liver.graphs = {"vessels": graph()}
    liver.images = {"labels": image_set()}
    matrix = np.eye(4)
    matrix[:3, 3] = (10, -20, 5)
    liver.matrix_to_world = matrix
    made = anatomy.GenericASC()
    made.add(liver)
    made.add(anatomy.GenericAnatomicalStructure("kidney"))
    return made


def reseal(content):
    data = bytearray(content)
    struct.pack_into("<QI", data, 12, len(data) - 512, zlib.crc32(data[512:]))
    return bytes(data)


def data_files(folder):
    import corvaxis

    mesh = corvaxis.Mesh(VERTICES, FACES)
    mesh.compute_normals()
    valid = {
        "valid-mesh": mesh,
        "valid-pointcloud": corvaxis.PointCloud(VERTICES, VERTICES),
        "valid-graph": graph(),
        "valid-images": image_set(),
        "valid-collection": collection(),
    }
    for name, data in valid.items():
        corvaxis.save(data, folder / f"{name}.cvx")
    content = (folder / "valid-mesh.cvx").read_bytes()
    (folder / "refused-truncated.cvx").write_bytes(content[: len(content) // 2])
    flipped = bytearray(content)
    flipped[len(flipped) // 2] ^= 0xFF
    (folder / "refused-damaged-content.cvx").write_bytes(reseal(flipped))
    with h5py.File(folder / "refused-hdf5-only.cvx", "w") as plain:
        plain.attrs["format"] = "corvaxis"


def nifti_files(folder):
    labels = np.arange(60, dtype=np.int16).reshape(5, 4, 3) % 4
    affine = np.array([[0, -0.5, 0, 10], [0.75, 0, 0, -4], [0, 0, 2, 1], [0, 0, 0, 1]], dtype=float)
    label_image = nibabel.Nifti1Image(labels, affine)
    label_image.header.set_intent("label")
    nibabel.save(label_image, folder / "valid-labels.nii")
    nibabel.save(label_image, folder / "valid-labels.nii.gz")
    series = nibabel.Nifti1Image(np.linspace(0, 1, 4 * 3 * 2 * 2, dtype=np.float32).reshape(4, 3, 2, 2), None)
    series.header.set_slope_inter(2.0, -1.0)
    series.set_qform(np.diag([1.5, 1.5, 3.0, 1.0]), code=1)
    series.set_sform(None, code=0)
    nibabel.save(series, folder / "valid-scaled-series.nii")
    nibabel.save(nibabel.Nifti2Image(np.arange(8, dtype=np.int64).reshape(2, 2, 2), np.eye(4), dtype=np.int64),
                 folder / "valid-nifti2-int64.nii")
    nibabel.save(nibabel.Nifti1Image(np.zeros((3, 2), dtype=np.uint8), np.eye(4)), folder / "valid-slice.nii")
    big_endian = nibabel.Nifti1Image(labels.astype(">i2"), affine, header=nibabel.Nifti1Header(endianness=">"))
    nibabel.save(big_endian, folder / "valid-big-endian.nii")
    content = (folder / "valid-labels.nii").read_bytes()
    (folder / "refused-truncated.nii").write_bytes(content[: len(content) - 40])
    (folder / "refused-wrong-magic.nii").write_bytes(content[:344] + b"ni1\0" + content[348:])
    compressed = (folder / "valid-labels.nii.gz").read_bytes()
    (folder / "refused-truncated.nii.gz").write_bytes(compressed[: len(compressed) // 2])
    (folder / "refused-gzip-of-nothing.nii.gz").write_bytes(gzip.compress(b""))


def nrrd_files(folder):
    sys.path.insert(0, str(HERE.parent / "python"))
    from conftest import slicer_segmentation, write_nrrd

    labels = (np.arange(60, dtype=np.uint8).reshape(5, 4, 3) % 4)
    directions = [(0.0, -0.5, 0.0), (0.75, 0.0, 0.0), (0.0, 0.0, 2.0)]
    for encoding in ("raw", "gzip", "ascii", "hex"):
        write_nrrd(folder / f"valid-{encoding}.nrrd", labels.astype(">i2"), directions=directions,
                   origin=(10.0, -4.0, 1.0), encoding=encoding)
    write_nrrd(folder / "valid-spacings.nrrd", labels.astype(np.float32), space=None, spacings=(0.5, 1.0, 2.0))
    slicer_segmentation(folder / "valid-segmentation.nrrd", [labels, labels[::-1].copy()],
                        [{"name": "liver", "label": 1, "layer": 0, "color": (0.5, 0.25, 1.0)},
                         {"name": "kidney", "label": 2, "layer": 1, "color": (1.0, 0.0, 0.0)}])
    write_nrrd(folder / "valid-detached.nrrd", labels, detached=True)
    (folder / "valid-detached.raw").rename(folder / "data-of-valid-detached")
    header = (folder / "valid-detached.nrrd").read_text().replace("valid-detached.raw", "input.nrrd")
    # A header that names itself as its data file: the fuzzer's only file is its input.
    (folder / "valid-detached.nrrd").write_text(header.replace("encoding: raw", "encoding: raw\nbyte skip: -1"))
    (folder / "data-of-valid-detached").unlink()
    content = (folder / "valid-raw.nrrd").read_bytes()
    (folder / "refused-truncated.nrrd").write_bytes(content[: len(content) - 10])
    (folder / "refused-no-magic.nrrd").write_bytes(b"NRRX" + content[4:])


if __name__ == "__main__":
    writers = {"fuzz_data_file": data_files, "fuzz_nifti": nifti_files, "fuzz_nrrd": nrrd_files}
    for name in sys.argv[1:] or writers:
        write = writers[name]
        folder = HERE / "corpus" / name
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.iterdir():
            old.unlink()
        write(folder)
        print(f"{folder}: {len(list(folder.iterdir()))} files")
