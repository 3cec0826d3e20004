"""Helpers shared by the leak check, the soak and the adversarial suite."""

import os
import sys

from kavelo import ResourcePolicy

PAGE = os.sysconf("SC_PAGE_SIZE")


def _read_proc(name: str) -> bytes:
    # os-level reads: a Python file object leaves a block behind on every open, which the
    # leak check would count.
    fd = os.open(name, os.O_RDONLY)
    try:
        return os.read(fd, 4096)
    finally:
        os.close(fd)


def rss_bytes() -> int:
    """Resident set size now."""
    return int(_read_proc("/proc/self/statm").split()[1]) * PAGE


def peak_rss_bytes() -> int:
    """Peak resident set size (VmHWM) since start or since reset_peak_rss()."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def reset_peak_rss() -> bool:
    """Sets the peak back to the current RSS; False where the kernel refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def policy_with(base: ResourcePolicy | None = None, /, **limits: int) -> ResourcePolicy:
    policy = base if base is not None else ResourcePolicy()
    for name, value in limits.items():
        policy = policy.with_limit(name, value)
    return policy


def hard_policy() -> ResourcePolicy:
    """Every limit at its hard maximum."""
    return policy_with(**ResourcePolicy().hard_limits())


def check_module_origin() -> None:
    """Prints which build of the module is measured (to stderr), and stops when it is not
    the one under KAVELO_MODULE_DIR where that is set."""
    import kavelo._core

    where = kavelo._core.__file__
    print("measuring", where, file=sys.stderr)
    expected = os.environ.get("KAVELO_MODULE_DIR")
    if expected and not os.path.realpath(where).startswith(os.path.realpath(expected)):
        sys.exit(f"expected the module from {expected}, found {where}")
