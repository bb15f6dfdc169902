"""Kernel dispatch: what build_info() reports, and the VANTELO_DISABLE_AVX2
switch, which must change the kernels but never a bit of the results."""
import importlib.metadata
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

import pytest

import vantelo

HERE = Path(__file__).parent
sys.path.insert(0, str(HERE))
import dispatch_workload  # noqa: E402


def _cpuinfo_has_avx2() -> bool | None:
    """The kernel's own view of the CPU (it hides AVX2 where the OS does not
    save the YMM state), as a model independent of our CPUID code."""
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return None
    for line in text.splitlines():
        if line.startswith("flags"):
            return "avx2" in line.split(":", 1)[1].split()
    return None


def test_build_info_reports_version_and_choice():
    info = vantelo.build_info()
    assert info is not vantelo.build_info()  # a new dict per call
    assert info["version"] == vantelo.__version__ == importlib.metadata.version("vantelo")
    assert {k: type(v) for k, v in info.items()} == {
        "version": str, "kernels": str, "avx2_built": bool, "avx2_cpu": bool, "avx2_disabled": bool,
        "machine": str, "compiler": str, "build_type": str, "cxx_flags": str, "avx2_cxx_flags": str}
    expect_avx2 = info["avx2_built"] and info["avx2_cpu"] and not info["avx2_disabled"]
    assert info["kernels"] == ("avx2" if expect_avx2 else "portable")
    assert info["avx2_disabled"] == (os.environ.get("VANTELO_DISABLE_AVX2", "") not in ("", "0"))
    assert "-ffp-contract=off" in info["cxx_flags"] and "-ffast-math" not in info["cxx_flags"]
    x86 = platform.machine().lower() in ("x86_64", "amd64")
    assert info["avx2_built"] == x86
    if x86:
        assert "-mno-fma" in info["avx2_cxx_flags"]
    if x86 and sys.platform.startswith("linux") and _cpuinfo_has_avx2() is not None:
        assert info["avx2_cpu"] == _cpuinfo_has_avx2()


@pytest.mark.parametrize("value, portable", [("1", True), ("yes", True), ("0", False), ("", False)])
def test_disable_switch_changes_kernels_not_bits(value, portable):
    env = dict(os.environ, VANTELO_DISABLE_AVX2=value)
    out = subprocess.run([sys.executable, str(HERE / "dispatch_workload.py")], env=env,
                         capture_output=True, text=True, timeout=300, check=True).stdout
    child = json.loads(out)
    native = vantelo.build_info()
    expected = "portable" if portable or not (native["avx2_built"] and native["avx2_cpu"]) else "avx2"
    assert child["kernels"] == expected
    assert child["digest"] == dispatch_workload.digest()
