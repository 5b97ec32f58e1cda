"""The huesift command line: dominant colours and target reports for one photo or many."""

from __future__ import annotations

import argparse
import glob
import json
import os
import sys
import warnings
from pathlib import Path
from typing import Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

import matplotlib

# Charts are written to files only; no window is ever opened.
matplotlib.use("Agg")

from . import tintmill  # noqa: E402

IMAGE_SUFFIXES = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff", ".webp", ".jp2", ".ppm",
                  ".pgm", ".pbm", ".pnm", ".sr", ".ras", ".exr", ".hdr", ".pic"}


class UsageError(Exception):
    """A mistake in what the user asked for: reported in one line, without a traceback."""


# ---- the extractor and its options -----------------------------------------------------

def add_extract_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--mask", help="mask image: white areas are analysed")
    parser.add_argument("--colors", type=int, default=5, metavar="N",
                        help="number of dominant colours (default 5)")
    parser.add_argument("--algorithm", choices=["kmeans", "dbscan"], default="kmeans")
    parser.add_argument("--no-preprocessing", action="store_true",
                        help="skip lighting equalisation and denoising")
    parser.add_argument("--rgb", action="store_true", help="cluster in RGB instead of L*a*b*")
    parser.add_argument("--gpu", choices=["auto", "force", "never"], default="auto")


def make_extractor(args: argparse.Namespace):
    gpu_available = bool(getattr(tintmill, "GPU_AVAILABLE", False))
    if args.gpu == "force" and not gpu_available:
        raise UsageError("GPU forced but not available (install the 'gpu' extra: CuPy and cuML)")
    config = dict(n_colors=args.colors, algorithm=args.algorithm,
                  preprocessing=not args.no_preprocessing, lab_space=not args.rgb)
    if hasattr(tintmill, "get_compute_device"):
        config["use_gpu"] = args.gpu
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return tintmill.ColorExtractor(**config)


def require_file(path: Optional[str], what: str) -> None:
    if path is not None and not os.path.isfile(path):
        raise UsageError(f"{what} not found: {path}")


def write_chart(extractor, colors: list, path: str) -> None:
    import matplotlib.pyplot as plt

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # Agg cannot show; saving is all that is wanted
            extractor.visualize_colors(colors, path)
    finally:
        plt.close("all")


def hex_of(color: Sequence[int]) -> str:
    return "#" + "".join(f"{c:02x}" for c in color)


# ---- extract ---------------------------------------------------------------------------

def run_extract(args: argparse.Namespace) -> int:
    require_file(args.image, "image")
    require_file(args.mask, "mask")
    extractor = make_extractor(args)
    colors = extractor.extract_colors(args.image, args.mask)
    if args.json:
        print(json.dumps(colors))
    else:
        print(f"{'#':>3}  {'colour':<9} {'RGB':<17} {'share':>8}")
        for i, record in enumerate(colors, 1):
            rgb = "(" + ", ".join(str(c) for c in record["color"]) + ")"
            print(f"{i:>3}  {hex_of(record['color']):<9} {rgb:<17} {record['percentage']:>7.2f}%")
        if not colors:
            print("no colour: the mask selects no pixel")
    if args.chart:
        # After the results, so that a chart that cannot be written loses nothing else.
        sys.stdout.flush()
        write_chart(extractor, colors, args.chart)
        print(f"chart written to {args.chart}", file=sys.stderr)
    return 0


# ---- match -----------------------------------------------------------------------------

def parse_target(text: str) -> Tuple[str, Tuple[int, int, int]]:
    name, sep, value = text.partition("=")
    parts = value.split(",")
    try:
        rgb = tuple(int(p) for p in parts)
    except ValueError:
        rgb = ()
    if not sep or not name or len(rgb) != 3 or not all(0 <= c <= 255 for c in rgb):
        raise UsageError(f"bad --target {text!r}: expected NAME=R,G,B with values 0 to 255")
    return name, rgb  # type: ignore[return-value]


