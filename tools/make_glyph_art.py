#!/usr/bin/python3
"""Generates the digit artwork and style palettes in data/.

Run by hand from the repository root after changing the artwork below:

    /usr/bin/python3 tools/make_glyph_art.py            # rewrites data/
    /usr/bin/python3 tools/make_glyph_art.py --check    # fails if data/ is stale

and then redraw the preview from the tables the build made of data/:

    cmake --build <build dir> --target styles_png       # writes docs/styles.png

Needs Debian's python3-numpy (python3-pil only for --sketch). The output is
deterministic and committed; the build turns data/ into C++ tables
(cmake/glyph_data_to_cpp.cmake), so nothing here runs at build time.

Each style is drawn as a field of colours first; the colours are then
quantised onto the style's palette. Styles 0, 1 and 3 number their codes by
first appearance, with the fixed entries pinned to their places; style 2
keeps its three fixed entries and orders the rest by brightness.
"""

import argparse
import math
import os
import sys

import numpy as np

SIDE = 18
DIGITS = 10
PALETTE_SIZE = (120, 155, 31, 17)
BACKGROUND = ((223, 139, 143), (145, 255, 105), (255, 255, 255), (92, 88, 87))


def grid(text):
    """A glyph written as 18 rows of 18 space-separated codes, '.' for 0."""
    rows = [[0 if v == '.' else int(v) for v in line.split()] for line in text.strip().splitlines()]
    assert len(rows) == SIDE and all(len(r) == SIDE for r in rows)
    return np.array(rows, int)


# The two glyphs every counter has always shown; kept exactly.
STYLE0_ZERO = grid("""
.  .  .  .  .  .  .  1  1  1  1  1  1  .  .  .  .  .
.  .  .  .  .  .  1  1  2  3  4  5  1  1  .  .  .  .
.  .  .  .  1  1  6  7  8  9 10 11 12 13  1  1  .  .
.  .  .  1  1  7  7  7  7  8  9 14 15 16 17  1  1  .
.  .  1  1 10  7  7  7  7  7  9 18 19 20 21 22  1  .
.  .  1 23  7  7  7  7  7  7  9 18 19 20 21 24  1  1
.  .  1 20  8  7  7  7 10 25 26 14 15 16 21 27 28  1
.  .  1 10  9  8  7  7 29  1  1 30 12 31 32 27 33  1
.  .  1 14 10  9  9  9 20  1  1 34 20 35 36 37 38  1
.  .  1 39 11 14 18 18 14 11 15 34 31 32 27 40 41  1
.  .  1 23 12 15 19 19 15 12 20 31 42 24 43 44 45  1
.  .  1  1 31 16 20 20 16 31 35 32 24 37 46 47  1  .
.  .  .  1 48 21 21 21 21 32 36 27 43 46 49  1  1  .
.  .  .  .  1  1 24 24 27 27 37 40 44 47  1  1  .  .
.  .  .  .  .  1  1 50 44 46 44 38  1  1  1  .  .  .
.  .  .  .  .  .  .  1  1  1  1  1  1  .  .  .  .  .
.  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .
.  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .
""")

STYLE3_ZERO = grid("""
.  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .
.  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .
.  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .
.  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .
.  .  .  .  .  .  .  1  2  2  2  3  .  .  .  .  .  .
.  .  .  .  .  .  4  5  5  5  5  6  7  .  .  .  .  .
.  .  .  .  .  8  5  5  6  4  5  5  9  .  .  .  .  .
.  .  .  .  .  2  5  5  7  .  2  5  5  7  .  .  .  .
.  .  .  .  .  2  5  5  7  .  2  5  5  7  .  .  .  .
.  .  .  .  .  2  5  5  7  . 10  5  5  7  .  .  .  .
.  .  .  .  . 11  5  5 12  . 13  5  5 14  .  .  .  .
.  .  .  .  . 14  6  5  5  6  5  5 10  .  .  .  .  .
.  .  .  .  .  .  8  6  5  5  5 13  8  .  .  .  .  .
.  .  .  .  .  .  .  .  3  7  8  .  .  .  .  .  .  .
.  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .
.  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .
.  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .
.  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .  .
""")

STYLE3_PALETTE = [
    (92, 88, 87), (143, 140, 140), (174, 172, 172), (112, 109, 108), (195, 193, 193),
    (255, 255, 255), (247, 246, 246), (133, 130, 129), (123, 119, 119), (226, 226, 225),
    (216, 215, 215), (154, 152, 151), (185, 183, 183), (236, 236, 236), (102, 98, 98),
    (206, 205, 204), (164, 162, 161),
]

# Entries whose colour is part of each style's character: {entry: rgb}.
PINNED = (
    {1: (0, 0, 0), 7: (255, 247, 255), 106: (16, 16, 24)},
    {31: (97, 69, 255), 8: (255, 248, 242)},
    {2: (0, 16, 90), 1: (99, 107, 140), 29: (8, 222, 231)},
    {5: (255, 255, 255), 14: (102, 98, 98)},
)

