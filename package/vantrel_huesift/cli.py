"""The huesift command line: dominant colours and target reports for one photo or many, their
names, and the search of a batch's results by colour or name."""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import warnings
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from . import colours, files, images, messages, palette, pool, results, sources
from .colours import hex_of


class UsageError(Exception):
    """A mistake in what the user asked for: reported in one line, without a traceback."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, taken as SIGINT is: the run stops, and what it holds is put away."""


def _terminated(signum: int, frame: Any) -> None:
    raise Terminated()


class Parser(argparse.ArgumentParser):
    """Says what is wrong with the command line in one line, as every other mistake is said."""

    def error(self, message: str):  # type: ignore[override]
        self.exit(2, f"huesift: error: {message} (see {self.prog} --help)\n")


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
    parser.add_argument("--keep-transparent", action="store_true",
                        help="count pixels an alpha channel makes transparent (alpha <= 128)")
    parser.add_argument("--max-side", type=int, metavar="N",
                        help="shrink the image (and mask) to at most N pixels a side first: "
                             "faster, approximate (default: every pixel)")


def max_side(args: argparse.Namespace) -> Optional[int]:
    if args.max_side is not None and args.max_side < 1:
        raise UsageError(f"--max-side must be at least 1 pixel, not {args.max_side}")
    return args.max_side


def extractor_config(args: argparse.Namespace) -> Dict[str, Any]:
    """The extractor's arguments, checked without the engine (which the batch's workers load),
    but for a forced GPU, which only the engine can confirm."""
    if args.colors < 1:
        raise UsageError(f"--colors must be at least 1, not {args.colors}")
    config: Dict[str, Any] = dict(n_colors=args.colors, algorithm=args.algorithm,
                                  preprocessing=not args.no_preprocessing,
                                  lab_space=not args.rgb)
    if args.gpu != "auto":
        config["use_gpu"] = args.gpu
    if args.gpu == "force":
        from . import tintmill

        if not getattr(tintmill, "GPU_AVAILABLE", False):
            raise UsageError("GPU forced but not available (install the 'gpu' extra: CuPy and "
                             "cuML)")
    return config


def make_extractor(args: argparse.Namespace):
    from .batch import build

    return build(extractor_config(args))


def checked_vocabulary(name: Optional[str]) -> Optional[str]:
    """The vocabulary of --names or --vocabulary as the package spells it; None for none."""
    if name is None:
        return None
    from .names import vocabulary_name

    try:
        return vocabulary_name(name)
    except ValueError as e:
        raise UsageError(str(e))


def require_file(path: Optional[str], what: str) -> None:
    """An input that is read: a file or a pipe; a folder or a name of nothing is a mistake."""
    if path is not None:
        try:
            files.check_input(path, what)
        except files.InputError as e:
            raise UsageError(str(e))


# ---- extract ---------------------------------------------------------------------------

def load(args: argparse.Namespace):
    """The image and mask arrays, transparent pixels left out unless --keep-transparent."""
    require_file(args.image, "image")
    require_file(args.mask, "mask")
    side = max_side(args)
    try:
        return images.read_image(args.image, args.mask, args.keep_transparent, side)
    except images.MaskSizeError as e:
        raise UsageError(str(e))


def why_no_colour(extractor, image, mask, args: argparse.Namespace) -> str:
    """Why an image gave no colour: what the mask and the alpha select, as the library selects
    it; else, with pixels to cluster, DBSCAN's noise; else the black pixels that clustering in
    RGB leaves out."""
    import numpy as np

    if mask is not None and not len(extractor._extract_pixels(np.full(image.shape, 255, np.uint8),
                                                             mask)):
        if args.mask is None:
            return "every pixel is transparent"
        if not args.keep_transparent and images.load(args.image)[1] is not None:
            return "the mask selects no opaque pixel"
        return "the mask selects no pixel"
    analysed = len(extractor._extract_pixels(extractor._convert_to_feature_space(
        extractor._preprocess_image(image)), mask))
    if analysed and args.algorithm == "dbscan":
        return (f"DBSCAN found no cluster among the {analysed} pixels analysed: every one is "
                "noise, with too few neighbours of its colour")
    return "every pixel analysed is pure black, which clustering in RGB leaves out"


