"""KMeans(n_clusters=k, random_state=42, n_init=10).fit_predict as exact arithmetic runs it.

scikit-learn's steps (k-means++ with its draws, Lloyd's iterations, relocation of empty
clusters, the best run) with whole numbers and ratios of them in place of floats. Ties go as
scikit-learn's code sends equal values: the first index, the earlier run; between seeds, as
scikit-learn's own first E-step rounds them. Slow: for a few hundred colours.
"""
from fractions import Fraction

import numpy as np
from sklearn.cluster._kmeans import _labels_inertia


class Centre:
    """A sum of colour values over a pixel count."""

    def __init__(self, total, count):
        self.total, self.count = tuple(int(t) for t in total), int(count)

    def scaled(self, colour):  # |W x - S|^2, the squared distance times W^2
        return sum((self.count * int(c) - t) ** 2 for c, t in zip(colour, self.total))

    def value(self):
        return [Fraction(t, self.count) for t in self.total]


def nearer(colour, a, b):
    """|x - a|^2 < |x - b|^2, and -1, 0, 1 as a comparison."""
    left, right = a.scaled(colour) * b.count ** 2, b.scaled(colour) * a.count ** 2
    return (left > right) - (left < right)


def nearest(colour, centres):
    best = 0
    for j in range(1, len(centres)):
        if nearer(colour, centres[j], centres[best]) < 0:
            best = j
    return best


def exact_kmeans(pixels, k, n_init=10, max_iter=300, tol=1e-4):
    x = np.ascontiguousarray(pixels)
    n = len(x)
    values, inverse, counts = np.unique(x, axis=0, return_inverse=True, return_counts=True)
    inverse = inverse.reshape(-1)
    first_of = [int(np.flatnonzero(inverse == c)[0]) for c in range(len(values))]
    floats = x.astype(np.float64)
    tolerance = Fraction(float(np.mean(np.var(floats, axis=0)) * tol))
    centred = floats - floats.mean(axis=0)
    rng = np.random.RandomState(42)
    trials = 2 + int(np.log(k))
    best = None
    for _ in range(n_init):
        seeds = [rng.choice(n, p=np.ones(n) / n)]
        closest = ((values.astype(np.int64) - x[seeds[0]].astype(np.int64)) ** 2).sum(axis=1)
        for _ in range(1, k):
            pot = int((closest * counts).sum())
            running = np.cumsum(closest[inverse])
            candidates = []
            for draw in rng.uniform(size=trials):
                reach = Fraction(draw) * pot
                wanted = -(-reach.numerator // reach.denominator)
                candidates.append(min(int(np.searchsorted(running, wanted)), n - 1))
            pots = []
            for i in candidates:
                d = ((values.astype(np.int64) - x[i].astype(np.int64)) ** 2).sum(axis=1)
                pots.append(int((np.minimum(closest, d) * counts).sum()))
            chosen = candidates[int(np.argmin(pots))]
            seeds.append(chosen)
            d = ((values.astype(np.int64) - x[chosen].astype(np.int64)) ** 2).sum(axis=1)
            closest = np.minimum(closest, d)
        centres = [Centre(x[i], 1) for i in seeds]
        first = _labels_inertia(centred, np.ones(n), centred[seeds], n_threads=1,
                                return_inertia=False)
        labels = [int(first[i]) for i in first_of]
        previous, strict = None, False
        for iteration in range(max_iter):
            if iteration:
                labels = [nearest(v, centres) for v in values]
            sums = [[0, 0, 0] for _ in range(k)]
            weights = [0] * k
            for v, w, j in zip(values, counts, labels):
                weights[j] += int(w)
                for c in range(3):
                    sums[j][c] += int(v[c]) * int(w)
            empty = [j for j in range(k) if weights[j] == 0]
            on_centre = all(centres[j].scaled(v) == 0 for v, j in zip(values, labels))
            if empty and not on_centre:
                # the farthest first; equally far, the colour that appears first
                order = sorted(range(len(values)), key=lambda c: (
                    -Fraction(centres[labels[c]].scaled(values[c]), centres[labels[c]].count ** 2),
                    first_of[c]))
                far = [c for c in order for _ in range(int(counts[c]))][:len(empty)]
                for j, c in zip(empty, far):
                    for ch in range(3):
                        sums[labels[c]][ch] -= int(values[c][ch])
                    weights[labels[c]] -= 1
                    sums[j], weights[j] = [int(v) for v in values[c]], 1
            heaviest = int(np.argmax(weights))
            moved = []
            for j in range(k):
                if weights[j]:
                    moved.append(Centre(sums[j], weights[j]))
                elif heaviest < j:
                    moved.append(moved[heaviest])
                else:
                    raise NotImplementedError("an empty cluster takes an unaveraged sum")
            shift = sum(sum((a - b) ** 2 for a, b in zip(m.value(), c.value()))
                        for m, c in zip(moved, centres))
            centres = moved
            if labels == previous:
                strict = True
                break
            if shift <= tolerance:
                break
            previous = labels
        if not strict:
            labels = [nearest(v, centres) for v in values]
        inertia = sum(int(w) * Fraction(centres[j].scaled(v), centres[j].count ** 2)
                      for v, w, j in zip(values, counts, labels))
        if best is None or (inertia < best[0] and not same_clustering(labels, best[1], k)):
            best = (inertia, labels, centres)
    _, labels, centres = best
    colors = np.array([[float(v) for v in c.value()] for c in centres])
    return colors, np.array(labels, dtype=np.int32)[inverse]


def same_clustering(a, b, k):
    mapping = [-1] * k
    for x, y in zip(a, b):
        if mapping[x] == -1:
            mapping[x] = y
        elif mapping[x] != y:
            return False
    return True
