"""
Data objects, properties and logging of the corvaxis host.
"""
from __future__ import annotations
import builtins
import collections.abc
import enum
import numpy
import numpy.typing
import os
import typing
from . import _log
__all__: list[str] = ['Algorithm', 'Data', 'DataComponentBase', 'DataComponentList', 'FileFormatError', 'LabelDataComponent', 'Mesh', 'Modality', 'PointCloud', 'Properties', 'SharedImageSet', 'computing_threads', 'set_computing_threads']
class FileFormatError(OSError):
    """
    A file is not a corvaxis data file or NIfTI or NRRD image, or it is damaged, truncated, of a newer format version, or holds a kind of data that no loaded module reads. A subclass of OSError; the message and ``filename`` name the file.
    """
class Properties:
    """
    A tree of named, typed values (bool, int, float, str, 2-, 3- and 4-vectors, 4x4 matrices)
    with named sub-blocks. Behaves like a mapping over its values.
    """
    __hash__: typing.ClassVar[None] = None  # type: ignore[assignment]
    name: str
    def __contains__(self, arg0: str) -> bool:
        ...
    def __copy__(self) -> Properties:
        ...
    def __deepcopy__(self, arg0: dict) -> Properties:
        ...
    def __delitem__(self, arg0: str) -> None:
        ...
    def __eq__(self, arg0: Properties) -> bool:  # type: ignore[override]
        ...
    def __getitem__(self, arg0: str) -> typing.Any:
        ...
    def __init__(self, values: typing.Any = None) -> None:
        """
        Builds a tree from a dict (dicts and lists of dicts become sub-properties) or copies another.
        """
    def __iter__(self) -> collections.abc.Iterator:
        ...
    def __len__(self) -> int:
        ...
    def __repr__(self) -> str:
        ...
    def __setitem__(self, arg0: str, arg1: typing.Any) -> None:
        ...
    def add_sub_properties(self, name: str, values: typing.Any = None) -> typing.Any:
        """
        Appends a sub-block (empty, or filled from a dict) and returns it; it keeps this tree alive.
        """
    def asdict(self) -> dict:
        """
        A nested dict: values by name, sub-blocks as lists of dicts under their name.
        """
    def get(self, name: str, default: typing.Any = None) -> typing.Any:
        ...
    def items(self) -> list:
        ...
    def keys(self) -> list[str]:
        """
        The names of the values, in insertion order.
        """
    def param_attributes(self, name: str) -> dict[str, str]:
        """
        The attributes (str to str) of a value.
        """
    def set_param_attributes(self, name: str, attributes: typing.Any) -> None:
        ...
    def sub_properties(self, name: str | None = None) -> list:
        """
        The sub-blocks of that name (all without a name), in order.
        """
    def values(self) -> list:
        ...
    @property
    def attributes(self) -> dict[str, str]:
        """
        The block's own attributes (str to str).
        """
    @attributes.setter
    def attributes(self, arg1: typing.Any) -> None:
        ...