def run_extract(args: argparse.Namespace) -> int:
    if args.palette:
        try:
            palette.check_format(args.palette)
        except ValueError as e:
            raise UsageError(str(e))
    vocabulary = checked_vocabulary(args.names)
    image, mask = load(args)
    extractor = make_extractor(args)
    colors = extractor.extract_colors(image, mask)
    if vocabulary is not None:
        from .names import name_colours

        colors = name_colours(colors, vocabulary)
    if args.json:
        print(json.dumps(colors))
    else:
        print(f"{'#':>3}  {'colour':<9} {'RGB':<17} {'share':>8}"
              + ("  name" if vocabulary else ""))
        for i, record in enumerate(colors, 1):
            rgb = "(" + ", ".join(str(c) for c in record["color"]) + ")"
            print(f"{i:>3}  {hex_of(record['color']):<9} {rgb:<17} {record['percentage']:>7.2f}%"
                  + (f"  {record['name']}" if vocabulary else ""))
        if not colors:
            print(f"no colour: {why_no_colour(extractor, image, mask, args)}")
    if args.chart:
        from .charts import write_chart

        # After the results, so that a chart that cannot be written loses nothing else.
        sys.stdout.flush()
        written = write_chart(extractor, colors, args.chart)
        print(f"chart written to {written}", file=sys.stderr)
    if args.palette:
        sys.stdout.flush()
        palette.write_palette(colors, args.palette)
        print(f"palette written to {args.palette}", file=sys.stderr)
    return 0


# ---- match -----------------------------------------------------------------------------

def parse_target(text: str) -> Tuple[str, Tuple[int, int, int]]:
    try:
        return colours.parse_target(text)
    except ValueError as e:
        raise UsageError(str(e))


def run_match(args: argparse.Namespace) -> int:
    targets: Dict[str, Tuple[int, int, int]] = dict(parse_target(t) for t in args.target)
    if args.map and not args.pixels:
        raise UsageError("--map belongs to the pixel report: add --pixels")
    image, mask = load(args)
    extractor = make_extractor(args)
    if args.pixels:
        report = extractor.find_color_matches(image, targets, mask)
    else:
        report = extractor.analyze_color_similarity(image, targets, mask, args.threshold)
    if args.map:
        from .maps import file_names, write_maps

        write_maps(extractor, image, mask, targets, args.map, not args.rgb)
        for name, file in file_names(targets).items():
            print(f"map of {name} written to {Path(args.map) / file}", file=sys.stderr)
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

def batch_targets(args: argparse.Namespace) -> Dict[str, Tuple[int, int, int]]:
    """The targets of --targets FILE, then of each --target, a later one replacing an earlier
    one of the same name."""
    targets: Dict[str, Tuple[int, int, int]] = {}
    if args.targets:
        try:
            targets.update(palette.read_palette(args.targets))
        except palette.PaletteError as e:
            raise UsageError(f"--targets: {e}")
    targets.update(parse_target(t) for t in args.target or [])
    return targets


def run_batch(args: argparse.Namespace) -> int:
    try:
        return batch_run(args)
    except KeyboardInterrupt:
        # the fork server may be loading still, with Ctrl-C held back: it is not left behind
        pool.stop_server()
        raise


