"""A slow reference of a whole training run, written from the description of
the engine, for comparing bits: every float32 operation is done one at a
time on NumPy float32 scalars in the order the engine fixes, and the
logarithm, exponential and square root are taken in double precision on the
widened float and rounded back, as the engine does. Only for small maps that
start from a given codebook (no random seeding)."""

import math

import numpy as np

f32 = np.float32


def decay_linear_ref(start, end, epochs, epoch):
    quotient = f32(f32(start - end) / f32(epochs - f32(1.0)))
    return f32(start - f32(epoch * quotient))


def decay_exponential_ref(start, end, epochs, epoch):
    if end == 0:
        k = f32(-(math.log(0.1) / float(epochs)))
    else:
        logarithm = f32(math.log(float(f32(end / start))))
        k = f32(-f32(logarithm / epochs))
    x = f32(-f32(k * epoch))
    return f32(start * f32(math.exp(float(x))))


def decay_ref(cooling, start, end, epochs, epoch):
    law = decay_linear_ref if cooling == "linear" else decay_exponential_ref
    return law(start, end, epochs, epoch)


def node_distance_ref(x1, y1, x2, y2, columns, rows, map_type, grid_type):
    if map_type not in ("planar", "toroid"):
        return f32(0.0)
    dx, dy = abs(x1 - x2), abs(y1 - y2)
    if map_type == "toroid":
        dx, dy = min(dx, columns - dx), min(dy, rows - dy)
    if grid_type != "rectangular" and dy % 2 == 1:
        shift = -0.5 if min(y1, y2) % 2 == 1 else 0.5
        dx = int(dx + shift)  # truncation toward zero
    return f32(math.sqrt(float(f32(dx * dx + dy * dy))))


def neighbourhood_weight_ref(distance, radius, scale, cutoff, use_gaussian):
    if not use_gaussian:
        weight = f32(1.0) if distance <= radius else f32(0.0)
    elif cutoff and distance > radius:
        weight = f32(0.0)
    else:
        a = f32(radius + f32(1.0))
        coefficient = f32(2.0)
        denominator = f32(f32(f32(a + a) * a) / f32(coefficient * coefficient))
        x = f32(f32(-f32(distance * distance)) / denominator)
        weight = f32(math.exp(float(x)))
    return f32(weight * scale)


def find_bmus_ref(data, codebook, columns, rows, dimension, vector_count):
    bmus = []
    for n in range(vector_count):
        best = None
        for y in range(rows):
            for x in range(columns):
                node = (y * columns + x) * dimension
                total = f32(0.0)
                for i in range(dimension):
                    difference = f32(codebook[node + i] - data[n * dimension + i])
                    total = f32(total + f32(difference * difference))
                if best is None or total < best[0]:
                    best = (total, x, y)
        bmus.append(best[1:])
    return bmus


def update_codebook_ref(data, codebook, bmus, columns, rows, dimension,
                        radius, scale, map_type, grid_type, cutoff,
                        use_gaussian):  # fmt: skip
    for y in range(rows):
        for x in range(columns):
            numerator = [f32(0.0)] * dimension
            denominator = f32(0.0)
            for n, (bx, by) in enumerate(bmus):
                distance = node_distance_ref(x, y, bx, by, columns, rows,
                                             map_type, grid_type)
                weight = neighbourhood_weight_ref(distance, radius, scale,
                                                  cutoff, use_gaussian)
                for i in range(dimension):
                    product = f32(data[n * dimension + i] * weight)
                    # The first vector sets the sums; the others add to them.
                    numerator[i] = product if n == 0 else f32(product + numerator[i])
                denominator = weight if n == 0 else f32(denominator + weight)
            node = (y * columns + x) * dimension
            for i in range(dimension):
                quotient = f32(numerator[i] / denominator)
                if quotient > 0:
                    codebook[node + i] = quotient


def umatrix_ref(codebook, columns, rows, dimension, map_type, grid_type):
    umatrix = np.zeros(columns * rows, dtype=np.float32)
    for y in range(rows):
        for x in range(columns):
            total, count = f32(0.0), 0
            for ny in range(rows):
                for nx in range(columns):
                    if (nx, ny) == (x, y):
                        continue
                    distance = node_distance_ref(x, y, nx, ny, columns, rows,
                                                 map_type, grid_type)
                    if distance > f32(1.5):
                        continue
                    count += 1
                    a = (y * columns + x) * dimension
                    b = (ny * columns + nx) * dimension
                    squares = f32(0.0)
                    for i in range(dimension):
                        t = f32(abs(f32(codebook[a + i] - codebook[b + i])))
                        squares = f32(squares + f32(t * t))
                    total = f32(total + f32(math.sqrt(float(squares))))
            umatrix[y * columns + x] = f32(total / f32(count))
    return umatrix


def train_ref(data, epoch_count, columns, rows, dimension, vector_count,
              radius_start, radius_end, radius_cooling, scale_start,
              scale_end, scale_cooling, map_type, grid_type, cutoff,
              use_gaussian, codebook):  # fmt: skip
    """Returns the codebook, BMUs and U-matrix of a run from a given
    codebook, as float32/int32 arrays."""
    assert vector_count > 0 and codebook.size >= 2
    assert not (codebook[0] == 1000.0 and codebook[1] == 2000.0)
    codebook = codebook.astype(np.float32).copy()
    if radius_start == 0:
        radius_start = int(f32(min(columns, rows)) * f32(0.5))
    if radius_end == 0:
        radius_end = 1
    scale_start = f32(scale_start)
    if scale_start == 0:
        scale_start = f32(0.1)
    with np.errstate(all="ignore"):  # 0/0 and overflows are part of it
        epochs = f32(epoch_count)
        for epoch in range(epoch_count):
            bmus = find_bmus_ref(data, codebook, columns, rows, dimension,
                                 vector_count)
            radius = decay_ref(radius_cooling, f32(radius_start),
                               f32(radius_end), epochs, f32(epoch))
            scale = decay_ref(scale_cooling, scale_start, f32(scale_end),
                              epochs, f32(epoch))
            update_codebook_ref(data, codebook, bmus, columns, rows,
                                dimension, radius, scale, map_type, grid_type,
                                cutoff, use_gaussian)  # fmt: skip
        bmus = find_bmus_ref(data, codebook, columns, rows, dimension,
                             vector_count)
        umatrix = umatrix_ref(codebook, columns, rows, dimension, map_type,
                              grid_type)
    return codebook, np.array(bmus, dtype=np.int32).ravel(), umatrix
