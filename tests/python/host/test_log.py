import pytest

from corvaxis import log


def test_capture_collects_accepted_records_and_restores_state():
    before = log.level()
    with log.capture() as records:
        log.write(log.Level.WARNING, "Test.Capture", "kept")
        log.write(log.Level.INFO, "Test.Capture", "dropped below the default level")
    assert records == [(3, "Test.Capture", "kept")]

    with log.capture(level=log.Level.DEBUG) as records:
        assert log.level() == 1
        log.write(1, "Test.Capture", "debug")
    assert records == [(1, "Test.Capture", "debug")] and log.level() == before

    with pytest.raises(KeyError), log.capture(level=0) as records:
        raise KeyError("inside")
    assert log.level() == before
    with log.capture() as later:
        log.write(4, "Test", "after")
    assert records == [] and later == [(4, "Test", "after")]


def test_category_filters():
    log.set_category_level("Test.Quiet", log.Level.ERROR)
    try:
        with log.capture() as records:
            log.write(3, "Test.Quiet.Child", "filtered")
            log.write(4, "Test.Quiet", "error passes")
            log.write(3, "Test.Loud", "warning passes")
    finally:
        log.remove_category_filter("Test.Quiet")
    assert [message for _, _, message in records] == ["error passes", "warning passes"]


def test_levels_are_checked():
    with pytest.raises(ValueError) as error:
        log.set_level(6)
    assert str(error.value) == "log level must be between 0 (trace) and 5 (fatal), got 6"
    with pytest.raises(ValueError):
        log.write(-1, "Test", "x")
