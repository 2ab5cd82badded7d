"""
Corvaxis Anatomy Plugin Python Bindings
=======================================

Core Functionality Areas
------------------------

**Anatomical Data Structures:**

- :class:`~corvaxis.anatomy.AnatomicalStructure`: Individual anatomical structure with keypoints, planes, meshes, and images
- :class:`~corvaxis.anatomy.AnatomicalStructureCollection`: Container for multiple anatomical structures
- :class:`~corvaxis.anatomy.GenericASC`: Generic anatomical structure collection implementation

**Registration and Processing:**

- :class:`~corvaxis.anatomy.ASCRegistration`: Registration between anatomical structure collections
- :class:`~corvaxis.anatomy.GenerateLinearShapeModel`: Generate linear shape models from anatomical structure collections

Example Usage
-------------

**Basic anatomical structure access:**

>>> import corvaxis.anatomy as anatomy
>>> import corvaxis

>>> # Load anatomical structure collection
>>> asc = corvaxis.open("anatomical_structures.cvx")

>>> # Access individual anatomical structures
>>> num_structures = asc.num_anatomical_structures()
>>> print(f"Found {num_structures} anatomical structures")

>>> # Get structure by identifier
>>> liver = asc.anatomical_structure("liver")
>>> print(f"Liver identifier: {liver.identifier}")

>>> # Access keypoints using new interface
>>> keypoints = liver.keypoints2
>>> print(f"Available keypoints: {keypoints.keys()}")
>>> tip_point = keypoints["tip"]

>>> # Access meshes
>>> meshes = liver.meshes
>>> if "surface" in meshes:
...     surface_mesh = meshes["surface"]

**Working with transformations:**

>>> # Get transformation matrices
>>> world_to_local = liver.matrix_from_world
>>> local_to_world = liver.matrix_to_world

>>> # Transform keypoints to world coordinates
>>> world_tip = local_to_world @ tip_point

**Registration example:**

>>> # Load two anatomical structure collections
>>> fixed_asc = corvaxis.open("template.cvx")
>>> moving_asc = corvaxis.open("patient.cvx")

>>> # Create registration algorithm
>>> registration = anatomy.ASCRegistration(fixed_asc, moving_asc)
>>> registration.registration_method = anatomy.ASCRegistration.RegistrationMethod.PointsAndPlanes

>>> # Compute registration
>>> registration.compute()

**Creating anatomical structures from label maps:**

>>> # Load label image
>>> label_image = corvaxis.open("segmentation.nii")

>>> # Define label mappings
>>> label_mapping = {1: "liver", 2: "kidney", 3: "spleen"}

>>> # Create generic ASC from label map
>>> asc = anatomy.generic_asc_from_label_map(label_image, label_mapping)

>>> # Access created structures
>>> liver = asc.anatomical_structure("liver")

**Shape model generation:**

>>> # Load mean shape template
>>> mean_shape = corvaxis.open("mean_template.cvx")

>>> # Create shape model generator
>>> shape_model_gen = anatomy.GenerateLinearShapeModel(mean_shape)

>>> # Configure input directory with training data
>>> shape_model_gen.p_inputDirectory = "/path/to/training/data"

>>> # Generate shape model
>>> results = shape_model_gen()
>>> shape_model = results["shape_model"]
>>> updated_mean = results.get("mean")

For detailed documentation of specific classes and functions, use Python's
built-in help() function or access the docstrings directly.

Note: This module requires the Corvaxis Anatomy plugin to be properly installed.
"""
from __future__ import annotations
import builtins
import collections.abc
import corvaxis._core
import corvaxis.graph
import enum
import numpy
import numpy.typing
import typing
__all__: list[str] = ['ASCDisplayOptions', 'ASCRegistration', 'AnatomicalStructure', 'AnatomicalStructureCollection', 'AnatomicalStructureInvalidException', 'GenerateLinearShapeModel', 'GenericASC', 'GenericASCFromMultiLabelMap', 'GenericAnatomicalStructure', 'KeyValueDataWrapperGraph', 'KeyValueDataWrapperMesh', 'KeyValueDataWrapperPointCloud', 'KeyValueDataWrapperSharedImageSet', 'KeyValueDataWrapperVec3', 'KeyValueDataWrapperVec4', 'Selector', 'SelectorElem', 'StyleProperty', 'StyleSheet', 'generic_asc_from_label_map']
class SelectorElem:
    """
    SelectorElem is a class for querying objects.
    """
    @staticmethod
    def parse(arg0: str) -> SelectorElem | None:
        ...
    def __or__(self, arg0: SelectorElem | Selector) -> Selector:
        ...
    def __repr__(self) -> str:
        ...