def run_match(args: argparse.Namespace) -> int:
    targets: Dict[str, Tuple[int, int, int]] = dict(parse_target(t) for t in args.target)
    require_file(args.image, "image")
    require_file(args.mask, "mask")
    extractor = make_extractor(args)
    if args.pixels:
        report = extractor.find_color_matches(args.image, targets, args.mask)
    else:
        report = extractor.analyze_color_similarity(args.image, targets, args.mask,
                                                    args.threshold)
    if args.json:
        print(json.dumps(report))  # NumPy's float64 is a float, and serialises as one
        return 0
    if not report:
        print("no pixel analysed")
        return 0
    if args.pixels:
        print(f"{'target':<12} {'<50':>7} {'<30':>7} {'<15':>7}  {'closest':<9} "
              f"{'distance':>8} {'score':>6}")
        for name, r in report.items():
            print(f"{name:<12} {r['total_percentage']:>6.2f}% {r['close_percentage']:>6.2f}% "
                  f"{r['very_close_percentage']:>6.2f}%  {hex_of(r['closest_pixel']):<9} "
                  f"{r['min_distance']:>8.2f} {r['similarity_score']:>6.2f}")
    else:
        print(f"{'target':<12} {'share':>7} {'similarity':>10}  {'closest':<9} "
              f"{'distance':>8}  direct")
        for name, r in report.items():
            print(f"{name:<12} {r['percentage']:>6.2f}% {r['similarity']:>10.2f}  "
                  f"{hex_of(r['closest_color']):<9} {r['distance']:>8.2f}  "
                  f"{'yes' if r['found_directly'] else 'no'}")
    return 0


# ---- batch -----------------------------------------------------------------------------

def same_file_key(path: str) -> str:
    """One key per file, however it was named: relative, absolute or through a link."""
    return str(Path(path).resolve())


def find_images(paths: Iterable[str]) -> List[str]:
    """The images to analyse, each once, named as the user wrote them."""
    found: List[str] = []
    seen = set()

    def add(path: Path) -> None:
        key = same_file_key(str(path))
        if key not in seen:
            seen.add(key)
            found.append(str(path))

    def add_tree(root: Path) -> None:
        for path in sorted(root.rglob("*")):
            if path.is_file() and path.suffix.lower() in IMAGE_SUFFIXES:
                add(path)

    for text in paths:
        path = Path(text)
        if path.is_dir():
            add_tree(path)
        elif path.is_file():
            add(path)
        else:
            matches = sorted(glob.glob(text, recursive=True))
            if not matches:
                raise UsageError(f"no such file, folder or pattern: {text}")
            for match in map(Path, matches):
                if match.is_dir():
                    add_tree(match)
                elif match.is_file():
                    add(match)
    return found


def previous_results(output: Path, batch: set) -> set:
    """Files that already have a result in an output file, by `same_file_key`.

    A line cut off by an interruption is dropped, and so are the error records of files in
    this batch: they are tried again, so each file ends with one final record.
    """
    if not output.exists():
        return set()
    data = output.read_bytes()
    end = data.rfind(b"\n") + 1
    kept: List[bytes] = []
    done = set()
    for line in data[:end].splitlines(keepends=True):
        try:
            record = json.loads(line)
            key = same_file_key(record["path"])
        except (ValueError, KeyError, TypeError, OSError):
            kept.append(line)
            continue
        if "error" in record and key in batch:
            continue
        kept.append(line)
        if "colors" in record:
            done.add(key)
    if end != len(data) or len(kept) != len(data[:end].splitlines()):
        partial = output.with_name(output.name + ".partial")
        partial.write_bytes(b"".join(kept))
        os.replace(partial, output)
    return done


def chart_names(images: List[str]) -> Dict[str, str]:
    """A distinct chart file name per image, from its path below the images' common folder."""
    resolved = [Path(same_file_key(image)) for image in images]
    root = Path(os.path.commonpath([str(p.parent) for p in resolved])) if resolved else Path()
    names: Dict[str, str] = {}
    taken = set()
    stems = [p.relative_to(root).with_suffix("") for p in resolved]
    repeated = {stem for stem in stems if stems.count(stem) > 1}
    for image, path, stem in zip(images, resolved, stems):
        # a.png and a.jpg side by side keep their suffixes apart
        relative = path.relative_to(root) if stem in repeated else stem
        base = "__".join(relative.parts)
        name, n = f"{base}_colors.png", 1
        while name in taken:
            n += 1
            name = f"{base}_{n}_colors.png"
        taken.add(name)
        names[image] = name
    return names


def chart_path(chart_dir: Optional[str], names: Dict[str, str], image: str) -> Optional[str]:
    if not chart_dir:
        return None
    return str(Path(chart_dir) / names[image])


def process_one(extractor, image: str, chart: Optional[str] = None) -> dict:
    """One image of a batch: its record line, or its error; never raises."""
    try:
        colors = extractor.extract_colors(image)
        if chart:
            write_chart(extractor, colors, chart)
        return {"path": image, "colors": colors}
    except Exception as e:  # one bad image never stops the batch
        return {"path": image, "error": f"{type(e).__name__}: {e}"}


