"""What the subcommands share: user mistakes as one line, progress bars, reading arguments and files."""

from __future__ import annotations

import os
import signal
import sys
import threading

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A failure the user can act on; main prints its message as one line."""


# Progress -------------------------------------------------------------------------------------


class PlainProgressBar:
    """A one-line text bar on a stream, for when tqdm is not installed."""

    WIDTH = 30

    def __init__(self, description, stream):
        self.description = description
        self.stream = stream
        self.shown = None

    def update(self, fraction, step):
        fraction = min(max(float(fraction), 0.0), 1.0)
        filled = round(fraction * self.WIDTH)
        text = f"\r{self.description} [{'#' * filled}{'.' * (self.WIDTH - filled)}] {fraction:4.0%} {step}"
        if text != self.shown:
            # Pad over the rest of a longer previous line.
            self.stream.write(text.ljust(len(self.shown or "")))
            self.stream.flush()
            self.shown = text

    def close(self):
        if self.shown is not None:
            self.stream.write("\n")
            self.stream.flush()


class TqdmProgressBar:
    def __init__(self, description, stream):
        from tqdm import tqdm

        self.bar = tqdm(total=1000, desc=description, file=stream, leave=True,
                        bar_format="{desc} {bar} {percentage:3.0f}% {postfix}")

    def update(self, fraction, step):
        target = round(min(max(float(fraction), 0.0), 1.0) * 1000)
        if target > self.bar.n:
            self.bar.update(target - self.bar.n)
        self.bar.set_postfix_str(step, refresh=False)

    def close(self):
        self.bar.close()


class LineProgressBar:
    """Plain lines for logs, where a bar redrawn with carriage returns would pile up: one line per
    new step and one per tenth of the work done."""

    def __init__(self, description, stream):
        self.description = description
        self.stream = stream
        self.step = None
        self.tenths = -1

    def update(self, fraction, step):
        fraction = min(max(float(fraction), 0.0), 1.0)
        tenths = int(fraction * 10 + 1e-9)
        if step != self.step or tenths > self.tenths:
            self.stream.write(f"{self.description}: {fraction:4.0%} {step}".rstrip() + "\n")
            self.stream.flush()
            self.step = step
            self.tenths = max(self.tenths, tenths)

    def close(self):
        pass


def progress_bar(description, stream=None, *, quiet=False):
    """A bar with update(fraction, step) and close(); tqdm's where installed, plain lines when the
    stream is not a terminal. None when quiet."""
    if quiet:
        return None
    stream = sys.stderr if stream is None else stream
    if not stream.isatty():
        return LineProgressBar(description, stream)
    try:
        return TqdmProgressBar(description, stream)
    except ImportError:
        return PlainProgressBar(description, stream)


class InterruptWatch:
    """Notes Ctrl-C while an algorithm runs, so that the interrupt reaches the caller even where
    a wrapper reports the stopped computation as a failure of its own (a RuntimeError)."""

    def __enter__(self):
        self.interrupted = False
        self.installed = threading.current_thread() is threading.main_thread()
        if self.installed:
            self.previous = signal.signal(signal.SIGINT, self._interrupt)
        return self

    def _interrupt(self, signal_number, frame):
        self.interrupted = True
        raise KeyboardInterrupt

    def __exit__(self, kind, error, trace):
        if self.installed:
            signal.signal(signal.SIGINT, self.previous if self.previous is not None else signal.default_int_handler)
        if self.interrupted and kind is not None and not issubclass(kind, KeyboardInterrupt):
            raise KeyboardInterrupt from error
        return False


def run_algorithm(algorithm, description, quiet, run=None):
    """Compute an algorithm (or call run) with a progress bar fed by its progress callback."""
    bar = progress_bar(description, quiet=quiet)
    # Even without a bar a callback is set: the host looks for Ctrl-C only when it reports.
    algorithm.set_progress_callback(bar.update if bar is not None else lambda fraction, step: None)
    try:
        with InterruptWatch():
            return run() if run is not None else algorithm.compute()
    finally:
        algorithm.set_progress_callback(None)
        if bar is not None:
            bar.close()


# Reading arguments and files ---------------------------------------------------------------


def open_file(path, expected=None):
    """corvaxis.open with the user's mistakes turned into CommandError."""
    import corvaxis

    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CommandError(f"{path}: is a directory, expected a file")
    try:
        data = corvaxis.open(path)
    except corvaxis.FileFormatError as error:
        raise CommandError(str(error)) from None
    if expected is not None and not isinstance(data, expected[0]):
        raise CommandError(f"{path}: holds {type(data).__name__}, expected {expected[1]}")
    return data