class Selector:
    """
    Selector is a class combining with logical OR multiple SelectorElem objects.
    """
    @staticmethod
    def parse(arg0: str) -> Selector | None:
        ...
    def __init__(self, arg0: SelectorElem | collections.abc.Sequence[SelectorElem]) -> None:
        ...
    def __or__(self, arg0: SelectorElem) -> Selector:
        ...
    def __repr__(self) -> str:
        ...
class StyleSheet:
    """
    Class for managing a logically grouped set of style rules.
    """
    def __init__(self, name: str) -> None:
        """
        Constructor that creates a single (empty) Style sheet.
        """
    def __repr__(self) -> str:
        ...
    def append_or_modify(self, arg0: Selector | None | str, arg1: collections.abc.Callable) -> bool:
        """
        The declaration of a style rule identified by the selector is appended (if non-existent) or modified using the given callback.
        """
    @property
    def enabled(self) -> bool:
        """
        True if the style sheet is enabled in the styling cascade.
        """
    @enabled.setter
    def enabled(self, arg1: bool) -> None:
        ...
    @property
    def name(self) -> str:
        """
        The name identifying the style sheet.
        """
    @name.setter
    def name(self, arg1: str) -> None:
        ...
class AnatomicalStructureInvalidException(Exception):
    pass
class KeyValueDataWrapperVec3:
    """
    KeyValueDataWrapper encapsulates a key-value store `KeyValueStore` holding data of type `T` with specific type handling. 
    It provides a Python-friendly interface to access and manipulate data stored in a KeyValueStore 
    using string-based keys. The KeyValueDataWrapper ensures that the data is still valid when accessed and
    raises an `AnatomicalStructureInvalidException` if the data is no longer valid.
    Data are copied or cloned to ensure that the data is still valid when the python object is used, 
    except for shared_ptr value types indicated by the `mutable_return_values` attribute.
    
    Parameters:
    	data_store (KeyValueStore): A reference to the KeyValueStore that holds the actual data.
    	anatomical_structure (AnatomicalStructureWrapper): A reference to an anatomical structure, providing context.
    	identifier (str): A unique identifier for this data wrapper instance, used for logging or tracking.
    """
    class _Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
        def __getitem__(self, arg0: str) -> corvaxis._core.Properties:
            ...
    def __bool__(self) -> bool:
        ...
    def __contains__(self, arg0: str) -> bool:
        ...
    def __delitem__(self, arg0: str) -> None:
        ...
    def __getitem__(self, arg0: str) -> numpy.ndarray[tuple[typing.Literal[3]], numpy.dtype[numpy.float64]]:
        ...
    def __ior__(self, other: dict) -> KeyValueDataWrapperVec3:
        """
        "Implements the |= operator functionality.
        """
    def __iter__(self) -> collections.abc.Iterator:
        ...
    def __len__(self) -> int:
        ...
    def __repr__(self) -> str:
        ...
    def __setitem__(self, arg0: str, arg1: numpy.typing.ArrayLike) -> None:
        ...
    def asdict(self) -> dict:
        """
        Convert the key-value store into a dictionary.
        """
    def from_dict(self, dict_in: dict, clear: bool = True) -> None:
        """
        Set the key-value store from a dictionary.
        """
    def keys(self) -> list[str]:
        """
        Get a list of all keys.
        """
    def update(self, dict_in: dict) -> None:
        """
        Update the key-value store from a dictionary.
        """
    def values(self) -> list[numpy.ndarray[tuple[typing.Literal[3]], numpy.dtype[numpy.float64]]]:
        """
        Get a list of all values.
        """
    @property
    def attributes(self) -> KeyValueDataWrapperVec3._Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
    @property
    def mutable_return_values(self) -> bool:
        """
        Indicate whether the KeyValueDataWrapper returns mutable values.
        """
    @property
    def valid(self) -> bool:
        """
        Indicate whether the anatomical structure object is still valid.
        """
