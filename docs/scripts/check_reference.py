"""Fails when a rendered reference page lost text of a docstring.

Markdown swallows what looks like markup: a bare `<n>` in a docstring becomes
an HTML tag and vanishes from the page, `<q>` turns into a quotation. This
script reads every reference page of the built site (the pages holding
`::: identifier` directives), collects the docstrings of the objects those
directives render (from the stubs `python/vantelo.pyi` and the sources of
`vantelo_interop`), and checks that every paragraph, list item, table cell,
section entry and code block of each docstring appears word for word, in
order, in the page's text. Run after `mkdocs build`:

    python docs/scripts/check_reference.py build/site
"""

import ast
import html.parser
import inspect
import re
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent.parent
ROOT = DOCS.parent
SOURCES = ROOT / "python"

DIRECTIVE = re.compile(r"^::: *([\w.]+)\n((?:[ \t]+\S.*\n|\n(?=[ \t]))*)", re.MULTILINE)
MEMBERS = re.compile(r"^\s*members:\s*(.+)$", re.MULTILINE)
# Google-style section headers; the entries of the first group are
# `name (type): text` and render as table rows.
ENTRY_SECTIONS = {"Args", "Arguments", "Parameters", "Raises", "Attributes", "Warns", "Other Parameters"}
SECTION = re.compile(r"^([A-Z][A-Za-z ]*):\s*$")
ENTRY = re.compile(r"^([\w.*]+(?:,\s*[\w.*]+)*)(?:\s*\([^)]*\))?:\s*(.*)$")
LINK = re.compile(r"\[([^\]]*)\]\([^)]*\)")
TOKEN = re.compile(r"\w+|[^\w\s]")
# Markup characters that rendering removes on purpose.
MARKUP = {"`", "*"}


def tokens(text: str) -> list[str]:
    return [t for t in TOKEN.findall(text) if t not in MARKUP]


class PageText(html.parser.HTMLParser):
    """The visible text of a page and the ids of its elements."""

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.parts: list[str] = []
        self.ids: set[str] = set()
        self._skip = 0

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag in ("script", "style"):
            self._skip += 1
        for name, value in attrs:
            if name == "id" and value:
                self.ids.add(value)

    def handle_endtag(self, tag: str) -> None:
        if tag in ("script", "style"):
            self._skip -= 1

    def handle_data(self, data: str) -> None:
        if not self._skip:
            self.parts.append(data)


def chunks(docstring: str) -> list[str]:
    """The pieces of a docstring that must each appear contiguously."""
    out: list[str] = []
    current: list[str] = []
    section = ""
    fence: list[str] | None = None

    def flush() -> None:
        if current:
            out.append(" ".join(current))
            current.clear()

    for raw in inspect.cleandoc(docstring).splitlines():
        line = raw.strip()
        if fence is not None:
            if line.startswith("```"):
                out.append("\n".join(fence))
                fence = None
            else:
                fence.append(line)
            continue
        if line.startswith("```"):
            flush()
            fence = []
            continue
        if not line:
            flush()
            continue
        header = SECTION.match(line) if raw == line else None
        if header:
            flush()
            section = header.group(1)
            continue
        indent = len(raw) - len(raw.lstrip())
        entry = ENTRY.match(line) if section in ENTRY_SECTIONS and indent <= 4 else None
        if entry:
            flush()
            out.append(entry.group(1))
            current.append(entry.group(2))
        elif line.startswith("|"):
            flush()
            out.extend(cell for cell in line.strip("|").split("|") if cell.strip().strip("-:"))
        elif re.match(r"^([*-]|\d+\.) ", line):
            flush()
            current.append(line.split(" ", 1)[1])
        else:
            current.append(line)
    flush()
    return [LINK.sub(r"\1", text) for text in out]


def module_file(name: str) -> Path:
    relative = Path(*name.split("."))
    for candidate in (SOURCES / f"{relative}.pyi", SOURCES / f"{relative}.py", SOURCES / relative / "__init__.py"):
        if candidate.exists():
            return candidate
    raise SystemExit(f"check_reference: no source for {name}")