# ---------------------------------------------------------------- geometry


def arc(cx, cy, rx, ry, a0, a1, n=None):
    """Points on an elliptic arc; angles in degrees, 90 points down."""
    if n is None:
        n = max(4, int(abs(a1 - a0) / 6))
    return [(cx + rx * math.cos(math.radians(a0 + (a1 - a0) * i / n)),
             cy + ry * math.sin(math.radians(a0 + (a1 - a0) * i / n))) for i in range(n + 1)]


def stroke_coverage(strokes, hx, hy=None, shear=0.0, ss=12):
    """Share of each cell inside the union of round-capped strokes.

    The pen is an ellipse of half axes hx, hy; shear slants the result
    (x grows by shear per row upwards, around row 17).
    """
    hy = hx if hy is None else hy
    k = hx / hy
    g = (np.arange(SIDE * ss) + 0.5) / ss - 0.5
    X, Y = np.meshgrid(g, g)
    X = X + shear * (Y - 17.0)  # undo the slant, then measure in the upright design
    Y = Y * k
    dist = np.full(X.shape, 1e9)
    for pts in strokes:
        pts = np.asarray(pts, float)
        if len(pts) == 1:
            pts = np.vstack([pts, pts])
        for (x0, y0), (x1, y1) in zip(pts[:-1], pts[1:]):
            y0, y1 = y0 * k, y1 * k
            dx, dy = x1 - x0, y1 - y0
            l2 = dx * dx + dy * dy
            t = np.zeros_like(X) if l2 == 0 else np.clip(((X - x0) * dx + (Y - y0) * dy) / l2, 0, 1)
            dist = np.minimum(dist, np.hypot(X - x0 - t * dx, Y - y0 - t * dy))
    return (dist <= hx).astype(float).reshape(SIDE, ss, SIDE, ss).mean(axis=(1, 3))


def distance_inside(mask):
    """Euclidean distance from each cell of mask to the nearest cell outside it."""
    out = [(r, c) for r in range(-1, SIDE + 1) for c in range(-1, SIDE + 1)
           if not (0 <= r < SIDE and 0 <= c < SIDE) or not mask[r, c]]
    pts = np.array(out, float)
    dist = np.zeros(mask.shape)
    for r, c in zip(*np.nonzero(mask)):
        dist[r, c] = np.sqrt(((pts - (r, c)) ** 2).sum(1)).min()
    return dist


def neighbours(r, c):
    return ((r - 1, c), (r + 1, c), (r, c - 1), (r, c + 1))


def inside(r, c):
    return 0 <= r < SIDE and 0 <= c < SIDE


# ---------------------------------------------------------------- numbering


def scan(glyphs):
    """(digit, row, column) in the order the codes are numbered."""
    for d in range(DIGITS):
        for r in range(SIDE):
            for c in range(SIDE):
                yield d, r, c


def first_appearance_order(glyphs):
    """Keys of the cells in the order they first appear; 0 is no colour."""
    seen, order = set(), []
    for d, r, c in scan(glyphs):
        k = glyphs[d][r, c]
        if k != 0 and k not in seen:
            seen.add(k)
            order.append(k)
    return order


def renumber(keyed, colours):
    """Codes by first appearance from glyphs holding colour keys."""
    order = first_appearance_order(keyed)
    code_of = {key: i + 1 for i, key in enumerate(order)}
    glyphs = [np.vectorize(lambda k: code_of.get(k, 0))(g) for g in keyed]
    return glyphs, [colours[key] for key in order]


# ---------------------------------------------------------------- style 0

# Silhouettes: '#' metal, 'o' black inside the shape, '.' nothing.
# The outline of code 1 is added around every shape.
STYLE0_SHAPES = {
    1: """
.........######...
.......########...
.....##########...
...############...
...############...
....#####.#####...
..........#####...
..........#####...
..........#####...
..........#####...
..........#####...
..........#####...
..........#####...
..........#####...
..........#####...
.........######...
""",
    2: """
......########....
....############..
...##############.
...######...######
...#####.....#####
....###......#####
............######
..........#######.
........########..
......########....
.....#######......
....######........
...######.........
..################
..################
..################
""",
    3: """
.....#########....
...#############..
..###############.
..#####....######.
...........######.
......##########..
......#########...
......##########..
...........######.
............######
..####......######
..################
..###############.
...#############..
.....#########....
.......#####......
""",
    4: """
...........######.
..........#######.
.........########.
........#########.
.......####o#####.
......####oo#####.
.....####ooo#####.
....####oooo#####.
...######ooo######
.#################
.#################
.#################
...........######.
...........######.
...........######.
...........######.
""",
    5: """
...###############
...###############
...##############.
...#####..........
...#####..........
...############...
...##############.
...###############
...#####....######
............######
............######
..####......######
..################
...##############.
....############..
......########....
""",
    6: """
.........######...
......##########..
.....##########...
....######........
...######.........
...#####.######...
..##############..
..###############.
..#######oo######.
..######oooo#####.
..######oooo#####.
..#######oo######.
..###############.
...#############..
....###########...
.....#########....
.......#####......
""",
    7: """
..################
..################
..###############.
.............####.
............#####.
...........#####..
..........######..
.........######...
.........######...
........######....
........######....
.......######.....
.......######.....
.......######.....
.......######.....
.......######.....
""",
    8: """
......#######.....
....###########...
...#############..
...#####oo######..
...#####oo######..
...#############..
....###########...
.....#########....
....###########...
...#############..
..######ooo######.
..######ooo######.
..###############.
...#############..
....###########...
......#######.....
""",
    9: """
......#######.....
....###########...
...#############..
..###############.
..######ooo######.
..######ooo######.
..###############.
...##############.
....#############.
......####.######.
..........######..
.........######...
........######....
......#######.....
....########......
....######........
""",
}