class KeyValueDataWrapperVec4:
    """
    KeyValueDataWrapper encapsulates a key-value store `KeyValueStore` holding data of type `T` with specific type handling. 
    It provides a Python-friendly interface to access and manipulate data stored in a KeyValueStore 
    using string-based keys. The KeyValueDataWrapper ensures that the data is still valid when accessed and
    raises an `AnatomicalStructureInvalidException` if the data is no longer valid.
    Data are copied or cloned to ensure that the data is still valid when the python object is used, 
    except for shared_ptr value types indicated by the `mutable_return_values` attribute.
    
    Parameters:
    	data_store (KeyValueStore): A reference to the KeyValueStore that holds the actual data.
    	anatomical_structure (AnatomicalStructureWrapper): A reference to an anatomical structure, providing context.
    	identifier (str): A unique identifier for this data wrapper instance, used for logging or tracking.
    """
    class _Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
        def __getitem__(self, arg0: str) -> corvaxis._core.Properties:
            ...
    def __bool__(self) -> bool:
        ...
    def __contains__(self, arg0: str) -> bool:
        ...
    def __delitem__(self, arg0: str) -> None:
        ...
    def __getitem__(self, arg0: str) -> numpy.ndarray[tuple[typing.Literal[4]], numpy.dtype[numpy.float64]]:
        ...
    def __ior__(self, other: dict) -> KeyValueDataWrapperVec4:
        """
        "Implements the |= operator functionality.
        """
    def __iter__(self) -> collections.abc.Iterator:
        ...
    def __len__(self) -> int:
        ...
    def __repr__(self) -> str:
        ...
    def __setitem__(self, arg0: str, arg1: numpy.typing.ArrayLike) -> None:
        ...
    def asdict(self) -> dict:
        """
        Convert the key-value store into a dictionary.
        """
    def from_dict(self, dict_in: dict, clear: bool = True) -> None:
        """
        Set the key-value store from a dictionary.
        """
    def keys(self) -> list[str]:
        """
        Get a list of all keys.
        """
    def update(self, dict_in: dict) -> None:
        """
        Update the key-value store from a dictionary.
        """
    def values(self) -> list[numpy.ndarray[tuple[typing.Literal[4]], numpy.dtype[numpy.float64]]]:
        """
        Get a list of all values.
        """
    @property
    def attributes(self) -> KeyValueDataWrapperVec4._Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
    @property
    def mutable_return_values(self) -> bool:
        """
        Indicate whether the KeyValueDataWrapper returns mutable values.
        """
    @property
    def valid(self) -> bool:
        """
        Indicate whether the anatomical structure object is still valid.
        """
class KeyValueDataWrapperSharedImageSet:
    """
    KeyValueDataWrapper encapsulates a key-value store `KeyValueStore` holding data of type `T` with specific type handling. 
    It provides a Python-friendly interface to access and manipulate data stored in a KeyValueStore 
    using string-based keys. The KeyValueDataWrapper ensures that the data is still valid when accessed and
    raises an `AnatomicalStructureInvalidException` if the data is no longer valid.
    Data are copied or cloned to ensure that the data is still valid when the python object is used, 
    except for shared_ptr value types indicated by the `mutable_return_values` attribute.
    
    Parameters:
    	data_store (KeyValueStore): A reference to the KeyValueStore that holds the actual data.
    	anatomical_structure (AnatomicalStructureWrapper): A reference to an anatomical structure, providing context.
    	identifier (str): A unique identifier for this data wrapper instance, used for logging or tracking.
    """
    class _Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
        def __getitem__(self, arg0: str) -> corvaxis._core.Properties:
            ...
    def __bool__(self) -> bool:
        ...
    def __contains__(self, arg0: str) -> bool:
        ...
    def __delitem__(self, arg0: str) -> None:
        ...
    def __getitem__(self, arg0: str) -> corvaxis._core.SharedImageSet:
        ...
    def __ior__(self, other: dict) -> KeyValueDataWrapperSharedImageSet:
        """
        "Implements the |= operator functionality.
        """
    def __iter__(self) -> collections.abc.Iterator:
        ...
    def __len__(self) -> int:
        ...
    def __repr__(self) -> str:
        ...
    def __setitem__(self, arg0: str, arg1: corvaxis._core.SharedImageSet) -> None:
        ...
    def asdict(self) -> dict:
        """
        Convert the key-value store into a dictionary.
        """
    def from_dict(self, dict_in: dict, clear: bool = True) -> None:
        """
        Set the key-value store from a dictionary.
        """
    def keys(self) -> list[str]:
        """
        Get a list of all keys.
        """
    def update(self, dict_in: dict) -> None:
        """
        Update the key-value store from a dictionary.
        """
    def values(self) -> list[corvaxis._core.SharedImageSet]:
        """
        Get a list of all values.
        """
    @property
    def attributes(self) -> KeyValueDataWrapperSharedImageSet._Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
    @property
    def mutable_return_values(self) -> bool:
        """
        Indicate whether the KeyValueDataWrapper returns mutable values.
        """
    @property
    def valid(self) -> bool:
        """
        Indicate whether the anatomical structure object is still valid.
        """
