"""Framework integrations for vantelo.

One submodule per framework; each imports its framework only when it is
itself imported, so ``import vantelo_interop`` stays cheap and never pulls in
a framework.
"""

__all__: list[str] = []
