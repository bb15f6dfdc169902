"""Conditions on classical bits as `Conditional` groups.

A condition that a framework states as an expression of measured bits is a
function of those bits. It is evaluated at every setting of them, and the
settings where it fails are covered by as few cubes as a greedy pick of
their prime implicants gives: each cube becomes one group, the test that
some bit differs from the cube. A register's value on k bits thus takes k
groups of one test each.
"""

from __future__ import annotations

from typing import Callable, Sequence

# A condition reads at most this many bits: it is evaluated at every setting
# of them.
MAX_CONDITION_BITS = 10


def _implicants(points: list[int], k: int) -> list[tuple[int, int]]:
    """Cubes (mask of the fixed bits, their values) that cover `points`
    (settings of k bits) and nothing else: prime implicants, picked greedily."""
    full = (1 << k) - 1
    current = {(full, p) for p in points}
    primes: set[tuple[int, int]] = set()
    while current:
        merged, used = set(), set()
        for mask, value in current:
            for j in range(k):
                bit = 1 << j
                if mask & bit and (mask, value ^ bit) in current:
                    merged.add((mask & ~bit, value & ~bit))
                    used.update({(mask, value), (mask, value ^ bit)})
        primes |= current - used
        current = merged
    left, chosen = set(points), []
    ordered = sorted(primes)
    while left:
        best = max(ordered, key=lambda c: sum(1 for p in left if p & c[0] == c[1]))
        chosen.append(best)
        left = {p for p in left if p & best[0] != best[1]}
    return chosen


def condition_groups(where: Sequence[int], holds: Callable[[int], bool]) -> list[tuple[int, ...]] | None:
    """The `Conditional` groups of a condition on the clbits `where` that
    holds at a setting s (bit j of s: clbit where[j]) when holds(s): none
    when it always holds, None when it never does."""
    settings = range(1 << len(where))
    fails = [s for s in settings if not holds(s)]
    if len(fails) == len(settings):
        return None
    return [tuple(~b if (value >> j) & 1 else b for j, b in enumerate(where) if (mask >> j) & 1)
            for mask, value in _implicants(fails, len(where))]