def batch_run(args: argparse.Namespace) -> int:
    from .batch import renamed
    from .batch import run_batch as analysed
    from .report import OverwritesInputError, check_output, write_report

    # every source and setting is checked before any work starts
    vocabulary = checked_vocabulary(args.names)
    targets = batch_targets(args)
    side = max_side(args)
    config = extractor_config(args)
    if args.jobs != 1 and not args.scheduler:
        from .batch import warm_up

        warm_up()  # the workers' engine loads while the images are found
    try:
        sources.check_sources(args.paths)
        found = list(sources.find_images(args.paths))
    except sources.NoImagesError as e:
        raise UsageError(str(e))
    if args.scheduler:
        try:
            import dask.distributed  # noqa: F401
        except ImportError:
            raise UsageError("--scheduler needs Dask: pip install 'vantrel-huesift[dask]'")
    if args.report:
        try:
            check_output(Path(args.output), args.report)
        except OverwritesInputError as e:
            raise UsageError(str(e))
    if args.mask:
        require_file(args.mask, "mask")
        images.load(args.mask, alpha=False, what="mask")
    with results.ResultsFile(args.output, targets, vocabulary) as held:
        if held.set_aside:
            print(f"huesift: the unfinished last line of {args.output} ({held.set_aside} "
                  f"bytes) was set aside in {held.rejected}", file=sys.stderr)
        plan = held.plan(found)
        count = failed = charts_failed = 0
        interrupted: Optional[KeyboardInterrupt] = None
        try:
            if vocabulary is not None:  # named from their colours, first: it takes no time
                for record in renamed(held, plan.unnamed, vocabulary):
                    held.append(record)
            charts: Dict[str, str] = {}
            if args.chart:
                from .charts import chart_names

                Path(args.chart).mkdir(parents=True, exist_ok=True)
                names = chart_names(plan.todo, args.chart)
                charts = {image: str(Path(args.chart) / names[image]) for image in plan.todo}
            jobs = min(args.jobs or os.cpu_count() or 1, max(len(plan.todo), 1))
            for record in analysed(plan.todo, config, jobs, args.scheduler, not args.quiet,
                                   args.keep_transparent, charts, total=len(plan.todo),
                                   mask=args.mask, targets=targets or None, max_side=side,
                                   own_targets=plan.own_targets, names=vocabulary):
                held.append(record)
                count += 1
                failed += "error" in record
                charts_failed += "chart_error" in record
        except KeyboardInterrupt as e:
            if isinstance(e, Terminated):  # stopped from outside: said in one line
                raise
            interrupted = e  # Ctrl-C: what was finished is kept, and summed up
    unwritten = f", charts not written: {charts_failed}" if charts_failed else ""
    renames = f", names added to {len(plan.unnamed)} of them" if plan.unnamed else ""
    left = f", {len(plan.todo) - count} left for the next run" if interrupted else ""
    print(f"{count - failed} done, {failed} failed, {plan.already} already "
          f"in {args.output}{renames}{unwritten}{left}", file=sys.stderr)
    if interrupted is not None:
        raise interrupted
    if args.report:
        write_report(Path(args.output), args.report, ProblemLines(args.output),
                     vocabulary or "css")
        print(f"report written to {args.report}", file=sys.stderr)
    return 0


class ProblemLines:
    """Says on stderr, one line each, which lines of a results file are not well-formed
    records, and counts them."""

    def __init__(self, results: str):
        self.results = results
        self.count = 0

    def __call__(self, number: int, problem: str) -> None:
        self.count += 1
        print(messages.shown(f"huesift: {self.results}: {problem}"), file=sys.stderr)


def run_report(args: argparse.Namespace) -> int:
    from .report import OverwritesInputError, write_report

    vocabulary = checked_vocabulary(args.names)
    require_file(args.results, "results")
    problems = ProblemLines(args.results)
    try:
        count = write_report(Path(args.results), args.output, problems, vocabulary)
    except OverwritesInputError as e:
        raise UsageError(str(e))
    bad = problems.count
    lines = f" and {bad} bad line{'s' if bad != 1 else ''}" if bad else ""
    print(f"report of {count - bad} images{lines} written to {args.output}", file=sys.stderr)
    return 0


# ---- search ----------------------------------------------------------------------------

def swatch(rgb: Tuple[int, int, int]) -> str:
    """The colour as a hex code, after a block of it on a terminal that shows colour."""
    if sys.stdout.isatty() and not os.environ.get("NO_COLOR"):
        r, g, b = rgb
        return f"\x1b[48;2;{r};{g};{b}m  \x1b[0m {hex_of(rgb)}"
    return hex_of(rgb)


def skipped(found, args: argparse.Namespace) -> Optional[str]:
    """One line for what the search passed over, or None."""
    parts = []
    if found.unreadable:
        numbers = ", ".join(map(str, found.first_unreadable))
        more = ", ..." if found.unreadable > len(found.first_unreadable) else ""
        parts.append(f"{found.unreadable} unreadable line{'s' if found.unreadable != 1 else ''}"
                     f" ({numbers}{more})")
    if found.failed:
        parts.append(f"{found.failed} failed image{'s' if found.failed != 1 else ''}")
    if found.without:
        parts.append(f"{found.without} without "
                     + (f"target {args.target!r}" if args.target is not None else "colours"))
    return f"huesift: {args.results}: skipped " + ", ".join(parts) if parts else None


