"""Everything the documentation build runs before MkDocs renders the pages.

1. Every tutorial script in docs/tutorials/ runs to completion (each saves
   its figures into docs/figures/ and checks its own results).
2. docs/scripts/numerics.py measures the float32 error tables and plot.
3. The last peer-benchmark plot is copied beside the figures, and its
   reports into docs/generated/ as sections of a page: without their own
   title, headings one level down.
4. Every ```python block of every page runs, the blocks of one page in one
   namespace and in page order; every ```pycon block runs as a doctest in that
   same namespace, so its printed output must match. ```py blocks, which
   need a framework, are shown only.

Any failure ends the script with a non-zero status and the build stops.
"""

import doctest
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DOCS = Path(__file__).resolve().parent.parent
ROOT = DOCS.parent
FIGURES = DOCS / "figures"

# A fenced block: its language and its body. Blocks whose body only includes
# a file (--8<--) show a script that step 1 runs anyway.
FENCE = re.compile(r"^```(\w+)[^\n]*\n(.*?)^```\s*$", re.MULTILINE | re.DOTALL)
EXECUTED = {"python", "pycon"}
# ```py blocks are Python that needs a framework the documentation
# environment does not install (PennyLane, Qiskit, Dask): highlighted as
# Python, shown, not run.
SHOWN_ONLY = {"sh", "text", "py"}


def run_script(path: Path) -> None:
    start = time.perf_counter()
    result = subprocess.run([sys.executable, str(path)], cwd=ROOT, capture_output=True, text=True)
    if result.returncode != 0:
        sys.stdout.write(result.stdout)
        sys.stderr.write(result.stderr)
        raise SystemExit(f"{path.relative_to(ROOT)} failed with status {result.returncode}")
    print(f"ran {path.relative_to(ROOT)} in {time.perf_counter() - start:.1f} s")


def as_section(report: Path, target: Path) -> None:
    """Copies a standalone Markdown report for inclusion under a heading of
    a page: its H1 title goes, every other heading moves one level down."""
    lines = []
    fenced = False
    for line in report.read_text(encoding="utf-8").splitlines():
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and line.startswith("# "):
            continue
        elif not fenced and line.startswith("#"):
            line = "#" + line
        lines.append(line)
    target.write_text("\n".join(lines).strip("\n") + "\n", encoding="utf-8")


def run_page(page: Path) -> int:
    """Runs the page's blocks; returns how many ran."""
    namespace: dict[str, object] = {"__name__": "__main__"}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    name = str(page.relative_to(ROOT))
    text = page.read_text(encoding="utf-8")
    count = 0
    for match in FENCE.finditer(text):
        language, body = match.group(1), match.group(2)
        line = text[: match.start()].count("\n") + 1
        if body.lstrip().startswith("--8<--"):
            continue
        if language not in EXECUTED:
            if language not in SHOWN_ONLY:
                raise SystemExit(f"{name}:{line}: block language '{language}' is neither run nor shell text")
            continue
        count += 1
        if language == "python":
            try:
                exec(compile(body, f"{name}:{line}", "exec"), namespace)
            except BaseException as error:
                raise SystemExit(f"{name}:{line}: code block failed: {error!r}") from error
        else:
            test = parser.get_doctest(body, namespace, f"{name}:{line}", name, line)
            if runner.run(test, clear_globs=False).failed:
                raise SystemExit(f"{name}:{line}: doctest block failed")
            # The test ran on a copy of the namespace; later blocks see its names.
            namespace.update(test.globs)
    return count


def main() -> None:
    FIGURES.mkdir(exist_ok=True)
    (DOCS / "generated").mkdir(exist_ok=True)
    for script in sorted((DOCS / "tutorials").glob("*.py")):
        run_script(script)
    run_script(DOCS / "scripts" / "numerics.py")
    last_run = ROOT / "bench" / "peers" / "last_run"
    shutil.copyfile(last_run / "gate_times.png", FIGURES / "gate_times.png")
    for report in ("peers.md", "qiskit_primitives.md"):
        as_section(last_run / report, DOCS / "generated" / report)

    # Each page runs in a process of its own (a page may size the worker
    # pool, which only the first simulation of a process can do), in a
    # scratch folder for whatever its blocks write.
    pages = sorted(page for page in DOCS.rglob("*.md") if "generated" not in page.parts)
    blocks = 0
    with tempfile.TemporaryDirectory() as scratch:
        for page in pages:
            result = subprocess.run([sys.executable, __file__, str(page)], cwd=scratch, capture_output=True, text=True)
            if result.returncode != 0:
                sys.stdout.write(result.stdout)
                sys.stderr.write(result.stderr)
                raise SystemExit(f"{page.relative_to(ROOT)}: a code block failed")
            blocks += int(result.stdout.split()[-3])
    print(f"ran {blocks} code blocks of {len(pages)} pages")


if __name__ == "__main__":
    if len(sys.argv) == 2:
        page = Path(sys.argv[1]).resolve()
        print(f"{page.relative_to(ROOT)}: {run_page(page)} code blocks")
    else:
        main()