class KeyValueDataWrapperMesh:
    """
    KeyValueDataWrapper encapsulates a key-value store `KeyValueStore` holding data of type `T` with specific type handling. 
    It provides a Python-friendly interface to access and manipulate data stored in a KeyValueStore 
    using string-based keys. The KeyValueDataWrapper ensures that the data is still valid when accessed and
    raises an `AnatomicalStructureInvalidException` if the data is no longer valid.
    Data are copied or cloned to ensure that the data is still valid when the python object is used, 
    except for shared_ptr value types indicated by the `mutable_return_values` attribute.
    
    Parameters:
    	data_store (KeyValueStore): A reference to the KeyValueStore that holds the actual data.
    	anatomical_structure (AnatomicalStructureWrapper): A reference to an anatomical structure, providing context.
    	identifier (str): A unique identifier for this data wrapper instance, used for logging or tracking.
    """
    class _Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
        def __getitem__(self, arg0: str) -> corvaxis._core.Properties:
            ...
    def __bool__(self) -> bool:
        ...
    def __contains__(self, arg0: str) -> bool:
        ...
    def __delitem__(self, arg0: str) -> None:
        ...
    def __getitem__(self, arg0: str) -> corvaxis._core.Mesh:
        ...
    def __ior__(self, other: dict) -> KeyValueDataWrapperMesh:
        """
        "Implements the |= operator functionality.
        """
    def __iter__(self) -> collections.abc.Iterator:
        ...
    def __len__(self) -> int:
        ...
    def __repr__(self) -> str:
        ...
    def __setitem__(self, arg0: str, arg1: corvaxis._core.Mesh) -> None:
        ...
    def asdict(self) -> dict:
        """
        Convert the key-value store into a dictionary.
        """
    def from_dict(self, dict_in: dict, clear: bool = True) -> None:
        """
        Set the key-value store from a dictionary.
        """
    def keys(self) -> list[str]:
        """
        Get a list of all keys.
        """
    def update(self, dict_in: dict) -> None:
        """
        Update the key-value store from a dictionary.
        """
    def values(self) -> list[corvaxis._core.Mesh]:
        """
        Get a list of all values.
        """
    @property
    def attributes(self) -> KeyValueDataWrapperMesh._Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
    @property
    def mutable_return_values(self) -> bool:
        """
        Indicate whether the KeyValueDataWrapper returns mutable values.
        """
    @property
    def valid(self) -> bool:
        """
        Indicate whether the anatomical structure object is still valid.
        """