class Data:
    """
    Base of the data objects: a name, a transformation matrix and a list of components.
    """
    name: str
    def __copy__(self) -> Data:
        ...
    def __deepcopy__(self, arg0: dict) -> Data:
        ...
    def __repr__(self) -> str:
        ...
    @property
    def components(self) -> DataComponentList:
        ...
    @property
    def matrix(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        The 4x4 transformation matrix; reading it gives a copy.
        """
    @matrix.setter
    def matrix(self, arg1: typing.Any) -> None:
        ...
class DataComponentBase:
    """
    Extra information attached to a data object; its state is its parameters.
    """
    def __getattr__(self, arg0: str) -> typing.Any:
        ...
    def __repr__(self) -> str:
        ...
    def __setattr__(self, arg0: str, arg1: typing.Any) -> None:
        ...
    def configuration(self) -> Properties:
        """
        The values of the parameters, as new Properties.
        """
    def configure(self, properties: Properties) -> None:
        """
        Takes the values of the parameters that properties names; the others stay.
        """
    @property
    def id(self) -> str:
        """
        The identifier under which the component is kept.
        """
class DataComponentList:
    """
    The components of one data object, in order; a kind of component appears at most once.
    """
    def __getitem__(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> DataComponentBase:
        ...
    def __iter__(self) -> collections.abc.Iterator:
        ...
    def __len__(self) -> int:
        ...
    def __repr__(self) -> str:
        ...
    def add(self, component: DataComponentBase) -> DataComponentBase:
        """
        Adds a copy of the component to the component list and returns a reference to the copy.
        When the list holds a component of the same kind already, that one takes over the values.
        """
class LabelDataComponent(DataComponentBase):
    """
    The names, colours and visibility of the label values of a label image.
    """
    def __init__(self) -> None:
        ...
    def label_config(self, label: typing.SupportsInt | typing.SupportsIndex) -> tuple:
        """
        (name, RGBA colour, visible) of a label, its default when none was set.
        """
    def set_label_config(self, label: typing.SupportsInt | typing.SupportsIndex, name: str, color: typing.Any | None = None, visible: bool = True) -> None:
        """
        Names a label value; without a colour it keeps the label's default colour.
        """
    @property
    def labels(self) -> list[int]:
        """
        The label values that have a configuration, in ascending order.
        """
class Modality(enum.IntEnum):
    """
    How the images of a set were acquired.
    """
    CT = ...
    DISTANCE = ...
    LABEL = ...
    MRI = ...
    NA = ...
    NM = ...
    OCT = ...
    ULTRASOUND = ...
    VIDEO = ...
    XRAY = ...
    @classmethod
    def __new__(cls, value):
        ...
    def __format__(self, format_spec):
        """
        Convert to a string according to format_spec.
        """
class SharedImageSet(Data):
    """
    A list of images of one shape and dtype (time steps or a stack), with a modality and a current image.
    """
    modality: Modality
    def __init__(self, images: typing.Any = None, spacing: typing.Any = (1.0, 1.0, 1.0), modality: Modality = Modality.NA) -> None:
        """
        images: one array or a list of arrays of one shape, (H, W) or (D, H, W), and one dtype;
        spacing: (x, y, z) pixel size of every image.
        """
    def __len__(self) -> int:
        ...
    def __repr__(self) -> str:
        ...
    def append(self, image: typing.Any) -> None:
        """
        Adds a copy of an array with the shape and dtype of the set's images.
        """
    def clone(self) -> SharedImageSet:
        """
        A deep copy, or None for an empty set.
        """
    def get(self, index: typing.SupportsInt | typing.SupportsIndex = -1) -> numpy.ndarray[typing.Any, numpy.dtype[typing.Any]]:
        """
        A copy of the pixels of an image; -1 is the current image.
        """
    @property
    def image_matrix(self) -> numpy.typing.NDArray[numpy.float64] | None:
        """
        4x4 image-to-world matrix of the current image (rotation, possibly a mirror or a shear, and the position of voxel (0, 0, 0)), applied after the spacing and before matrix. None for an empty set. Setting it sets every image's.
        """
    @image_matrix.setter
    def image_matrix(self, arg1: typing.Any) -> None:
        ...
    @property
    def label_colors(self) -> dict[int, tuple[float, float, float, float]]:
        """
        RGBA colours (components in [0, 1]) of the label values of the current image, from the file it was read from or set by a script (RGB alone gets alpha 1); empty when nothing gives them. Kept by .cvx files. Setting it replaces the current image's colours.
        """
    @label_colors.setter
    def label_colors(self, arg1: dict[int, collections.abc.Iterable[float]]) -> None:
        ...
    @property
    def label_names(self) -> dict[int, str]:
        """
        Names of the label values of the current image, from the file it was read from (a Slicer segmentation names its segments, a layer each image) or set by a script; empty when nothing names them. Kept by .cvx files. Setting it replaces the current image's names.
        """
    @label_names.setter
    def label_names(self, arg1: dict[int, str]) -> None:
        ...
    @property
    def selected_index(self) -> int:
        """
        Index of the current image.
        """
    @selected_index.setter
    def selected_index(self, arg1: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def spacing(self) -> numpy.typing.NDArray[numpy.float64] | None:
        """
        Pixel size (x, y, z) of the current image, None for an empty set; setting it sets every image's.
        """
    @spacing.setter
    def spacing(self, arg1: typing.Any) -> None:
        ...
    @property
    def voxel_to_world(self) -> numpy.typing.NDArray[numpy.float64] | None:
        """
        4x4 matrix from the voxel index (x, y, z, 1) of the current image to world coordinates: matrix @ image matrix @ diag(spacing, 1); x indexes the last axis of the array from get(). None for an empty set. Setting it gives every image that mapping: spacing becomes the column lengths, the image matrix the rest (see docs/images.md).
        """
    @voxel_to_world.setter
    def voxel_to_world(self, arg1: typing.Any) -> None:
        ...
class Mesh(Data):
    """
    A triangle mesh: vertices, faces indexing them, optional per-vertex normals.
    """
    @typing.overload
    def __init__(self, other: Mesh) -> None:
        """
        A deep copy of another mesh.
        """
    @typing.overload
    def __init__(self, vertices: typing.Any, faces: typing.Any) -> None:
        """
        vertices: (N, 3) finite numbers; faces: (M, 3) vertex indices.
        """
    def __repr__(self) -> str:
        ...
    def compute_normals(self) -> None:
        """
        Per-vertex normals from the area-weighted face normals.
        """
    def set_geometry(self, vertices: typing.Any, faces: typing.Any) -> None:
        """
        Replaces vertices and faces; drops the normals.
        """
    @property
    def faces(self) -> numpy.typing.NDArray[numpy.int64]:
        ...
    @property
    def normals(self) -> numpy.typing.NDArray[numpy.float64] | None:
        """
        (N, 3) per-vertex normals, or None.
        """
    @normals.setter
    def normals(self, arg1: typing.Any) -> None:
        ...
    @property
    def num_faces(self) -> int:
        ...
    @property
    def num_vertices(self) -> int:
        ...
    @property
    def vertices(self) -> numpy.typing.NDArray[numpy.float64]:
        ...
class PointCloud(Data):
    """
    A set of points with optional per-point normals.
    """
    @typing.overload
    def __init__(self, other: PointCloud) -> None:
        """
        A deep copy of another point cloud.
        """
    @typing.overload
    def __init__(self, points: typing.Any, normals: typing.Any = None) -> None:
        """
        points and normals: (N, 3) finite numbers.
        """
    def __repr__(self) -> str:
        ...
    def set_points(self, points: typing.Any, normals: typing.Any = None) -> None:
        ...
    @property
    def normals(self) -> numpy.typing.NDArray[numpy.float64] | None:
        """
        (N, 3) per-point normals, or None.
        """
    @property
    def num_points(self) -> int:
        ...
    @property
    def points(self) -> numpy.typing.NDArray[numpy.float64]:
        ...
class Algorithm:
    """
    A computation with parameters: set the parameters (attributes p_<name>), compute, read the status, take the output.
    To write one in Python, derive from it, call Algorithm.__init__ and define compute().
    """
    class Status(enum.IntEnum):
        """
        How the last compute ended: SUCCESS (0), UNKNOWN (-1, before any compute), ERROR (1), INVALID_INPUT (2), INCOMPLETE_INPUT (3) or CANCELLED (4).
        """
        CANCELLED = ...
        ERROR = ...
        INCOMPLETE_INPUT = ...
        INVALID_INPUT = ...
        SUCCESS = ...
        UNKNOWN = ...
        @staticmethod
        def _generate_next_value_(name, start, count, last_values):
            """
            Generate the next value when not given.
            
            name: the name of the member
            start: the initial start value or None
            count: the number of existing members
            last_values: the list of values assigned
            """
        @staticmethod
        def _new_member_(type, *args, **kwargs):
            """
            Create and return a new object.  See help(type) for accurate signature.
            """
        @classmethod
        def __new__(cls, value):
            ...
        def __format__(self, format_spec):
            """
            Convert to a string according to format_spec.
            """
        def _value_repr_(self):
            """
            Return repr(self).
            """
    def __getattr__(self, arg0: str) -> typing.Any:
        ...
    def __init__(self) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def __setattr__(self, arg0: str, arg1: typing.Any) -> None:
        ...
    def add_output(self, data: Data) -> None:
        """
        Adds a copy of a data object to the output.
        """
    def add_parameter(self, name: str, default: typing.Any) -> None:
        """
        Declares a parameter; its type (bool, int, float, str, vector, matrix) is that of the default.
        """
    def compute(self) -> None:
        """
        Runs the algorithm; status tells whether it succeeded. An exception raised by the progress callback (KeyboardInterrupt included) stops the computation and is raised again here.
        """
    def configuration(self) -> Properties:
        """
        The values of the parameters, as new Properties.
        """
    def configure(self, properties: Properties) -> None:
        """
        Takes the values of the parameters that properties names; the others stay.
        """
    def output(self) -> list:
        """
        Hands over the data objects the last compute produced; a second call returns an empty list.
        """
    def report_progress(self, fraction: typing.SupportsFloat | typing.SupportsIndex, step: str = '') -> bool:
        """
        Reports progress to the callback; False when the computation should stop. An exception raised by the callback is raised here.
        """
    def set_progress_callback(self, callback: typing.Any) -> None:
        """
        Calls callback(fraction, step) on the calling thread while compute runs (fraction in [0, 1]); a callback that raises stops the computation. None removes it.
        """
    def set_status(self, status: typing.SupportsInt | typing.SupportsIndex, message: str = '') -> None:
        ...
    @property
    def computing(self) -> bool:
        """
        True while a compute runs (inside its progress callback): its parameters refuse changes and a second compute is refused.
        """
    @property
    def results(self) -> dict[str, typing.Any]:
        """
        The figures of the last compute by name, as a new dict (vectors and matrices as NumPy arrays, groups as lists of dicts); empty before a compute.
        """
    @property
    def status(self) -> typing.Any:
        """
        An Algorithm.Status (an int): SUCCESS (0) after a successful compute, UNKNOWN (-1) before any.
        """
    @property
    def status_message(self) -> str:
        """
        Why the last compute failed.
        """
def _live_instances() -> dict:
    """
    Live host objects by kind (data objects, components, and once the anatomy library is loaded, collections and structures); for tests.
    """
def _load(path: os.PathLike | str | bytes, before_reading: typing.Any = None) -> Data:
    """
    Reads the data object stored in a file (see corvaxis.open). before_reading(kind) is called once the file is checked and before its content is read.
    """
def _load_nifti(path: os.PathLike | str | bytes, modality: Modality | None = None) -> SharedImageSet:
    """
    Reads a NIfTI image (.nii, .nii.gz, or a pair .hdr and .img) as an image set (see corvaxis.open).
    """
def _load_nrrd(path: os.PathLike | str | bytes, modality: Modality | None = None) -> SharedImageSet:
    """
    Reads a NRRD image (.nrrd, or a .nhdr header and its data file) as an image set (see corvaxis.open).
    """
def _save(data: Data, path: os.PathLike | str | bytes) -> None:
    """
    Writes a data object to a file, atomically (see corvaxis.save).
    """
def _save_nifti(images: SharedImageSet, path: os.PathLike | str | bytes, version: typing.SupportsInt | typing.SupportsIndex | None = None) -> None:
    """
    Writes an image set as a NIfTI image, atomically (see corvaxis.save); version 1 or 2 chooses the header, None the smallest that holds the set.
    """
def computing_threads() -> int:
    """
    How many threads the algorithms of this process share their work among.
    """
def set_computing_threads(count: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Sets how many threads the algorithms of this process share their work among; 0 (the start) means the machine's hardware threads. A process that runs beside others doing the same work (one subject per process, say) sets 1. Results never depend on it. ValueError for a negative count.
    """