def shape_rows(text):
    rows = text.strip('\n').split('\n')
    rows += ['.' * SIDE] * (SIDE - len(rows))
    assert len(rows) == SIDE and all(len(r) == SIDE for r in rows), text
    return rows


def style0_metal(rows):
    """Outline flags and metal mask of a silhouette."""
    painted = np.array([[ch != '.' for ch in r] for r in rows])
    black = np.array([[ch == 'o' for ch in r] for r in rows])
    outline = black.copy()
    for r, c in zip(*np.nonzero(painted)):
        if any(not inside(rr, cc) or not painted[rr, cc] for rr, cc in neighbours(r, c)):
            outline[r, c] = True
    return painted, painted & ~outline


def style0_depth(metal):
    """How far a metal cell is turned from the light at the top left.

    Lowest on the lit upper left, rising towards the lower right and on
    the lower and right rims, like a bevelled plate of polished metal.
    """
    dist = distance_inside(metal)
    rows, cols = np.mgrid[0:SIDE, 0:SIDE].astype(float)
    diag = rows + cols
    grow, gcol = np.gradient(np.minimum(dist, 3.0))
    rim = metal & (dist < 1.5)
    return diag + 2.27 * rim - 0.71 * gcol - 1.63 * grow + 0.119 * (diag - 16.0) ** 2


def style0_grey(level):
    """A grey with the faint violet cast of the metal."""
    v = int(round(level))
    return (min(255, v + 2), max(0, v - 5), min(255, v + 9))


def kmeans_1d(values, fixed, free, rounds=60):
    """Centres for values: the fixed ones stay, `free` new ones are placed."""
    values = np.sort(np.asarray(values, float))
    qs = np.quantile(values, (np.arange(free) + 0.5) / free)
    centres = np.concatenate([np.asarray(fixed, float), qs])
    nfix = len(fixed)
    for _ in range(rounds):
        owner = np.abs(values[:, None] - centres[None, :]).argmin(1)
        for j in range(nfix, len(centres)):
            members = values[owner == j]
            if len(members):
                centres[j] = members.mean()
            else:
                # an unused centre moves to the worst represented value
                err = np.abs(values - centres[owner])
                centres[j] = values[err.argmax()]
    return centres


def style0():
    zero = STYLE0_ZERO
    shapes = {d: style0_metal(shape_rows(STYLE0_SHAPES[d])) for d in range(1, DIGITS)}
    zero_metal = zero >= 2
    depth = {0: style0_depth(zero_metal)}
    for d in range(1, DIGITS):
        depth[d] = style0_depth(shapes[d][1])

    # Shade of each code of the given zero: the mean depth of its cells,
    # with code 7 as the brightest highlight.
    zero_level = {k: depth[0][zero == k].mean() for k in range(2, 51)}
    zero_level[7] = min(zero_level.values()) - 0.6

    # Keyed glyphs: key 1 outline, key 2..50 the zero's codes, 1000+ new shades.
    keyed = [zero.copy()]
    metal_cells = []  # (scan index, digit, row, col, depth)
    for d in range(1, DIGITS):
        painted, metal = shapes[d]
        g = np.where(painted, 1, 0)
        keyed.append(g)
        for r, c in zip(*np.nonzero(metal)):
            metal_cells.append(((d * SIDE + r) * SIDE + c, d, r, c, depth[d][r, c]))
    metal_cells.sort()

    # The darkest tint comes in as the 106th colour: in the recess of the
    # 8's upper counter, after exactly 105 colours have been seen.
    pivot_digit = 8
    black_rows = shape_rows(STYLE0_SHAPES[pivot_digit])
    pr, pc = next((r, c) for r in range(SIDE) for c in range(SIDE) if black_rows[r][c] == 'o')
    pivot = (pivot_digit * SIDE + pr) * SIDE + pc
    before = [m for m in metal_cells if m[0] < pivot]
    after = [m for m in metal_cells if m[0] > pivot]

    fixed_keys = sorted(zero_level)
    fixed_levels = [zero_level[k] for k in fixed_keys]
    new_before = 105 - 50
    new_after = 119 - 106
    c1 = kmeans_1d([m[4] for m in before], fixed_levels, new_before)
    c2 = kmeans_1d([m[4] for m in after], c1, new_after)
    keys = fixed_keys + [1000 + j for j in range(len(c2) - len(fixed_keys))]

    def assign(cells, centres):
        for _, d, r, c, v in cells:
            keyed[d][r, c] = keys[int(np.abs(centres - v).argmin())]

    assign(before, c1)
    assign(after, c2)
    dark_key = 999
    for d in (8, 9):
        rows = shape_rows(STYLE0_SHAPES[d])
        for r in range(SIDE):
            for c in range(SIDE):
                if rows[r][c] == 'o' and (d * SIDE + r) * SIDE + c >= pivot:
                    keyed[d][r, c] = dark_key

    # Depth to grey: code 7 at the top, the deepest shade well above the tint.
    def level_grey(v):
        return float(np.interp(v, (13, 16, 20, 26, 34, 45, 56), (250, 234, 208, 170, 128, 88, 62)))

    colours = {1: (0, 0, 0), dark_key: (16, 16, 24)}
    for key, v in zip(keys, c2):
        colours[key] = style0_grey(level_grey(v))
    colours[7] = (255, 247, 255)
    colours = make_distinct(colours, fixed=(1, 7, dark_key), nudge=style0_nudge)
    return renumber(keyed, colours)


