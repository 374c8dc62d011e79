"""How to install an optional package: with apt where the Python packages are the
distribution's (a board set up as the README's ARM section says), with pip elsewhere."""

import importlib.util
import sys
from pathlib import Path

# Where Debian (and Raspberry Pi OS) keep the Python packages that apt installs; pip's go to
# /usr/local or into a virtual environment.
APT_PACKAGES = Path("/usr/lib/python3/dist-packages")
# An optional module: its apt package and the velmorakit extra that pip installs it with.
OPTIONAL = {
    "tqdm": ("python3-tqdm", "app"),
    "matplotlib": ("python3-matplotlib", "app"),
    "serial": ("python3-serial", "serial"),
}


def installed_from_apt() -> bool:
    """NumPy comes from apt, or this is a virtual environment of the distribution's Python that
    sees its packages (python3 -m venv --system-site-packages)."""
    numpy = importlib.util.find_spec("numpy")
    if numpy and numpy.origin and Path(numpy.origin).is_relative_to(APT_PACKAGES):
        return True
    config = Path(sys.prefix, "pyvenv.cfg")
    try:
        sees_system = "include-system-site-packages = true" in config.read_text().lower()
    except OSError:
        return False
    return sees_system and sys.base_prefix == "/usr"


def install_hint(module: str) -> str:
    """The command that installs an optional module here."""
    apt_package, extra = OPTIONAL[module]
    if installed_from_apt():
        return f"sudo apt-get install {apt_package}"
    return f"pip install 'velmorakit[{extra}]'"
