"""OpenCV's 8-bit RGB to L*a*b* conversion as the integer arithmetic it is: two lookup tables
and nine fixed-point coefficients. The report's page scores colours with it, in the browser, so
that it ranks cards exactly as `huesift search` ranks records with `cv2.cvtColor`.

OpenCV builds the tables once, in emulated IEEE arithmetic; they are rebuilt here the same way
with NumPy's float32 and float64, which round as the emulation does. A test compares the
conversion with `cv2.cvtColor(..., cv2.COLOR_RGB2LAB)` for all 16.7 million colours.
"""

from __future__ import annotations

import struct
from functools import lru_cache
from typing import Dict, List

# sRGB to XYZ (D65) and the D65 white point, as the bit patterns OpenCV states them.
SRGB_TO_XYZ = ("3fda65a14488c60d", "3fd6e297396d0918", "3fc71819d2391d58",
               "3fcb38cda6e75ff6", "3fe6e297396d0918", "3fb279aae6c8f755",
               "3f93cc4ac6cdaf4b", "3fbe836eb4e98138", "3fee68427418d691")
WHITE = ("3fee6a22b3892ee8", "3ff0000000000000", "3ff16b8950763a19")

XYZ_SHIFT = 12  # the coefficients' fixed point
GAMMA_SHIFT = 3  # the linearised components': 255 * 8 is full scale
LAB_SHIFT = XYZ_SHIFT + GAMMA_SHIFT  # the cube roots'
CBRT_SIZE = 256 * 3 // 2 * (1 << GAMMA_SHIFT)

# Entries where OpenCV's own float32 cube root lies one unit in the last place below the
# correctly rounded one, on a product that is then exactly halfway between two integers.
CBRT_EXCEPTIONS = {324: 17745}


def _double(bits: str) -> float:
    return struct.unpack(">d", bytes.fromhex(bits))[0]


@lru_cache(maxsize=1)
def tables() -> Dict[str, List[int]]:
    """{"coeffs": 9 fixed-point XYZ coefficients, white point divided out, row by row;
    "gamma": the linearised value of each 8-bit component; "cbrt": L*a*b*'s f(t) of each
    fixed-point X, Y or Z; and the fixed-point constants of L*, a* and b* from them}."""
    import numpy as np

    f32 = np.float32
    matrix = [_double(b) for b in SRGB_TO_XYZ]
    white = [_double(b) for b in WHITE]
    coeffs = [int(np.rint((1 << XYZ_SHIFT) * matrix[3 * i + j] / white[i]))
              for i in range(3) for j in range(3)]
    gamma = []
    for i in range(256):
        x = float(f32(i) / f32(255))
        linear = x / (323 / 25) if x <= 809 / 20000 else ((x + 11 / 200) / (1 + 11 / 200)) ** 2.4
        gamma.append(int(np.rint(f32(255 << GAMMA_SHIFT) * f32(linear))))
    threshold, slope, bias = f32(216) / f32(24389), f32(841) / f32(108), f32(16) / f32(116)
    step = f32(1) / f32(255 << GAMMA_SHIFT)
    cbrt = []
    for i in range(CBRT_SIZE):
        t = step * f32(i)
        # below the threshold, a fused multiply-add: one rounding, of the exact float64 product
        value = f32(float(t) * float(slope) + float(bias)) if t < threshold else f32(np.cbrt(
            float(t)))
        cbrt.append(CBRT_EXCEPTIONS.get(i, int(np.rint(f32(1 << LAB_SHIFT) * value))))
    # the constants of the steps after the tables, for the page's script (report_assets/lab.js)
    return {"coeffs": coeffs, "gamma": gamma, "cbrt": cbrt, "lScale": L_SCALE,
            "lShift": L_SHIFT, "abShift": 128 << LAB_SHIFT}


def rgb_to_lab(rgb):  # type: ignore[no-untyped-def]
    """The L*a*b* bytes of an N x 3 array of 8-bit RGB colours, by the tables (what the page's
    script computes), as an N x 3 uint8 array."""
    import numpy as np

    t = tables()
    gamma, cbrt = np.array(t["gamma"], np.int64), np.array(t["cbrt"], np.int64)
    c = t["coeffs"]
    linear = gamma[np.asarray(rgb, np.uint8).reshape(-1, 3)]
    r, g, b = linear[:, 0], linear[:, 1], linear[:, 2]

    def descale(v, shift):  # type: ignore[no-untyped-def]
        return (v + (1 << (shift - 1))) >> shift

    fx = cbrt[descale(r * c[0] + g * c[1] + b * c[2], XYZ_SHIFT)]
    fy = cbrt[descale(r * c[3] + g * c[4] + b * c[5], XYZ_SHIFT)]
    fz = cbrt[descale(r * c[6] + g * c[7] + b * c[8], XYZ_SHIFT)]
    lightness = descale(L_SCALE * fy + L_SHIFT, LAB_SHIFT)
    a = descale(500 * (fx - fy) + (128 << LAB_SHIFT), LAB_SHIFT)
    b_ = descale(200 * (fy - fz) + (128 << LAB_SHIFT), LAB_SHIFT)
    return np.clip(np.stack([lightness, a, b_], axis=1), 0, 255).astype(np.uint8)


# L = 116 f(Y) - 16, scaled from 0..100 to 0..255, in the cube roots' fixed point
L_SCALE = (116 * 255 + 50) // 100
L_SHIFT = -((16 * 255 * (1 << LAB_SHIFT) + 50) // 100)