class KeyValueDataWrapperPointCloud:
    """
    KeyValueDataWrapper encapsulates a key-value store `KeyValueStore` holding data of type `T` with specific type handling. 
    It provides a Python-friendly interface to access and manipulate data stored in a KeyValueStore 
    using string-based keys. The KeyValueDataWrapper ensures that the data is still valid when accessed and
    raises an `AnatomicalStructureInvalidException` if the data is no longer valid.
    Data are copied or cloned to ensure that the data is still valid when the python object is used, 
    except for shared_ptr value types indicated by the `mutable_return_values` attribute.
    
    Parameters:
    	data_store (KeyValueStore): A reference to the KeyValueStore that holds the actual data.
    	anatomical_structure (AnatomicalStructureWrapper): A reference to an anatomical structure, providing context.
    	identifier (str): A unique identifier for this data wrapper instance, used for logging or tracking.
    """
    class _Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
        def __getitem__(self, arg0: str) -> corvaxis._core.Properties:
            ...
    def __bool__(self) -> bool:
        ...
    def __contains__(self, arg0: str) -> bool:
        ...
    def __delitem__(self, arg0: str) -> None:
        ...
    def __getitem__(self, arg0: str) -> corvaxis._core.PointCloud:
        ...
    def __ior__(self, other: dict) -> KeyValueDataWrapperPointCloud:
        """
        "Implements the |= operator functionality.
        """
    def __iter__(self) -> collections.abc.Iterator:
        ...
    def __len__(self) -> int:
        ...
    def __repr__(self) -> str:
        ...
    def __setitem__(self, arg0: str, arg1: corvaxis._core.PointCloud) -> None:
        ...
    def asdict(self) -> dict:
        """
        Convert the key-value store into a dictionary.
        """
    def from_dict(self, dict_in: dict, clear: bool = True) -> None:
        """
        Set the key-value store from a dictionary.
        """
    def keys(self) -> list[str]:
        """
        Get a list of all keys.
        """
    def update(self, dict_in: dict) -> None:
        """
        Update the key-value store from a dictionary.
        """
    def values(self) -> list[corvaxis._core.PointCloud]:
        """
        Get a list of all values.
        """
    @property
    def attributes(self) -> KeyValueDataWrapperPointCloud._Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
    @property
    def mutable_return_values(self) -> bool:
        """
        Indicate whether the KeyValueDataWrapper returns mutable values.
        """
    @property
    def valid(self) -> bool:
        """
        Indicate whether the anatomical structure object is still valid.
        """
class KeyValueDataWrapperGraph:
    """
    KeyValueDataWrapper encapsulates a key-value store `KeyValueStore` holding data of type `T` with specific type handling. 
    It provides a Python-friendly interface to access and manipulate data stored in a KeyValueStore 
    using string-based keys. The KeyValueDataWrapper ensures that the data is still valid when accessed and
    raises an `AnatomicalStructureInvalidException` if the data is no longer valid.
    Data are copied or cloned to ensure that the data is still valid when the python object is used, 
    except for shared_ptr value types indicated by the `mutable_return_values` attribute.
    
    Parameters:
    	data_store (KeyValueStore): A reference to the KeyValueStore that holds the actual data.
    	anatomical_structure (AnatomicalStructureWrapper): A reference to an anatomical structure, providing context.
    	identifier (str): A unique identifier for this data wrapper instance, used for logging or tracking.
    """
    class _Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
        def __getitem__(self, arg0: str) -> corvaxis._core.Properties:
            ...
    def __bool__(self) -> bool:
        ...
    def __contains__(self, arg0: str) -> bool:
        ...
    def __delitem__(self, arg0: str) -> None:
        ...
    def __getitem__(self, arg0: str) -> corvaxis.graph.Graph:
        ...
    def __ior__(self, other: dict) -> KeyValueDataWrapperGraph:
        """
        "Implements the |= operator functionality.
        """
    def __iter__(self) -> collections.abc.Iterator:
        ...
    def __len__(self) -> int:
        ...
    def __repr__(self) -> str:
        ...
    def __setitem__(self, arg0: str, arg1: corvaxis.graph.Graph) -> None:
        ...
    def asdict(self) -> dict:
        """
        Convert the key-value store into a dictionary.
        """
    def from_dict(self, dict_in: dict, clear: bool = True) -> None:
        """
        Set the key-value store from a dictionary.
        """
    def keys(self) -> list[str]:
        """
        Get a list of all keys.
        """
    def update(self, dict_in: dict) -> None:
        """
        Update the key-value store from a dictionary.
        """
    def values(self) -> list[corvaxis.graph.Graph]:
        """
        Get a list of all values.
        """
    @property
    def attributes(self) -> KeyValueDataWrapperGraph._Attributes:
        """
        Attributes of KeyValueDataWrapper's elements.
        """
    @property
    def mutable_return_values(self) -> bool:
        """
        Indicate whether the KeyValueDataWrapper returns mutable values.
        """
    @property
    def valid(self) -> bool:
        """
        Indicate whether the anatomical structure object is still valid.
        """
