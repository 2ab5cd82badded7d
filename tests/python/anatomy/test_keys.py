import subprocess
import sys
import textwrap
import types

import pytest

import corvaxis.anatomy  # noqa: F401  (importing the module builds the keys tree)
import corvaxis

KEY_COUNT = 155

# Attribute path below corvaxis.keys -> expected key, a few from every group of keys.
SAMPLES = [
    ("position", "Corvaxis.Position"),
    ("registration_descriptor", "Corvaxis.RegistrationDescriptor"),
    ("weight_image", "Corvaxis.WeightImage"),
    ("lesion", "Corvaxis.Lesion"),
    ("bounding_box", "Corvaxis.BoundingBox"),
    ("bounding_box.upper_left", "Corvaxis.BoundingBox.UpperLeft"),
    ("bounding_box.lower_right_back", "Corvaxis.BoundingBox.LowerRightBack"),
    ("spine.vertebra.left_pedicle.center", "Corvaxis.Spine.Vertebra.LeftPedicle.Center"),
    ("spine.vertebra.right_pedicle.cross_section", "Corvaxis.Spine.Vertebra.RightPedicle.CrossSection"),
    ("spine.vertebra.left_superior_articular_process", "Corvaxis.Spine.Vertebra.LeftSuperiorArticularProcess"),
    ("spine.vertebra.inferior_end_plate", "Corvaxis.Spine.Vertebra.InferiorEndPlate"),
    ("spine.sacrum.left_foramen1", "Corvaxis.Spine.Sacrum.LeftForamen1"),
    ("spine.sacrum.right_foramen4", "Corvaxis.Spine.Sacrum.RightForamen4"),
    ("spine.sacrum.end_plate.center", "Corvaxis.Spine.Sacrum.EndPlate.Center"),
    ("spine.cervical_vertrebrae", "Corvaxis.Spine.CervicalVertrebrae"),
    ("spine.intervertebral_disc.center", "Corvaxis.Spine.IntervertebralDisc.Center"),
    ("costal_cartilage", "Corvaxis.CostalCartilage"),
    ("left_clavicula", "Corvaxis.LeftClavicula"),
    ("ribs", "Corvaxis.Ribs"),
    ("ribs.left_rib1", "Corvaxis.Ribs.LeftRib1"),
    ("ribs.left_rib10", "Corvaxis.Ribs.LeftRib10"),
    ("ribs.right_rib12", "Corvaxis.Ribs.RightRib12"),
    ("pelvis.left_hip", "Corvaxis.Pelvis.LeftHip"),
    ("ilium", "Corvaxis.Ilium"),
    ("left_leg.femur.head.center", "Corvaxis.LeftLeg.Femur.Head.Center"),
    ("right_leg.femur.head", "Corvaxis.RightLeg.Femur.Head"),
    ("liver", "Corvaxis.Liver"),
    ("left_kidney", "Corvaxis.LeftKidney"),
    ("spleen", "Corvaxis.Spleen"),
    ("heart", "Corvaxis.Heart"),
    ("heart.left_ventricle.myocardium", "Corvaxis.Heart.LeftVentricle.Myocardium"),
    ("heart.right_atrium.cavity", "Corvaxis.Heart.RightAtrium.Cavity"),
    ("heart.pulmonary_valve.center", "Corvaxis.Heart.PulmonaryValve.Center"),
    ("aorta", "Corvaxis.Aorta"),
    ("aorta.lumen", "Corvaxis.Aorta.Lumen"),
    ("superior_vena_cava.lumen", "Corvaxis.SuperiorVenaCava.Lumen"),
    ("inferior_vena_cava", "Corvaxis.InferiorVenaCava"),
    ("lungs", "Corvaxis.Lungs"),
    ("lungs.left_lung.superior_lobe", "Corvaxis.Lungs.LeftLung.SuperiorLobe"),
    ("lungs.right_lung.middle_lobe", "Corvaxis.Lungs.RightLung.MiddleLobe"),
]


def _resolve(path):
    node = corvaxis.keys
    for name in path.split("."):
        node = getattr(node, name)
    return node


def _children(module):
    """Submodules of the keys tree directly below `module`."""
    for name, value in vars(module).items():
        if isinstance(value, types.ModuleType) and value.__name__ == f"{module.__name__}.{name}":
            yield value


def _key_modules(module):
    """Every module below `module` in the keys tree, depth first."""
    for child in _children(module):
        yield child
        yield from _key_modules(child)


@pytest.mark.parametrize(("path", "expected"), SAMPLES)
def test_key_of_each_sampled_node(path, expected):
    node = _resolve(path)
    assert isinstance(node, types.ModuleType)
    assert isinstance(node.key, str)
    assert node.key == expected


class TestTreeShape:
    def test_keys_is_a_submodule_of_the_package_without_key(self):
        assert corvaxis.keys is sys.modules["corvaxis.keys"]
        assert corvaxis.keys.__name__ == "corvaxis.keys"
        assert not hasattr(corvaxis.keys, "key")

    def test_one_node_per_key(self):
        nodes = list(_key_modules(corvaxis.keys))
        assert len(nodes) == KEY_COUNT
        assert all(hasattr(node, "key") for node in nodes)
        assert len({node.key for node in nodes}) == KEY_COUNT

    def test_every_node_is_registered_under_its_dotted_name(self):
        for node in _key_modules(corvaxis.keys):
            assert sys.modules.get(node.__name__) is node, node.__name__

    def test_each_key_extends_its_parent_key_by_one_component(self):
        def check(parent, parent_key):
            for node in _children(parent):
                prefix, _, component = node.key.rpartition(".")
                assert prefix == parent_key, node.__name__
                assert component and component[0].isupper(), node.key
                check(node, node.key)

        check(corvaxis.keys, "Corvaxis")

    def test_nodes_carry_no_docstring(self):
        assert corvaxis.keys.__doc__ is None
        assert corvaxis.keys.spine.vertebra.__doc__ is None



def _import_after(setup):
    """Runs `setup` in a fresh interpreter, then imports corvaxis.anatomy and reports."""
    code = textwrap.dedent(setup) + textwrap.dedent(
        """
        try:
            import corvaxis.anatomy
        except ImportError as error:
            print("ImportError", error)
        else:
            print(corvaxis.keys.liver.key, corvaxis.keys.liver.__name__)
        """
    )
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.strip()


def test_a_node_that_exists_before_the_walk_keeps_its_key():
    setup = """
        import sys, types
        import corvaxis
        keys = types.ModuleType("corvaxis.keys")
        sys.modules["corvaxis.keys"] = keys
        liver = types.ModuleType("corvaxis.keys.liver")
        liver.key = "mine"
        keys.liver = liver
    """
    assert _import_after(setup) == "mine corvaxis.keys.liver"


def test_a_non_module_in_the_way_fails_the_import_with_its_type_named():
    setup = """
        import sys, types
        import corvaxis
        keys = types.ModuleType("corvaxis.keys")
        sys.modules["corvaxis.keys"] = keys
        keys.liver = 5
    """
    assert _import_after(setup) == "ImportError Object of type 'int' is not an instance of 'module_'"
