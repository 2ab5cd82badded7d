"""corvaxis: scripting 3-D anatomy work in Python."""

from corvaxis._core import *  # noqa: F401,F403
from corvaxis import graph  # noqa: F401