_thread_limits = None  # kept alive for the life of a worker process


def _one_thread_per_worker() -> None:
    """Worker processes share the cores: each runs its libraries on one thread."""
    import cv2
    from threadpoolctl import threadpool_limits

    cv2.setNumThreads(1)
    global _thread_limits
    _thread_limits = threadpool_limits(1)


def _local_results(extractor, todo: List[str], charts: Dict[str, Optional[str]],
                   jobs: int) -> Iterator[dict]:
    if jobs <= 1:
        for image in todo:
            yield process_one(extractor, image, charts[image])
        return
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor, as_completed

    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=jobs, mp_context=context,
                             initializer=_one_thread_per_worker) as pool:
        futures = [pool.submit(process_one, extractor, image, charts[image]) for image in todo]
        for future in as_completed(futures):
            yield future.result()


def _dask_results(extractor, todo: List[str], charts: Dict[str, Optional[str]],
                  address: str) -> Iterator[dict]:
    try:
        from dask.distributed import Client, as_completed
    except ImportError:
        raise UsageError("--scheduler needs Dask: pip install 'vantrel-huesift[dask]'")
    with Client(address) as client:
        futures = client.map(process_one, [extractor] * len(todo), todo,
                             [charts[image] for image in todo], pure=False)
        for future in as_completed(futures):
            yield future.result()


def run_batch(args: argparse.Namespace) -> int:
    images = find_images(args.paths)
    extractor = make_extractor(args)
    if args.chart:
        Path(args.chart).mkdir(parents=True, exist_ok=True)
    output = Path(args.output)
    done = previous_results(output, {same_file_key(image) for image in images})
    todo = [image for image in images if same_file_key(image) not in done]
    names = chart_names(images)
    charts = {image: chart_path(args.chart, names, image) for image in todo}
    jobs = args.jobs or os.cpu_count() or 1
    if args.scheduler:
        results = _dask_results(extractor, todo, charts, args.scheduler)
    else:
        results = _local_results(extractor, todo, charts, min(jobs, max(len(todo), 1)))
    from tqdm import tqdm

    failed = 0
    with open(output, "a", encoding="utf-8") as out, tqdm(
            total=len(todo), unit="img", disable=args.quiet, file=sys.stderr) as bar:
        for record in results:
            out.write(json.dumps(record) + "\n")
            out.flush()
            failed += "error" in record
            bar.update(1)
    print(f"{len(todo) - failed} done, {failed} failed, {len(images) - len(todo)} already "
          f"in {output}", file=sys.stderr)
    return 0


# ---- entry point -----------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="huesift", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)

    extract = commands.add_parser("extract", help="dominant colours of one image")
    extract.add_argument("image")
    add_extract_options(extract)
    extract.add_argument("--chart", metavar="PNG", help="write the colour chart to this file")
    extract.add_argument("--json", action="store_true", help="print the records as JSON")
    extract.set_defaults(run=run_extract)

    match = commands.add_parser("match", help="how strongly target colours are present")
    match.add_argument("image")
    match.add_argument("--target", action="append", required=True, metavar="NAME=R,G,B")
    add_extract_options(match)
    match.add_argument("--threshold", type=float, default=50.0,
                       help="largest L*a*b* distance that counts as similar (default 50)")
    match.add_argument("--pixels", action="store_true", help="the pixel-by-pixel report")
    match.add_argument("--json", action="store_true")
    match.set_defaults(run=run_match)

    batch = commands.add_parser("batch", help="dominant colours of many images, as JSON lines")
    batch.add_argument("paths", nargs="+", metavar="PATH", help="files, folders or globs")
    batch.add_argument("--jobs", type=int, default=0, help="worker processes (default: cores)")
    batch.add_argument("--output", default="results.jsonl", help="JSON lines file, appended")
    batch.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler to run on")
    batch.add_argument("--chart", metavar="DIR", help="write each image's chart into DIR")
    batch.add_argument("--quiet", action="store_true", help="no progress bar")
    add_extract_options(batch)
    batch.set_defaults(run=run_batch)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except UsageError as e:
        print(f"huesift: error: {e}", file=sys.stderr)
        return 2
    except ValueError as e:  # unreadable image or mask, unknown settings
        print(f"huesift: error: {e}", file=sys.stderr)
        return 1
    except OSError as e:  # a file or folder that cannot be written or read
        where = f": {e.filename}" if e.filename else ""
        print(f"huesift: error: {e.strerror or e}{where}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("huesift: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
