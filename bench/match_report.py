"""find_color_matches natively against the per-pixel path, and on a 12-megapixel photo."""

import sys
import threading
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import machine, sample, upscaled  # noqa: E402

TARGETS = {"black": (0, 0, 0), "white": (255, 255, 255), "skin": (230, 190, 170),
           "navy": (40, 50, 110), "red": (200, 40, 40)}


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    from vantrel_huesift.tintmill import ColorExtractor

    class PerPixel(ColorExtractor):
        def _color_distance_lab(self, color1, color2):
            return ColorExtractor._color_distance_lab(self, color1, color2)

    print(f"find_color_matches with 5 targets, on {machine()}")
    crop = sample()[:512, :512]
    fast_s, fast = timed(lambda: ColorExtractor().find_color_matches(crop, TARGETS))
    slow_s, slow = timed(lambda: PerPixel().find_color_matches(crop, TARGETS))
    print(f"  512 x 512, native            {fast_s:9.3f} s")
    print(f"  512 x 512, per-pixel path    {slow_s:9.3f} s   (identical: {fast == slow})")
    print(f"  ratio                        {slow_s / fast_s:9.0f} x")

    big = upscaled()
    for config in ({}, {"preprocessing": False}):
        ext = ColorExtractor(**config)
        seconds, _ = timed(lambda: ext.find_color_matches(big, TARGETS))
        print(f"  4000 x 3000 {str(config):24} {seconds:7.3f} s")

    # The native loops release the GIL: two threads on two photos.
    ext = ColorExtractor(preprocessing=False)
    photos = [big, big[:, ::-1].copy()]
    one, _ = timed(lambda: [ext.find_color_matches(p, TARGETS) for p in photos])
    threads = [threading.Thread(target=ext.find_color_matches, args=(p, TARGETS)) for p in photos]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    two = time.perf_counter() - start
    print(f"  two 12 MP reports, 1 thread  {one:7.3f} s; 2 threads {two:7.3f} s; "
          f"speed-up {one / two:.2f} x")


if __name__ == "__main__":
    main()