def open_collection(path):
    import corvaxis.anatomy as anatomy

    return open_file(path, (anatomy.AnatomicalStructureCollection, "an anatomical structure collection"))


def parse_labels(text: str) -> dict[int, str]:
    """'1=liver,2=kidney' as {1: 'liver', 2: 'kidney'}."""
    labels: dict[int, str] = {}
    for item in text.split(","):
        value, separator, name = item.partition("=")
        value, name = value.strip(), name.strip()
        if not separator or not value or not name:
            raise CommandError(f"bad label list '{text}': expected items like 1=liver separated by commas")
        try:
            label = int(value)
        except ValueError:
            raise CommandError(f"bad label list '{text}': '{value}' is not an integer label value") from None
        if not -2**31 <= label < 2**31:
            raise CommandError(f"bad label list '{text}': label {label} is out of range")
        if label in labels:
            raise CommandError(f"bad label list '{text}': label {label} is given twice")
        if name in labels.values():
            raise CommandError(f"bad label list '{text}': name '{name}' is given twice")
        labels[label] = name
    return labels


def registration_method(name):
    import corvaxis.anatomy as anatomy

    members = anatomy.ASCRegistration.RegistrationMethod.__members__
    wanted = name.replace("-", "").replace("_", "").lower()
    for member_name, member in members.items():
        if member_name.lower() == wanted:
            return member
    raise CommandError(f"unknown registration method '{name}': expected one of {', '.join(members)}")


# What the subcommands write, by the suffixes they accept.
COLLECTION_SUFFIXES = (".cvx",)
PICTURE_SUFFIXES = (".png",)
TABLE_SUFFIXES = (".csv",)


def output_path(path, suffixes, what):
    """Checks an output file name before any work: it names a file (not a folder) with one of the
    suffixes, and no file stands where a folder of it would be created."""
    text = os.fspath(path)
    if text.endswith(os.sep) or os.path.isdir(text):
        raise CommandError(f"{text}: is a directory; give a file name ending in {' or '.join(suffixes)} for {what}")
    if not text.lower().endswith(suffixes):
        raise CommandError(f"{text}: {what} is written as {' or '.join(suffixes)}; give a file name ending in "
                           f"{' or '.join(suffixes)}")
    folder = os.path.dirname(os.path.abspath(text))
    while not os.path.exists(folder):
        folder = os.path.dirname(folder)
    if not os.path.isdir(folder):
        raise CommandError(f"{text}: {folder} is a file, not a directory")
    return text


def make_parent_folders(path):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)


def save(data, path):
    """Saves one data object, creating missing parent folders."""
    save_all([(data, path)])


def save_all(outputs):
    """Saves (data, path) pairs all or nothing: each goes to a temporary file beside its path first,
    and the temporary files replace the paths only when every one was written."""
    import corvaxis

    written = []
    try:
        for data, path in outputs:
            make_parent_folders(path)
            folder, name = os.path.split(os.path.abspath(path))
            # The name keeps its suffix, which chooses the format.
            temporary = os.path.join(folder, f".partial-{os.getpid()}-{name}")
            written.append((temporary, path))
            corvaxis.save(data, temporary)
        for temporary, path in written:
            os.replace(temporary, path)
        written.clear()
    finally:
        for temporary, _ in written:
            if os.path.exists(temporary):
                os.remove(temporary)