def style0_nudge(rgb, step):
    # apart in the cast, not in brightness: green and blue sway in turn
    r, g, b = rgb
    sway = (0, -1, 1, -2, 2, -3, 3)[step % 7]
    lift = step // 7
    return (r, g + sway, min(255, b + lift))


def make_distinct(colours, fixed, nudge):
    """Nudges repeated colours apart, never touching the pinned ones."""
    used = {colours[k] for k in fixed}
    out = dict((k, colours[k]) for k in fixed)
    for key in sorted(colours, key=lambda k: (k in fixed, k)):
        if key in fixed:
            continue
        rgb, step = colours[key], 0
        while nudge(rgb, step) in used:
            step += 1
        out[key] = nudge(rgb, step)
        used.add(out[key])
    return out


# ---------------------------------------------------------------- skeletons

# Centre lines of the upright digits in a unit box (x right, y down), as
# lists of strokes; styles 1 to 3 place, slant and ink them differently.


def unit_arc(cx, cy, rx, ry, a0, a1):
    return arc(cx, cy, rx, ry, a0, a1, n=max(6, int(abs(a1 - a0) / 8)))


SKELETONS = {
    0: [unit_arc(0.5, 0.5, 0.5, 0.5, 0, 360)],
    1: [[(0.12, 0.22), (0.55, 0.0), (0.55, 1.0)], [(0.12, 1.0), (0.95, 1.0)]],
    2: [unit_arc(0.5, 0.27, 0.5, 0.27, 195, 360) + unit_arc(0.5, 0.27, 0.5, 0.27, 0, 40)
        + [(0.0, 1.0), (1.0, 1.0)]],
    3: [unit_arc(0.5, 0.25, 0.45, 0.25, 205, 450), unit_arc(0.5, 0.73, 0.5, 0.27, 270, 515)],
    4: [[(0.75, 1.0), (0.75, 0.0), (0.0, 0.72), (1.0, 0.72)]],
    5: [[(0.92, 0.0), (0.1, 0.0), (0.1, 0.45), (0.3, 0.41)], unit_arc(0.46, 0.7, 0.52, 0.3, 252, 500)],
    6: [unit_arc(0.5, 0.69, 0.5, 0.31, 0, 360), unit_arc(0.62, 0.69, 0.62, 0.69, 264, 180)],
    7: [[(0.0, 0.0), (1.0, 0.0), (0.33, 1.0)]],
    8: [unit_arc(0.5, 0.24, 0.41, 0.24, 0, 360), unit_arc(0.5, 0.73, 0.5, 0.27, 0, 360)],
}
SKELETONS[9] = [[(1.0 - x, 1.0 - y) for x, y in stroke] for stroke in SKELETONS[6]]


def placed(digit, x0, y0, x1, y1, snap='', shapes=SKELETONS):
    """The digit's strokes mapped onto the box (x0, y0)..(x1, y1).

    snap names the axes ('x', 'y') on which straight upright and level runs
    move to the middle between two cells, so a pen two cells wide lays them
    down crisp instead of as three half-grey rows.
    """
    strokes = [[(x0 + x * (x1 - x0), y0 + y * (y1 - y0)) for x, y in stroke]
               for stroke in shapes[digit]]
    if not snap:
        return strokes
    def half(v):
        return math.floor(v - 0.01) + 0.5

    out = []
    for stroke in strokes:
        pts = [list(p) for p in stroke]
        for a, b in zip(pts[:-1], pts[1:]):
            if math.dist(a, b) < 1.5:
                continue  # arcs are left to the anti-aliasing
            if 'y' in snap and abs(a[1] - b[1]) < 1e-9:
                a[1] = b[1] = half(a[1])
            if 'x' in snap and abs(a[0] - b[0]) < 1e-9:
                a[0] = b[0] = half(a[0])
        out.append([tuple(p) for p in pts])
    return out