class AnatomicalStructure:
    def get_keypoint(self, arg0: str) -> numpy.ndarray[tuple[typing.Literal[3]], numpy.dtype[numpy.float64]]:
        ...
    def remove_keypoint(self, arg0: str) -> None:
        """
        Remove a keypoint, raises KeyError if it does not exist
        """
    def set_keypoint(self, arg0: str, arg1: numpy.typing.ArrayLike) -> None:
        """
        Set or overwrite an existing keypoint
        """
    @property
    def graphs(self) -> KeyValueDataWrapperGraph:
        """
        Key value access to graphs. Assignable from dict.
        """
    @graphs.setter
    def graphs(self, arg1: dict | KeyValueDataWrapperGraph) -> None:
        ...
    @property
    def identifier(self) -> str:
        """
        Returns the identifier of the anatomical structure.
        """
    @property
    def images(self) -> KeyValueDataWrapperSharedImageSet:
        """
        Key value access to images. Assignable from dict.
        """
    @images.setter
    def images(self, arg1: dict | KeyValueDataWrapperSharedImageSet) -> None:
        ...
    @property
    def is_2d(self) -> bool:
        """
        Returns true if the anatomical structure is 2D, false if it is 3D.
        """
    @property
    def keypoints(self) -> dict:
        """
        Dictionary getter (of a copy of) and setter access for all keypoints. Use `get_keypoint` and `set_keypoint` for access to individual keypoints.
        """
    @keypoints.setter
    def keypoints(self, arg1: dict) -> None:
        ...
    @property
    def keypoints2(self) -> KeyValueDataWrapperVec3:
        """
        Key value access to keypoints. Assignable from dict.
        """
    @keypoints2.setter
    def keypoints2(self, arg1: dict | KeyValueDataWrapperVec3) -> None:
        ...
    @property
    def matrix_from_world(self) -> numpy.ndarray[tuple[typing.Literal[4], typing.Literal[4]], numpy.dtype[numpy.float64]]:
        """
        Access to 4x4 matrix representing transformation from world coordinate space to the local coordinate space of this structure.
        """
    @matrix_from_world.setter
    def matrix_from_world(self, arg1: numpy.typing.ArrayLike) -> None:
        ...
    @property
    def matrix_to_world(self) -> numpy.ndarray[tuple[typing.Literal[4], typing.Literal[4]], numpy.dtype[numpy.float64]]:
        """
        Access to 4x4 matrix representing transformation from local coordinate space of this structure to the world coordinate space.
        """
    @matrix_to_world.setter
    def matrix_to_world(self, arg1: numpy.typing.ArrayLike) -> None:
        ...
    @property
    def meshes(self) -> KeyValueDataWrapperMesh:
        """
        Key value access to meshes. Assignable from dict.
        """
    @meshes.setter
    def meshes(self, arg1: dict | KeyValueDataWrapperMesh) -> None:
        ...
    @property
    def planes(self) -> KeyValueDataWrapperVec4:
        """
        Key value access to planes. Assignable from dict.
        """
    @planes.setter
    def planes(self, arg1: dict | KeyValueDataWrapperVec4) -> None:
        ...
    @property
    def pointclouds(self) -> KeyValueDataWrapperPointCloud:
        """
        Key value access to pointclouds. Assignable from dict.
        """
    @pointclouds.setter
    def pointclouds(self, arg1: dict | KeyValueDataWrapperPointCloud) -> None:
        ...
    @property
    def valid(self) -> bool:
        """
        Indicate whether the object is still valid, if invalid, member access raises an AnatomicalStructureInvalidException
        """
class GenericAnatomicalStructure(AnatomicalStructure):
    """
    Generic anatomical structure implementation.
    """
    identifier: str
    @typing.overload
    def __init__(self) -> None:
        ...
    @typing.overload
    def __init__(self, arg0: str) -> None:
        ...
class ASCDisplayOptions(corvaxis._core.DataComponentBase):
    """
    DataComponent to store AnatomicalStructureCollection-specific rendering options.
    """
    def __init__(self) -> None:
        ...
    def add_style_sheet(self, arg0: StyleSheet, arg1: str | None) -> None:
        ...
    def get_or_append_style_sheet(self, arg0: str, arg1: str | None) -> StyleSheet:
        ...
    def remove_style_sheets_by_name(self, arg0: str) -> None:
        ...