def run_search(args: argparse.Namespace) -> int:
    from . import search as searching
    from .messages import shown

    require_file(args.results, "results")
    if args.top < 1:
        raise UsageError(f"--top must be at least 1, not {args.top}")
    query: searching.Query
    # Tagging asks for the plain words; a colour by name most often means a CSS name.
    vocabulary = checked_vocabulary(args.vocabulary) or (
        "basic" if args.named is not None else "css")
    if args.target is None and args.band is not None:
        raise UsageError("--band belongs to --target; --color and --named rank by their own "
                         "measure")
    if args.color is None and args.within is not None:
        raise UsageError("--within belongs to --color")
    if args.target is not None and args.vocabulary is not None:
        raise UsageError("--vocabulary belongs to --named and --color; a target is named in "
                         "its batch")
    if args.color is not None:
        try:
            colour = colours.parse_colour(args.color, vocabulary)
        except ValueError as e:
            raise UsageError(str(e))
        within = 15.0 if args.within is None else args.within
        if not 0 <= within < float("inf"):
            raise UsageError(f"--within must be a distance of 0 or more, not {args.within}")
        query = searching.ColourQuery(colour, within)
    elif args.named is not None:
        from .names import get_vocabulary

        try:
            known = get_vocabulary(vocabulary)
            query = searching.NameQuery(known.names[known.index(args.named)], vocabulary)
        except ValueError as e:
            raise UsageError(str(e))
    else:
        query = searching.TargetQuery(args.target, args.band or "close")
    try:
        found = searching.search(args.results, query, args.top, args.jobs or os.cpu_count() or 1)
    except searching.SearchError as e:
        raise UsageError(f"{args.results}: {e}")
    note = skipped(found, args)
    if note:
        print(shown(note), file=sys.stderr)
    if found.hits and found.hits[0].score == 0:
        if isinstance(query, searching.ColourQuery):
            what = f"a colour within {query.within:g} of {hex_of(query.colour)}"
        elif isinstance(query, searching.NameQuery):
            what = f"a colour named {query.name!r} in vocabulary {query.vocabulary!r}"
        else:
            what = f"any of target {args.target!r} within its --band"
        print(f"huesift: note: no image has {what}; the nearest are listed", file=sys.stderr)
    if args.json:
        print(json.dumps([{"rank": i, "path": h.path, "resolved_path": h.record.get(
            "resolved_path"), "score": h.score, "nearest": list(h.nearest),
            "distance": h.distance, "line": h.line} for i, h in enumerate(found.hits, 1)]))
        return 0
    if not found.hits:
        print("no image to rank: the file holds no record with colours" if args.target
              is None else f"no image to rank: no record holds target {args.target!r}")
        return 0
    nearest = "nearest" if args.target is None else "closest"
    print(f"{'#':>3}  {'score':>7}  {nearest:<{10 if sys.stdout.isatty() else 7}}  "
          f"{'distance':>8}  path")
    for i, hit in enumerate(found.hits, 1):
        print(f"{i:>3}  {hit.score:>6.2f}%  {swatch(hit.nearest)}  {hit.distance:>8.2f}  "
              f"{shown(hit.path)}")
    return 0


