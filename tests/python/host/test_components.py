import gc

import pytest

import corvaxis
from corvaxis import LabelDataComponent, Mesh, Properties


def mesh():
    return Mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])


def test_add_stores_a_copy_and_merges_components_of_one_kind():
    data = mesh()
    labels = LabelDataComponent()
    labels.set_label_config(1, "liver")
    held = data.components.add(labels)
    labels.set_label_config(2, "spleen")
    assert held is not labels and held.labels == [1]

    again = LabelDataComponent()
    again.set_label_config(3, "kidney")
    assert data.components.add(again) is held
    assert len(data.components) == 1 and held.labels == [3]
    assert [component.id for component in data.components] == ["LabelDataComponent"]
    assert data.components[0] is data.components[-1] is held
    with pytest.raises(IndexError) as error:
        data.components[1]
    assert str(error.value) == "component index 1 out of range for a list of 1"
    assert repr(data.components) == "<DataComponentList, components=['LabelDataComponent']>"
    assert repr(held) == "<LabelDataComponent, id='LabelDataComponent'>"


def test_components_keep_their_data_object_alive():
    data = mesh()
    data.components.add(LabelDataComponent()).set_label_config(4, "bone")
    component = data.components[0]
    del data
    gc.collect()
    assert component.label_config(4)[0] == "bone"


def test_configuration_round_trip():
    labels = LabelDataComponent()
    labels.set_label_config(5, "vessel", color=(0, 0.5, 1, 1), visible=False)
    restored = LabelDataComponent()
    restored.configure(labels.configuration())
    name, color, visible = restored.label_config(5)
    assert (name, color.tolist(), visible) == ("vessel", [0, 0.5, 1, 1], False)
    assert restored.label_config(6)[0] == "Label 6"
    assert isinstance(labels.configuration(), Properties)
    with pytest.raises(ValueError) as error:
        labels.set_label_config(1, "x", color=(1, 1, 1))
    assert str(error.value) == "color must have shape (4,), got (3,)"


def test_base_classes_cannot_be_instantiated():
    for abstract in (corvaxis.Data, corvaxis.DataComponentBase, corvaxis.DataComponentList):
        with pytest.raises(TypeError, match="No constructor defined!$"):
            abstract()
    assert issubclass(LabelDataComponent, corvaxis.DataComponentBase)