class AnatomicalStructureCollection(corvaxis._core.Data):
    """
    AnatomicalStructureCollection provides an interface for managing collections of AnatomicalStructure objects.
    """
    def __len__(self) -> int:
        """
        Same as :meth:`num_anatomical_structures`; enables ``len(asc)``.
        """
    def __repr__(self) -> str:
        ...
    def add(self, structure: AnatomicalStructure) -> None:
        """
        Add a clone of the structure to the collection. Raises ValueError if the collection does not accept this structure type.
        """
    @typing.overload
    def anatomical_structure(self, index: int) -> AnatomicalStructure:
        """
        Returns the anatomical structure at the given index
        """
    @typing.overload
    def anatomical_structure(self, identifier: str) -> AnatomicalStructure:
        """
        Returns the anatomical structure with the given identifier
        """
    def anatomical_structure_identifiers(self) -> list[str]:
        """
        Returns a list of the names of all anatomical structures in the collection
        """
    def clone(self) -> AnatomicalStructureCollection:
        ...
    def num_anatomical_structures(self) -> int:
        """
        Returns the number of anatomical structures in the collection
        """
    def pop(self, index_or_identifier: int | str) -> AnatomicalStructure:
        """
        Remove and return a structure from an ASC. You can pass an index or a string identifier.
        """
class GenericASC(AnatomicalStructureCollection, corvaxis._core.Data):
    """
    GenericASC holds the data associated with a generic anatomical structure collection.
    """
    def __init__(self) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def clone(self) -> GenericASC:
        ...
class ASCRegistration(corvaxis._core.Algorithm):
    class RegistrationMethod:
        """
        Members:
        
          DeformableMeshRegistration
        
          RigidImages
        
          PointsAndPlanes
        
          PointsRigidScaling
        """
        DeformableMeshRegistration: typing.ClassVar[ASCRegistration.RegistrationMethod]
        PointsAndPlanes: typing.ClassVar[ASCRegistration.RegistrationMethod]
        PointsRigidScaling: typing.ClassVar[ASCRegistration.RegistrationMethod]
        RigidImages: typing.ClassVar[ASCRegistration.RegistrationMethod]
        __members__: typing.ClassVar[dict[str, ASCRegistration.RegistrationMethod]]
        @typing.overload
        def __eq__(self, other: ASCRegistration.RegistrationMethod) -> bool:
            ...
        @typing.overload
        def __eq__(self, other: typing.Any) -> bool:
            ...
        def __getstate__(self) -> int:
            ...
        def __hash__(self) -> int:
            ...
        def __index__(self) -> int:
            ...
        def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
            ...
        def __int__(self) -> int:
            ...
        @typing.overload
        def __ne__(self, other: ASCRegistration.RegistrationMethod) -> bool:
            ...
        @typing.overload
        def __ne__(self, other: typing.Any) -> bool:
            ...
        def __repr__(self) -> str:
            ...
        def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex) -> None:
            ...
        def __str__(self) -> str:
            ...
        @property
        def name(self) -> str:
            ...
        @property
        def value(self) -> int:
            ...
    def __init__(self, fixed: AnatomicalStructureCollection, moving: AnatomicalStructureCollection) -> None:
        """
        Registration between AnatomicalStructureCollectionObjects
        """
    @property
    def registration_method(self) -> ASCRegistration.RegistrationMethod:
        """
        Registration method
        """
    @registration_method.setter
    def registration_method(self, arg1: ASCRegistration.RegistrationMethod) -> None:
        ...
class GenerateLinearShapeModel(corvaxis._core.Algorithm):
    def __call__(self) -> dict[str, AnatomicalStructureCollection]:
        """
        Compute and return the mean shape (if configured to be updated) and the linear shape model
        """
    def __init__(self, mean_shape: AnatomicalStructureCollection) -> None:
        """
        Generate a linear shape model from a set of AnatomicalStructureCollections.
        Input data are the mean shape and a set of .cvx files with AnatomicalStructureCollections located in the input directory.
        The mean shape defines the anatomical structures of interest and can optionally be updated iteratively in batches
        before the linear shape model is computed.
        
        Args:
        	mean_shape: AnatomicalStructureCollection that defines the registration target and structures of interest.
        """