# ---- entry point -----------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="huesift", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)

    extract = commands.add_parser("extract", help="dominant colours of one image")
    extract.add_argument("image")
    add_extract_options(extract)
    extract.add_argument("--chart", metavar="PNG", help="write the colour chart to this file")
    extract.add_argument("--json", action="store_true", help="print the records as JSON")
    extract.add_argument("--palette", metavar="FILE",
                         help="write the colours to a palette file: .gpl, .css, .json or .ase")
    extract.add_argument("--names", metavar="css|xkcd|basic",
                         help="name each colour from this vocabulary (and the palette's entries)")
    extract.set_defaults(run=run_extract)

    match = commands.add_parser("match", help="how strongly target colours are present")
    match.add_argument("image")
    match.add_argument("--target", action="append", required=True, metavar="NAME=R,G,B")
    add_extract_options(match)
    match.add_argument("--threshold", type=float, default=50.0,
                       help="largest L*a*b* distance that counts as similar (default 50)")
    match.add_argument("--pixels", action="store_true", help="the pixel-by-pixel report")
    match.add_argument("--json", action="store_true")
    match.add_argument("--map", metavar="DIR",
                       help="with --pixels: one PNG per target showing where it appears")
    match.set_defaults(run=run_match)

    many = commands.add_parser("batch", help="dominant colours of many images, as JSON lines")
    many.add_argument("paths", nargs="+", metavar="PATH", help="files, folders or globs")
    many.add_argument("--jobs", type=int, default=0, help="worker processes (default: cores)")
    many.add_argument("--output", default="results.jsonl", help="JSON lines file, appended")
    many.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler to run on")
    many.add_argument("--chart", metavar="DIR", help="write each image's chart into DIR")
    many.add_argument("--report", metavar="HTML", help="then write the visual report")
    many.add_argument("--quiet", action="store_true", help="no progress bar")
    many.add_argument("--target", action="append", metavar="NAME=R,G,B",
                      help="add each image's pixel report for this colour (repeatable)")
    many.add_argument("--targets", metavar="FILE",
                      help="the colours of a palette file (.gpl, .json, .css, .ase) as targets")
    many.add_argument("--names", metavar="css|xkcd|basic",
                      help="store each colour's name from this vocabulary in the records")
    add_extract_options(many)
    many.set_defaults(run=run_batch)

    report = commands.add_parser("report", help="an HTML page of a batch's results")
    report.add_argument("results", metavar="RESULTS.jsonl")
    report.add_argument("--output", default="report.html", metavar="HTML")
    report.add_argument("--names", default="css", metavar="css|xkcd|basic",
                        help="the vocabulary the swatches are named from (default css)")
    report.set_defaults(run=run_report)

    find = commands.add_parser("search", help="a batch's images ranked by a colour, a colour "
                                              "name or a target")
    find.add_argument("results", metavar="RESULTS.jsonl")
    what = find.add_mutually_exclusive_group(required=True)
    what.add_argument("--color", metavar="R,G,B|#rrggbb|NAME",
                      help="rank by the share of the palette within --within of this colour")
    what.add_argument("--named", metavar="WORD",
                      help="rank by the share of the palette whose name is WORD (tagging)")
    what.add_argument("--target", metavar="NAME", help="rank by a stored target's --band")
    find.add_argument("--vocabulary", metavar="css|xkcd|basic",
                      help="the names of --named (default basic) and --color NAME (default css)")
    find.add_argument("--within", type=float, metavar="D",
                      help="L*a*b* distance that counts as the colour (default 15)")
    find.add_argument("--band", choices=["very-close", "close", "total"],
                      help="the target's share below 15, 30 (default) or 50")
    find.add_argument("--top", type=int, default=10, metavar="N", help="rows (default 10)")
    find.add_argument("--jobs", type=int, default=0,
                      help="processes for a large file (default: cores)")
    find.add_argument("--json", action="store_true", help="the rows as JSON")
    find.set_defaults(run=run_search)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    # Charts are written to files only; no window is ever opened. OpenCV says nothing itself:
    # what it cannot read is said here, once (this process and its workers).
    os.environ["MPLBACKEND"] = "Agg"
    os.environ.setdefault("OPENCV_LOG_LEVEL", "SILENT")
    if "matplotlib" in sys.modules:  # called from a program that loaded it already
        import matplotlib

        matplotlib.use("Agg")
    parser = build_parser()
    args = parser.parse_args(argv)
    notes = messages.Notes()
    if threading_main():
        signal.signal(signal.SIGTERM, _terminated)
    try:
        with warnings.catch_warnings(record=True) as caught:
            messages.listen()
            try:
                return args.run(args)
            finally:
                notes.add(caught)
                line = notes.line()
                if line:
                    sys.stdout.flush()
                    print(line, file=sys.stderr)
    except UsageError as e:
        print(f"huesift: error: {messages.shown(str(e))}", file=sys.stderr)
        return 2
    except (ValueError, results.ResultsInUseError, pool.WorkerStartError) as e:
        # unreadable image or mask, unknown settings, an output another run holds
        print(f"huesift: error: {one_line(e)}", file=sys.stderr)
        return 1
    except OSError as e:  # a file or folder that cannot be written or read
        where = f": {messages.shown(str(e.filename))}" if e.filename else ""
        print(f"huesift: error: {one_line(e.strerror or e)}{where}", file=sys.stderr)
        return 1
    except Terminated:
        print("huesift: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    except KeyboardInterrupt:
        print("huesift: interrupted", file=sys.stderr)
        return 130


def threading_main() -> bool:
    import threading

    return threading.current_thread() is threading.main_thread()


def one_line(text: Any) -> str:
    """An error's text in one line, as a terminal shows it (see `messages.shown`)."""
    return messages.shown(" ".join(str(text).split()))


if __name__ == "__main__":
    sys.exit(main())