# ---------------------------------------------------------------- quantising


def luminance(rgb):
    r, g, b = rgb
    return 0.299 * r + 0.587 * g + 0.114 * b


def phased_quantise(cells, palette, pins, total, rounds=40):
    """Codes for scan-ordered (cell, colour) pairs, numbered by first appearance.

    palette holds the entries already in use (index = code, entry 0 unused);
    pins is a list of (entry, colour, cell): that entry is the colour first
    met at that cell. Between pins exactly the missing entries are created,
    by k-means over the cells of that stretch, so every pin lands on its
    number. Returns ({cell: code}, palette).
    """
    palette = [np.asarray(p, float) for p in palette]
    codes = {}
    pins = sorted(pins)
    order = [cell for cell, _ in cells]
    want = dict(cells)
    stops = [(order.index(cell), entry, colour) for entry, colour, cell in pins]
    stops.append((len(order), total + 1, None))
    start = 0
    for stop, entry, colour in stops:
        stretch = order[start:stop]
        fresh = entry - len(palette)
        assert fresh >= 0, (entry, len(palette))
        assign_stretch(stretch, want, palette, fresh, codes, rounds)
        if colour is not None:
            assert len(palette) == entry, (entry, len(palette))
            palette.append(np.asarray(colour, float))
            codes[order[stop]] = entry
            start = stop + 1
    return codes, palette


def assign_stretch(stretch, want, palette, fresh, codes, rounds):
    if not stretch:
        assert fresh == 0
        return
    values = np.array([want[c] for c in stretch], float)
    old = np.array(palette[1:], float).reshape(-1, 3)
    seeds = values[np.linspace(0, len(values) - 1, fresh).astype(int)] if fresh else np.zeros((0, 3))
    new = seeds.copy()
    for _ in range(rounds):
        centres = np.vstack([old, new])
        owner = ((values[:, None, :] - centres[None, :, :]) ** 2).sum(2).argmin(1)
        err = ((values - centres[owner]) ** 2).sum(1)
        for j in range(fresh):
            members = values[owner == len(old) + j]
            if len(members):
                new[j] = members.mean(0)
            else:
                worst = err.argmax()
                new[j] = values[worst]
                err[worst] = 0
    centres = np.vstack([old, new])
    owner = ((values[:, None, :] - centres[None, :, :]) ** 2).sum(2).argmin(1)
    # every new entry must be met: hand each unused one the worst-served cell
    for j in range(fresh):
        if not (owner == len(old) + j).any():
            err = ((values - centres[owner]) ** 2).sum(1)
            counts = np.bincount(owner, minlength=len(centres))
            err[counts[owner] < 2] = -1
            worst = err.argmax()
            owner[worst] = len(old) + j
            centres[len(old) + j] = values[worst]
    # number the new entries by first appearance within the stretch
    number = {}
    for cell, o in zip(stretch, owner):
        if o >= len(old) and o not in number:
            number[o] = len(palette)
            members = values[owner == o]
            palette.append(members.mean(0))
        codes[cell] = number.get(o, o + 1)


def finish_palette(palette, fixed, shape, nudge):
    """Rounds the entries, shapes them to the style's colour rule and keeps them apart."""
    out = [None] * len(palette)
    used = set()
    for k, rgb in fixed.items():
        out[k] = tuple(rgb)
        used.add(tuple(rgb))
    for k in range(1, len(palette)):
        if out[k] is not None:
            continue
        rgb, step = shape(tuple(int(round(v)) for v in palette[k])), 0
        while nudge(rgb, step) in used:
            step += 1
        out[k] = nudge(rgb, step)
        used.add(out[k])
    return out[1:]


def cells_of(glyph_fields):
    """(cell, colour) pairs in scan order for the painted cells of all digits."""
    out = []
    for d in range(DIGITS):
        field = glyph_fields[d]
        for r in range(SIDE):
            for c in range(SIDE):
                if field[r][c] is not None:
                    out.append(((d, r, c), field[r][c]))
    return out


def glyphs_from(codes):
    glyphs = [np.zeros((SIDE, SIDE), int) for _ in range(DIGITS)]
    for (d, r, c), k in codes.items():
        glyphs[d][r, c] = k
    return glyphs


def clamp8(v):
    return max(0, min(255, v))


# ---------------------------------------------------------------- style 1

TILE_STOPS = ((0.0, (205, 160, 222)),   # mauve
              (0.32, (244, 172, 206)),  # pink
              (0.6, (252, 206, 170)),   # peach
              (0.86, (192, 236, 168)),  # light green
              (1.0, (186, 238, 170)))
VIOLET = (97, 69, 255)
TILE_LIGHTEST = (255, 248, 242)
TILE_GLINT = (2, 9)