def docstrings(module: str) -> dict[str, str]:
    """Qualified name -> docstring for a module, its classes, functions and
    methods, following `from .x import y` re-exports into the package."""
    tree = ast.parse(module_file(module).read_text(encoding="utf-8"))
    found: dict[str, str] = {}
    if (doc := ast.get_docstring(tree, clean=False)) is not None:
        found[module] = doc

    def walk(body: list[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                name = f"{prefix}.{node.name}"
                if (doc := ast.get_docstring(node, clean=False)) is not None:
                    found[name] = doc
                if isinstance(node, ast.ClassDef):
                    walk(node.body, name)

    walk(tree.body, module)
    package = module if module_file(module).name == "__init__.py" else module.rpartition(".")[0]
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and node.level:
            base = package
            for _ in range(node.level - 1):
                base = base.rpartition(".")[0]
            source = f"{base}.{node.module}" if node.module else base
            for alias in node.names:
                for name, doc in docstrings(source).items():
                    if name == f"{source}.{alias.name}" or name.startswith(f"{source}.{alias.name}."):
                        found.setdefault(module + name[len(source):], doc)
    return found


def expected(target: str, members: str | None) -> dict[str, str]:
    """The docstrings a directive renders: the target's own and those of
    its public members (all of them, the listed ones, or none)."""
    module = target
    while not any((SOURCES / Path(*module.split("."))).with_suffix(s).exists() for s in (".py", ".pyi")) \
            and not (SOURCES / Path(*module.split(".")) / "__init__.py").exists():
        module = module.rpartition(".")[0]
        if not module:
            raise SystemExit(f"check_reference: no source for {target}")
    listed = None
    if members is not None:
        listed = set() if members.strip() == "false" else set(re.findall(r"\w+", members))
    result = {}
    for name, doc in docstrings(module).items():
        if name != target and not name.startswith(target + "."):
            continue
        rest = name[len(target) + 1:].split(".") if name != target else []
        # Private names are not rendered; special methods (__reduce__) are.
        if any(part.startswith("_") and not (part.startswith("__") and part.endswith("__")) for part in rest):
            continue
        if rest and listed is not None and rest[0] not in listed:
            continue
        result[name] = doc
    return result


def check_page(page: Path, site: Path) -> tuple[int, list[str]]:
    source = page.read_text(encoding="utf-8")
    directives = DIRECTIVE.findall(source)
    built = site / page.relative_to(DOCS).with_suffix("") / "index.html"
    parser = PageText()
    parser.feed(built.read_text(encoding="utf-8"))
    text = " " + " ".join(tokens(" ".join(parser.parts))) + " "
    problems = []
    checked = 0
    for target, options in directives:
        members = MEMBERS.search(options)
        for name, doc in expected(target, members.group(1) if members else None).items():
            if name not in parser.ids and name != target:
                problems.append(f"{name}: not rendered")
                continue
            for piece in chunks(doc):
                wanted = " ".join(tokens(piece))
                checked += 1
                if wanted and f" {wanted} " not in text:
                    problems.append(f"{name}: rendered page lacks {piece!r}")
    return checked, [f"{page.relative_to(ROOT)}: {p}" for p in problems]


def main() -> None:
    site = Path(sys.argv[1]).resolve()
    pages = sorted(p for p in DOCS.rglob("*.md") if "generated" not in p.parts and DIRECTIVE.search(p.read_text("utf-8")))
    total = 0
    problems: list[str] = []
    for page in pages:
        checked, found = check_page(page, site)
        total += checked
        problems += found
    if problems:
        print("\n".join(problems), file=sys.stderr)
        raise SystemExit(f"check_reference: {len(problems)} docstring passages missing from the rendered pages")
    print(f"check_reference: {total} docstring passages of {len(pages)} pages found in the rendered text")


if __name__ == "__main__":
    main()
