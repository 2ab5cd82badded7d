"""The module docstring's registration example, run as written against template.cvx and
patient.cvx in the working directory."""

import numpy as np

import corvaxis
import corvaxis.anatomy as anatomy


def docstring_statements(section, next_section):
    doc = anatomy.__doc__
    text = doc[doc.index(section) : doc.index(next_section)]
    return "\n".join(line[4:] for line in text.splitlines() if line.startswith((">>> ", "... ")))


def test_the_registration_example_runs_on_two_files(registration_kit, tmp_path, monkeypatch):
    truth = registration_kit.similarity(25, (1, 2, 2), (40, -15, 8))
    points = {"tip": [10.0, 42.0, -7.5], "hilum": [4.0, 30.0, -2.0], "base": [-6.0, 12.0, 3.0], "apex": [0.0, 0.0, 20.0]}
    template, patient = registration_kit.registration_pair(truth, points, {"cut": [0.0, 0.0, 1.0, -5.0]})
    corvaxis.save(template, tmp_path / "template.cvx")
    corvaxis.save(patient, tmp_path / "patient.cvx")
    monkeypatch.chdir(tmp_path)

    # The example goes on from the imports at the top of the docstring's examples.
    namespace = {"corvaxis": corvaxis, "anatomy": anatomy}
    exec(docstring_statements("**Registration example:**", "**Creating anatomical structures"), namespace)

    registration = namespace["registration"]
    assert registration.status == 0, registration.status_message
    np.testing.assert_allclose(registration.results["transformation"], truth, atol=1e-9)
    moved = namespace["moving_asc"].anatomical_structure("liver").keypoints2
    fixed = namespace["fixed_asc"].anatomical_structure("liver").keypoints2
    for key in fixed.keys():
        np.testing.assert_allclose(moved[key], fixed[key], atol=1e-9, err_msg=key)