def tile_colour(r, c):
    """The soft tile: a diagonal wash, raised edges lit from the top left."""
    t = ((r - 2) + (c - 2)) / 26.0
    stops = TILE_STOPS
    for (t0, c0), (t1, c1) in zip(stops, stops[1:]):
        if t <= t1:
            u = (t - t0) / (t1 - t0)
            rgb = np.array(c0, float) * (1 - u) + np.array(c1, float) * u
            break
    white, shade = np.array((255, 250, 246), float), np.array((196, 112, 170), float)
    lift = {2: 0.55, 3: 0.22}.get(r, 0.0) + {2: 0.45, 3: 0.18}.get(c, 0.0)
    drop = {15: 0.38, 14: 0.14}.get(r, 0.0) + {15: 0.32, 14: 0.12}.get(c, 0.0)
    if r == 2:
        lift += 0.35 * math.exp(-((c - TILE_GLINT[1]) / 2.6) ** 2)
    rgb = rgb + (white - rgb) * min(lift, 0.9)
    rgb = rgb + (shade - rgb) * min(drop, 0.6)
    return rgb


def in_digit_area(r, c):
    return 5 <= r <= 13 and 5 <= c <= 12


def style1():
    fields = []
    for d in range(DIGITS):
        cov = stroke_coverage(placed(d, 6.0, 6.0, 11.0, 12.0, snap='xy'), 0.92)
        field = [[None] * SIDE for _ in range(SIDE)]
        for r in range(2, 16):
            for c in range(2, 16):
                k = cov[r, c] if in_digit_area(r, c) else 0.0
                tile = tile_colour(r, c)
                field[r][c] = tile + (np.array(VIOLET, float) - tile) * min(1.0, k * 1.15)
        fields.append(field)
    fields[0][TILE_GLINT[0]][TILE_GLINT[1]] = np.array(TILE_LIGHTEST, float)
    # the tile around the digit area is digit 0's in every glyph
    for d in range(1, DIGITS):
        for r in range(2, 16):
            for c in range(2, 16):
                if not in_digit_area(r, c):
                    fields[d][r][c] = None
    cells = cells_of(fields)
    first_violet = next(cell for cell, rgb in cells if np.abs(rgb - VIOLET).sum() < 1)
    pins = [(8, TILE_LIGHTEST, (0,) + TILE_GLINT), (31, VIOLET, first_violet)]
    codes, palette = phased_quantise(cells, [None], pins, 154)
    for d in range(1, DIGITS):
        for r in range(2, 16):
            for c in range(2, 16):
                if not in_digit_area(r, c):
                    codes[(d, r, c)] = codes[(0, r, c)]
    colours = finish_palette(palette, {8: TILE_LIGHTEST, 31: VIOLET}, lambda rgb: rgb, warm_nudge)
    return glyphs_from(codes), colours


