"""find_color_matches natively against the per-pixel path, and on a 12-megapixel photo."""

import sys
import threading
import time

sys.path.insert(0, __file__.rsplit("/", 1)[0])

from common import machine, sample, upscaled  # noqa: E402

TARGETS = {"black": (0, 0, 0), "white": (255, 255, 255), "skin": (230, 190, 170),
           "navy": (40, 50, 110), "red": (200, 40, 40)}


def timed(fn, repeat=1):
    """Median seconds of `repeat` calls after one warm-up call, and the result."""
    result = fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return sorted(times)[len(times) // 2], result


def main():
    from vantrel_huesift.tintmill import ColorExtractor

    class PerPixel(ColorExtractor):
        def _color_distance_lab(self, color1, color2):
            return ColorExtractor._color_distance_lab(self, color1, color2)

    print(f"find_color_matches with 5 targets, on {machine()}")
    crop = sample()[:512, :512]
    fast_s, fast = timed(lambda: ColorExtractor().find_color_matches(crop, TARGETS), 9)
    slow_s, slow = timed(lambda: PerPixel().find_color_matches(crop, TARGETS))
    print(f"  512 x 512, native            {fast_s:9.3f} s")
    print(f"  512 x 512, per-pixel path    {slow_s:9.3f} s   (identical: {fast == slow})")
    print(f"  ratio                        {slow_s / fast_s:9.0f} x")

    big = upscaled()
    for config in ({}, {"preprocessing": False}):
        ext = ColorExtractor(**config)
        seconds, _ = timed(lambda: ext.find_color_matches(big, TARGETS), 3)
        print(f"  4000 x 3000 {str(config):24} {seconds:7.3f} s")

    # The native loops release the GIL: two threads on two photos. OpenCV's own thread pool
    # already fills both cores, so the comparison is also made with it set to one thread.
    import cv2
    ext = ColorExtractor(preprocessing=False)
    photos = [big, big[:, ::-1].copy()]
    for opencv_threads in (cv2.getNumThreads(), 1):
        cv2.setNumThreads(opencv_threads)
        one, _ = timed(lambda: [ext.find_color_matches(p, TARGETS) for p in photos])

        def both():
            threads = [threading.Thread(target=ext.find_color_matches, args=(p, TARGETS))
                       for p in photos]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        two, _ = timed(both)
        print(f"  two 12 MP reports, OpenCV threads {opencv_threads}: 1 thread {one:6.3f} s, "
              f"2 threads {two:6.3f} s, speed-up {one / two:.2f} x")


if __name__ == "__main__":
    main()
