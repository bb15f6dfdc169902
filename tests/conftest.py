import os
import subprocess
import sys
import textwrap

import pytest


def run_isolated(code: str, env: dict | None = None) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter (the worker pool is sized once per
    process, so tests of its sizing need their own process)."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=full_env, timeout=300)


@pytest.fixture
def isolated():
    return run_isolated