def warm_nudge(rgb, step):
    r, g, b = rgb
    sway = (0, 1, -1, 2, -2, 3, -3)[step % 7]
    return (r, clamp8(g + sway), clamp8(b - step // 7))


# ---------------------------------------------------------------- style 2

NAVY = (0, 16, 90)
SLATE = (99, 107, 140)
CYAN = (8, 222, 231)
SLANT = 0.24


# Rightmost column the slanted artwork may reach, per row.
STYLE2_RIGHT = {r: 15 for r in range(6, 13)}
STYLE2_RIGHT.update({r: 14 for r in range(13, 16)})
STYLE2_RIGHT.update({16: 13, 17: 13})


def style2_allowed(r, c):
    return r in STYLE2_RIGHT and c <= STYLE2_RIGHT[r] and (c > 0 or r >= 8)


def style2_body_allowed(r, c):
    """Below the top row the body keeps room for its shadow on the right.

    The shadow is what a neighbour to the right sees of this digit where the
    two overlap, so it must never be clipped away.
    """
    if r == 6:
        return style2_allowed(r, c)
    return style2_allowed(r, c) and style2_allowed(r + 1, c + 1)


STYLE2_PEN = 0.95
STYLE2_PEN_WIDTH = 1.05

# Wide digits need a 6 and 9 whose stem sweeps round from the bowl, not a hook.
STYLE2_SKELETONS = dict(SKELETONS)
STYLE2_SKELETONS[6] = [unit_arc(0.5, 0.69, 0.5, 0.31, 0, 360), unit_arc(0.72, 0.72, 0.72, 0.72, 180, 290)]
STYLE2_SKELETONS[9] = [[(1.0 - x, 1.0 - y) for x, y in stroke] for stroke in STYLE2_SKELETONS[6]]

# Left and right of each upright design, before the slant.
STYLE2_SPAN = {None: (-0.3, 12.2), 1: (3.9, 11.0)}


def style2_body(d):
    """Cells of the slanted navy stroke, standing one row above the shadow's foot."""
    top = 7.0 if d == 1 else 6.0
    x0, x1 = STYLE2_SPAN.get(d, STYLE2_SPAN[None])
    strokes = placed(d, x0, top + 0.8, x1, 15.2, snap='y', shapes=STYLE2_SKELETONS)
    if d == 7:
        # the italic seven's bar runs on to meet the slant's edge
        strokes[0][1] = (strokes[0][1][0] + 0.9, strokes[0][1][1])
    # a pen wider than tall keeps slanted stems two cells thick in every row
    cov = stroke_coverage(strokes, STYLE2_PEN * STYLE2_PEN_WIDTH, STYLE2_PEN, shear=SLANT)
    allowed = np.array([[style2_body_allowed(r, c) for c in range(SIDE)] for r in range(SIDE)])
    return (cov >= 0.42) & allowed, cov


def outside_of(mask):
    """Unpainted cells reachable from the box's border, as opposed to counters."""
    out = np.zeros(mask.shape, bool)
    todo = [(r, c) for r in range(SIDE) for c in range(SIDE)
            if (r in (0, SIDE - 1) or c in (0, SIDE - 1)) and not mask[r, c]]
    while todo:
        r, c = todo.pop()
        if out[r, c]:
            continue
        out[r, c] = True
        todo += [(rr, cc) for rr, cc in neighbours(r, c)
                 if inside(rr, cc) and not mask[rr, cc] and not out[rr, cc]]
    return out


def style2_fields(d):
    """Navy strokes lit at the upper left in blue to cyan, over a slate shadow."""
    body, cov = style2_body(d)
    open_air = outside_of(body)

    def on(r, c):
        return inside(r, c) and body[r, c]

    def air(r, c):
        return not inside(r, c) or open_air[r, c]

    field = [[None] * SIDE for _ in range(SIDE)]
    for r in range(SIDE):
        for c in range(SIDE):
            if not style2_allowed(r, c):
                continue
            if on(r, c):
                height = min(1.0, max(0.0, (16.0 - r) / 10.0))
                # only the outer rim catches the light; counters stay dark and clear
                up, left = air(r - 1, c), air(r, c - 1)
                if up or (left and air(r - 1, c - 1)):
                    glow = np.array((22, 74, 200), float) * (1 - height) + np.array(CYAN, float) * height
                    depth = 1.0 if up and left else (0.72 if up else 0.5)
                    field[r][c] = np.array(NAVY, float) + (glow - NAVY) * depth
                else:
                    field[r][c] = np.array(NAVY, float)
            elif on(r - 1, c - 1) and open_air[r, c]:
                # the shadow's soft side where the body barely casts it
                soft = 1.0 - cov[r - 1, c - 1]
                field[r][c] = np.array(SLATE, float) + (np.array((140, 148, 180), float) - SLATE) * soft * 0.9
    return field


def style2():
    fields = [style2_fields(d) for d in range(DIGITS)]
    values = np.array([rgb for _, rgb in cells_of(fields)], float)
    fixed = [np.array(SLATE, float), np.array(NAVY, float), np.array(CYAN, float)]
    free = 27
    new = values[np.linspace(0, len(values) - 1, free).astype(int)].copy()
    for _ in range(60):
        centres = np.vstack([fixed, new])
        owner = ((values[:, None] - centres[None]) ** 2).sum(2).argmin(1)
        err = ((values - centres[owner]) ** 2).sum(1)
        for j in range(free):
            m = values[owner == 3 + j]
            if len(m):
                new[j] = m.mean(0)
            else:
                w = err.argmax()
                new[j] = values[w]
                err[w] = 0
    # free entries by brightness, around the pinned 1, 2 and 29
    rank = sorted(range(free), key=lambda j: luminance(new[j]))
    entry_of = {0: 1, 1: 2, 2: 29}
    slots = [k for k in range(3, 31) if k != 29]
    for j, k in zip(rank, slots):
        entry_of[3 + j] = k
    palette = [None] * 31
    for j, k in entry_of.items():
        palette[k] = centres[j]
    codes = {}
    for (cell, rgb), o in zip(cells_of(fields), owner):
        codes[cell] = entry_of[o]
    colours = finish_palette(palette, {1: SLATE, 2: NAVY, 29: CYAN}, blue_rule, blue_nudge)
    return glyphs_from(codes), colours


def blue_rule(rgb):
    r, g, b = rgb
    return (r, g, max(b, r, g))


def blue_nudge(rgb, step):
    r, g, b = rgb
    return (clamp8(r - step), g, b)


# ---------------------------------------------------------------- style 3


def descending(strokes, depth):
    """The lower quarter of a digit drawn out below the baseline by depth."""
    return [[(x, y + depth * max(0.0, y - 0.75) / 0.25) for x, y in stroke] for stroke in strokes]


# The tails of 7 and 9 dip one row under the line the other digits stand on,
# as in figures whose diagonal tails descend.
STYLE3_SKELETONS = dict(SKELETONS)
STYLE3_SKELETONS[7] = descending(SKELETONS[7], 0.24)
STYLE3_SKELETONS[9] = descending(SKELETONS[9], 0.24)


def style3():
    greys = np.array([STYLE3_PALETTE[k][0] for k in range(17)], float)
    glyphs = [STYLE3_ZERO.copy()]
    for d in range(1, DIGITS):
        # the zero's metrics: strokes two cells wide, a cell of grey round them
        x0, x1 = (6.5, 10.14) if d == 1 else (6.4, 11.6)
        cov = stroke_coverage(placed(d, x0, 5.3, x1, 12.0, snap='xy', shapes=STYLE3_SKELETONS), 1.02)
        g = np.zeros((SIDE, SIDE), int)
        for r in range(4, 15):
            for c in range(5, 14):
                v = 92 + cov[r, c] * 163
                if cov[r, c] > 0.1:
                    g[r, c] = 1 + int(np.abs(greys[1:] - v).argmin())
        glyphs.append(g)
    # 15 must be met before 16: trade early 16s for their nearest neighbour
    while True:
        order = first_appearance_order(glyphs)
        if order == list(range(1, 17)):
            break
        bad = order[order.index(14) + 1]  # first code after the zero's own
        for g in glyphs[1:]:
            hit = np.argwhere(g == bad)
            if len(hit):
                r, c = hit[0]
                g[r, c] = 11 if bad == 16 else 13
                break
    return glyphs, list(STYLE3_PALETTE[1:])


# ---------------------------------------------------------------- output


def write_style(out_dir, style, glyphs, palette):
    lines = ['# Style %d: 10 digits of 18 x 18 cell codes, "." paints nothing.' % style]
    for d, g in enumerate(glyphs):
        lines.append('digit %d' % d)
        for r in range(SIDE):
            lines.append(' '.join('%3s' % ('.' if v == 0 else v) for v in g[r]).rstrip())
    glyph_text = '\n'.join(lines) + '\n'
    # entry 0 is the background, entry k colours code k; nothing else in the file
    pal_lines = ['%d %d %d' % rgb for rgb in palette]
    pal_text = '\n'.join(pal_lines) + '\n'
    return {
        os.path.join(out_dir, 'style%d_glyphs.txt' % style): glyph_text,
        os.path.join(out_dir, 'style%d_palette.txt' % style): pal_text,
    }


STYLES = {}
BUILT = {}


def build():
    STYLES.update({0: style0, 1: style1, 2: style2, 3: style3})
    files = {}
    for s, make in sorted(STYLES.items()):
        glyphs, colours = make()
        palette = [BACKGROUND[s]] + list(colours)
        check_style(s, glyphs, palette)
        BUILT[s] = (glyphs, palette)
        files.update(write_style(DATA_DIR, s, glyphs, palette))
    return files


def sketch(path, scale=8):
    """Quick look while drawing; the real preview is made from the built tables."""
    from PIL import Image
    backs = ((238, 238, 232), (40, 44, 52))
    w = (14 * DIGITS + 4) * scale
    out = Image.new('RGB', (w * 2 + 8, 18 * scale * len(BUILT) + 4 * len(BUILT)), (128, 128, 128))
    for i, (s, (glyphs, palette)) in enumerate(sorted(BUILT.items())):
        for j, back in enumerate(backs):
            bg = palette[0] if s == 3 else back
            img = np.zeros((18, 14 * DIGITS + 4, 3), np.uint8)
            img[:] = bg
            for d in range(DIGITS - 1, -1, -1):
                g = glyphs[d]
                for r in range(SIDE):
                    for c in range(SIDE):
                        if g[r, c]:
                            img[r, 14 * d + c] = palette[g[r, c]]
            im = Image.fromarray(img).resize((w, 18 * scale), Image.NEAREST)
            out.paste(im, (j * (w + 8), i * (18 * scale + 4)))
    out.save(path)


def check_style(s, glyphs, palette):
    assert len(palette) == PALETTE_SIZE[s], (s, len(palette))
    if s != 2:
        order = first_appearance_order(glyphs)
        assert order == list(range(1, len(order) + 1)), (s, 'codes out of first-appearance order')
    assert len(set(palette)) == len(palette), s
    for k, rgb in PINNED[s].items():
        assert palette[k] == rgb, (s, k, palette[k], rgb)
    used = set()
    for g in glyphs:
        used |= set(int(v) for v in g.flat)
    assert used == set(range(PALETTE_SIZE[s])), (s, sorted(set(range(PALETTE_SIZE[s])) - used))


DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'data')


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--check', action='store_true', help='compare with data/ instead of writing')
    ap.add_argument('--sketch', help='also write an enlarged PNG of the art (needs python3-pil)')
    args = ap.parse_args()
    files = build()
    if args.sketch:
        sketch(args.sketch)
    stale = []
    for path, text in sorted(files.items()):
        old = open(path).read() if os.path.exists(path) else None
        if old != text:
            stale.append(path)
            if not args.check:
                with open(path, 'w') as f:
                    f.write(text)
    if args.check and stale:
        sys.exit('stale: ' + ', '.join(stale))


if __name__ == '__main__':
    main()