class GenericASCFromMultiLabelMap(corvaxis._core.Algorithm):
    """
    Builds a GenericASC from a label image with the surface chosen by the parameters (generic_asc_from_label_map runs it with the defaults).
    Parameters (p_<name> attributes): surface (Surface.SMOOTH, the default, or Surface.VOXEL), decimate (the share of triangles kept, in (0, 1]; 1 keeps all), includeUnnamedLabels (False).
    """
    class Surface(enum.IntEnum):
        """
        The kind of surface each structure gets: SMOOTH (smoothed, touching structures sharing one interface, the voxels' topology and volume) or VOXEL (marching cubes through the voxels' edges).
        """
        SMOOTH = ...
        VOXEL = ...
        @classmethod
        def __new__(cls, value):
            ...
        def __format__(self, format_spec):
            """
            Convert to a string according to format_spec.
            """
    def __call__(self) -> GenericASC:
        """
        Computes and returns the collection; raises RuntimeError with the status message on failure.
        """
    def __init__(self, label_images: corvaxis._core.SharedImageSet, labels: dict[int, str]) -> None:
        """
        A label image set (one image, Modality.LABEL) and the names of its labels.
        """
class StyleProperty(enum.StrEnum):
    """
    Known style "property-names"
    """
    ALLOW_OBJECT_ATTRIBUTES_OVERRIDE = ...
    ALPHA = ...
    ALPHA_CIRCLE_VISUALIZATION = ...
    ALPHA_CROSS_SECTION = ...
    ALPHA_LINE = ...
    ALPHA_OUTLINE = ...
    ALPHA_POINT = ...
    ALPHA_SURFACE = ...
    ALPHA_WIREFRAME = ...
    AMBIENT_SURFACE = ...
    AS_CROSSHAIR = ...
    CIRCLE_VISUALIZATION_FEATURE_NAME = ...
    COLOR = ...
    COLORMAP = ...
    COLOR_CIRCLE_VISUALIZATION = ...
    COLOR_CROSS_SECTION = ...
    COLOR_LINE = ...
    COLOR_OUTLINE = ...
    COLOR_POINT = ...
    COLOR_SURFACE = ...
    COLOR_WIREFRAME = ...
    DIFFUSE_SURFACE = ...
    DRAW_DIRECTION_ON_LINES = ...
    LABEL_PIXEL_OFFSET = ...
    LINE_BLENDING_EDGE_FEATURE_NAME = ...
    LINE_BLENDING_NODE_FEATURE_NAME = ...
    LINE_WIDTH = ...
    MATERIAL_MODE = ...
    ONLY_DRAW_NONTRIVIAL_NODES = ...
    OUTLINE_WIDTH = ...
    PLANE_NORMAL_LENGTH = ...
    POINT_SIZE = ...
    SHININESS_SURFACE = ...
    SHOW_LABEL_TEXT = ...
    SHOW_LABEL_TEXT_DEBUG = ...
    SHOW_NODE_LABELS = ...
    SHOW_ONLY_PLANE_NORMALS = ...
    SMOOTH_SPLINE = ...
    SPECULAR_SURFACE = ...
    TUBE_END_T = ...
    TUBE_THICKNESS = ...
    VISIBILITY = ...
    VISIBILITY_CIRCLE_VISUALIZATION = ...
    VISIBILITY_CROSS_SECTION = ...
    VISIBILITY_LINE = ...
    VISIBILITY_OUTLINE = ...
    VISIBILITY_POINT = ...
    VISIBILITY_SURFACE = ...
    VISIBILITY_WIREFRAME = ...
    @staticmethod
    def _generate_next_value_(name, start, count, last_values):
        """
        Return the lower-cased version of the member name.
        """
    @classmethod
    def __new__(cls, value):
        ...
    @classmethod
    def _new_member_(cls, *values):
        """
        values must already be of type `str`
        """
    def __format__(self, format_spec):
        """
        Return a formatted version of the string as described by format_spec.
        """
    def __str__(self):
        """
        Return str(self).
        """
    def _value_repr_(self):
        """
        Return repr(self).
        """
def generic_asc_from_label_map(arg0: corvaxis._core.SharedImageSet, arg1: dict[int, str]) -> GenericASC:
    ...
