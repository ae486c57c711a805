"""The commands a user types: `merivane`, with one subcommand per pipeline,
and the installed per-pipeline commands (the fixed parsers of Merivane.cli,
wrapped). They share how messages are shown and how a failure ends."""
import argparse
import logging
import os
import shlex
import signal
import stat
import sys
import textwrap
import threading
import time
import traceback
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from . import __version__, cli, compression, repeats

EXIT_SUCCESS = 0
EXIT_FAILURE = 1
# How a shell reports a process ended by a signal: 128 + its number.
WATCHED_SIGNALS: Dict[int, str] = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated"}

# The spellings of the per-pipeline commands, accepted by `merivane` as its
# own options' aliases: renamed before parsing, so the help lists each option
# once and -o stays required under either name.
ALIASES = {"--outputPath": "--output-path", "--svPath": "--sv-path", "--cnvPath": "--cnv-path",
           "--repeatPath": "--repeat-path", "--fullRepeatPath": "--full-repeat-path",
           "--repeatLocationsBedFilePath": "--catalog", "-modify": "--modify-repeats"}

# `merivane` keeps quiet about the doors' warnings of an input the caller
# did not give: the user knows what they left out.
NOT_GIVEN_WARNINGS = tuple(cli._NOT_GIVEN_WARNINGS)

STDOUT = "-"


def streams_to(path: str) -> bool:
    """Whether -o names a stream (a device, a FIFO, /dev/stdout) rather than a
    file to put in place. A stream gets the bgzipped VCF itself: a plain VCF
    written into it and a ".gz" made beside it (/dev/null.gz) would be
    nobody's wish."""
    if path == STDOUT:
        return True
    try:
        return cli._written_in_place(path)
    except (OSError, ValueError):  # a folder, a NUL in the path: the run says what is wrong
        return False


# ---- messages, signals and failures -----------------------------------------


@contextmanager
def messages(level: int, drop: Sequence[str] = ()) -> Iterator[None]:
    """Messages of one command run go to standard error as "merivane: <text>";
    the root logger's handlers and level are put back afterwards, so a host
    that calls a command in-process keeps its set-up."""
    root = logging.getLogger()
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("merivane: %(message)s"))
    if drop:
        handler.addFilter(lambda record: record.msg not in drop)
    previous = root.level
    root.addHandler(handler)
    root.setLevel(level)
    try:
        yield
    finally:
        root.removeHandler(handler)
        root.setLevel(previous)


class SignalWatch:
    """Turns a Ctrl-C or SIGTERM (what batch schedulers send at a time limit)
    during one command run into KeyboardInterrupt, so the core stops and
    removes its partial outputs as it does for Ctrl-C. The signal may reach a
    child program (sort, bedtools) too, whose death then reaches us first.
    Installed only over the interpreter's default handlers, on the main
    thread, and put back afterwards."""

    seen: Optional[int] = None

    def __enter__(self) -> "SignalWatch":
        self.previous: Dict[int, Any] = {}
        if threading.current_thread() is threading.main_thread():
            for number, default in ((signal.SIGINT, signal.default_int_handler), (signal.SIGTERM, signal.SIG_DFL)):
                if signal.getsignal(number) is default:
                    self.previous[number] = signal.signal(number, self.stop)
        return self

    def __exit__(self, *exc_info: object) -> None:
        for number, handler in self.previous.items():
            signal.signal(number, handler)

    def stop(self, number: int, frame: object) -> None:
        self.seen = self.seen or number
        raise KeyboardInterrupt

    def signal_behind(self, error: BaseException) -> Optional[int]:
        """The watched signal that ended the run, if one did."""
        if self.seen is not None:
            return self.seen
        if isinstance(error, KeyboardInterrupt):
            return signal.SIGINT
        returncode = getattr(error, "returncode", None)  # a child killed by it
        return -returncode if isinstance(returncode, int) and -returncode in WATCHED_SIGNALS else None


def one_line(text: str) -> str:
    return text.replace("\r", " ").replace("\n", " ")


def escaped(text: str) -> str:
    """A text as UTF-8 can hold it: an argument or file name in other bytes
    (legal on Linux, decoded with surrogate escapes) gets those bytes as
    \\xNN, in the header and the statistics alike."""
    return os.fsencode(text).decode("utf-8", "backslashreplace")


def error_text(error: BaseException, verbose: bool = False) -> str:
    """The text after "merivane: error: ". A file error reads as the shell's
    tools put it ("<file>: <reason>"); a decoding error leads with what the
    file is; the notes the core attaches (which file, which line) follow in
    brackets."""
    notes = [str(note) for note in getattr(error, "__notes__", ())]
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        text = os.fsdecode(error.filename) or "''"
        if error.filename2 is not None:
            text += " -> " + os.fsdecode(error.filename2)
        text += ": " + error.strerror
    elif isinstance(error, MemoryError):
        text = "out of memory"
    elif isinstance(error, IndexError):  # a rule's reach past a record's last cell
        text = "a record has fewer columns than its input's rules read"
    elif isinstance(error, UnicodeDecodeError):
        # The decoder's byte and position mean little to a user; what the
        # file is (binary, damaged gzip) means much.
        where = [note for note in notes if note.startswith("while reading ")]
        what = [note for note in notes if note not in where]
        text = "; ".join(what) or "not UTF-8 text"
        notes = where + ([str(error)] if verbose else [])
    else:
        text = str(error) or type(error).__name__
    if notes:
        text += " (" + "; ".join(notes) + ")"
    return one_line(text)


def run_guarded(work: Callable[[], None], level: int, drop: Sequence[str] = (), verbose: bool = False) -> int:
    """Runs one command's work with its messages shown at `level`. A failure
    becomes one line on standard error and an exit status; argparse's own
    exits (help, usage errors) pass."""
    watch = SignalWatch()
    try:
        with watch, messages(level, drop):
            try:
                work()
                return EXIT_SUCCESS
            except SystemExit:
                raise
            except BaseException as error:
                # The core removed its partial outputs on the way here.
                if watch.signal_behind(error) is not None:
                    raise KeyboardInterrupt from error
                if verbose:
                    traceback.print_exception(type(error), error, error.__traceback__, file=sys.stderr)
                print("merivane: error: " + error_text(error, verbose), file=sys.stderr, flush=True)
                return EXIT_FAILURE
    except KeyboardInterrupt:
        number = watch.seen or signal.SIGINT
        print("merivane: " + WATCHED_SIGNALS[number], file=sys.stderr, flush=True)
        return 128 + number


def arguments(argv: Optional[Sequence[str]]) -> List[str]:
    return list(sys.argv[1:] if argv is None else argv)


# ---- the fixed command lines of Merivane.cli --------------------------------
# Merivane.cli's _add_common_arguments and doors are looked up at call time,
# so a caller who replaces one is honoured.


def add_common_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-o", "--outputPath", required=True, help="the unified output VCF path (required)")
    parser.add_argument("-s", "--svPath", required=False, default=None, help="SV input file path (optional)")
    parser.add_argument("-c", "--cnvPath", required=False, default=None, help="CNV input file path (optional)")


def fixed_command(description: str, door: str, *options: Tuple[Tuple[str, ...], str, Dict[str, Any]]
                  ) -> Callable[[Optional[Sequence[str]]], None]:
    """A fixed command line: -o, -s, -c, then `options` (flags, the door's
    keyword, argparse settings), parsed and handed to the door."""

    def from_cli(argv: Optional[Sequence[str]] = None) -> None:
        parser = argparse.ArgumentParser(description=description)
        cli._add_common_arguments(parser)
        dests = dict(output_path="outputPath", sv_path="svPath", cnv_path="cnvPath")
        for flags, keyword, settings in options:
            dests[keyword] = parser.add_argument(*flags, required=False, default=None, **settings).dest
        given = vars(parser.parse_args(argv))
        getattr(cli, door)(**{keyword: given[dest] for keyword, dest in dests.items()})

    return from_cli


REPEAT_PATH = (("-r", "--repeatPath"), "repeat_path", dict(help="repeats input file path (optional)"))
dragen_from_cli = fixed_command("Unify DRAGEN structural vcf files", "dragen_unify", REPEAT_PATH,
                                (("-d", "--roh"), "roh_bed_path", dict(help="ROH bed file (optional)")))
ont_from_cli = fixed_command("Unify Oxford Nanopore structural vcf files", "ont_unify", REPEAT_PATH, (
    ("-modify",), "modify_repeats", dict(action="store_true", help="force ;SVTYPE=REP onto every repeat call. No "
                                         "longer needed: a repeat call that carries no SVTYPE is marked either way")))
pacbio_from_cli = fixed_command(
    "Filter PacBio repeats file with pre-defined bed file and unify structural vcf files", "pacbio_filter_and_unify",
    (("-r", "--fullRepeatPath"), "full_repeat_path", dict(help="Full repeats input file path (optional)")),
    (("-b", "--repeatLocationsBedFilePath"), "repeat_bed_file_path",
     dict(help="Repeats filtering bed file path (optional)")))


def installed_command(command: str, entry: str, argv: Optional[Sequence[str]]) -> int:
    """The installed command `command` (merivane-dragen, ...): `entry` is
    looked up on Merivane.cli at call time and given `argv` as it came: its
    parser, options and help stay exactly its own."""
    if "--version" in arguments(argv):
        print(f"{command} {__version__}", flush=True)
        return EXIT_SUCCESS
    return run_guarded(lambda: getattr(cli, entry)(argv), logging.INFO)


# ---- merivane: its options --------------------------------------------------


def integer_between(low: int, high: int, within: str) -> Callable[[str], int]:
    """An argparse `type=`: a whole number from low to high."""

    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"'{text}' {within}")
        return value

    return convert


def utf8_text(text: str) -> str:
    """An argparse `type=` for a value written into the VCF as text."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError(f"'{escaped(text)}' is not UTF-8 text") from None
    return text


def output_path(text: str) -> str:
    """An argparse `type=` for -o: the printed paths are one a line, so a path
    that would break a line is refused rather than printed in pieces."""
    if not text:
        raise argparse.ArgumentTypeError("the output path is empty (use - for standard output)")
    if "\n" in text or "\r" in text:
        raise argparse.ArgumentTypeError(f"{text!r} holds a line break; choose a path without one")
    return text


MAX_THREADS = 2**31 - 1
# The default thread count stops here: past it the reading, unifying and
# sorting, not the compression, bound a run.
DEFAULT_THREADS_CAP = 8
# bgzip's default rather than the library's, which is slower for about the
# same size.
DEFAULT_LEVEL = 6


def usable_cpus() -> int:
    """The CPUs this process may run on: its affinity mask, lowered to a
    container's or cgroup's CPU quota (cgroup v2 cpu.max) where there is one."""
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    try:
        with open("/sys/fs/cgroup/cpu.max") as limit:
            quota, period = limit.read().split()[:2]
        return max(1, min(cpus, -(-int(quota) // int(period))))
    except (OSError, ValueError):  # no cgroup v2, or no quota ("max")
        return max(1, cpus)

DESCRIPTION = (
    "Merge one sample's structural-variant (SV), copy-number (CNV), tandem-repeat and runs-of-homozygosity (ROH) "
    "calls into one VCF: one header, sorted by chromosome and position, bgzipped for tabix. Pick the pipeline "
    "the files came from. On success the path of the finished .vcf.gz (and of its index, when asked for) is "
    "printed on standard output; with -o - the bgzipped VCF itself goes there. Messages go to standard error, "
    "only when something is wrong. The spellings of the merivane-dragen, merivane-ont and merivane-pacbio "
    "commands (--outputPath, --svPath, -modify, ...) are accepted too."
)

EPILOG = """\
examples:
  merivane dragen -o NA12878.vcf -s NA12878.sv.vcf.gz -c NA12878.cnv.vcf.gz -d NA12878.roh.bed
  merivane ont    -o HG002.vcf -s HG002.sniffles.vcf.gz -r HG002.straglr.vcf.gz
  merivane pacbio -o HG003.vcf -s HG003.pbsv.vcf.gz -r HG003.trgt.vcf.gz --index tbi
  merivane dragen -o - -s NA12878.sv.vcf.gz | bcftools view -H | head

Run 'merivane PIPELINE --help' for a pipeline's options."""

EVERY_INPUT_OPTIONAL = "Every input is optional: one with no records is left out with a warning."

# name: (summary, description, example)
PIPELINES = {
    "dragen": (
        "unify a DRAGEN run: SV, CNV, repeats (ExpansionHunter) and ROH",
        "Unify a DRAGEN run's structural-variant, copy-number, repeat (ExpansionHunter) and runs-of-homozygosity "
        "outputs into one sorted, bgzipped VCF. " + EVERY_INPUT_OPTIONAL,
        "example:\n  merivane dragen -o NA12878.vcf -s NA12878.sv.vcf.gz -c NA12878.cnv.vcf.gz \\\n"
        "      -r NA12878.repeats.vcf.gz -d NA12878.roh.bed\n"
        "  prints NA12878.vcf.gz",
    ),
    "ont": (
        "unify an Oxford Nanopore run: SV (Sniffles2), CNV and repeats (Straglr)",
        "Unify an Oxford Nanopore run's structural-variant, copy-number and repeat (Straglr) outputs into one "
        "sorted, bgzipped VCF. " + EVERY_INPUT_OPTIONAL,
        "example:\n  merivane ont -o HG002.vcf -s HG002.sniffles.vcf.gz -c HG002.cnv.vcf.gz -r HG002.straglr.vcf.gz\n"
        "  prints HG002.vcf.gz",
    ),
    "pacbio": (
        "unify a PacBio run: SV (pbsv), CNV and repeats (TRGT, cut down to a locus catalog)",
        "Unify a PacBio run's structural-variant (pbsv), copy-number and repeat (TRGT) outputs into one sorted, "
        "bgzipped VCF. The TRGT VCF covers the whole genome; only its calls at the loci of a catalog are kept "
        "(by default the bundled STRchive disease-locus catalog, hg38). SV records marked InvBreakpoint are left "
        "out unless told otherwise. " + EVERY_INPUT_OPTIONAL,
        "example:\n  merivane pacbio -o HG003.vcf -s HG003.pbsv.vcf.gz -r HG003.trgt.vcf.gz --index tbi\n"
        "  prints HG003.vcf.gz and HG003.vcf.gz.tbi; the catalog's repeat calls are kept in\n"
        "  HG003.trgt_filtered.vcf beside the output",
    ),
}


def add_input_options(parser: argparse.ArgumentParser, pipeline: str) -> None:
    inputs = parser.add_argument_group("files (plain or gzip-compressed; every input optional)")
    inputs.add_argument("-o", "--output-path", metavar="VCF", type=output_path, required=True,
                        help="where to write the unified VCF; the finished file is this path + .gz, or - for the "
                             "bgzipped VCF on standard output, as for a device or FIFO (/dev/stdout) (required)")
    inputs.add_argument("-s", "--sv-path", metavar="VCF", help="structural-variant VCF")
    inputs.add_argument("-c", "--cnv-path", metavar="VCF", help="copy-number VCF")
    if pipeline == "pacbio":
        inputs.add_argument("-r", "--full-repeat-path", metavar="VCF",
                            help="TRGT repeat VCF of the whole genome, cut down to the catalog")
        inputs.add_argument("-b", "--catalog", metavar="BED", help="BED of the repeat loci to keep (default: the "
                            "bundled STRchive disease-locus catalog, hg38)")
        inputs.add_argument("--filtered-repeats", metavar="VCF", help="where to keep the catalog's repeat calls "
                            "(default: beside the output, named after the -r file with _filtered.vcf; with -o - or a "
                            "stream, beside the -r file, or in the current folder when -r names no file, as a pipe)")
        inputs.add_argument("--allow-no-repeats", action="store_true", help="unify even when no repeat call lies on "
                            "a chromosome the catalog names (by default that is an error: the calls and the catalog "
                            "name another reference)")
        return
    caller = "ExpansionHunter" if pipeline == "dragen" else "Straglr"
    inputs.add_argument("-r", "--repeat-path", metavar="VCF", help=f"tandem-repeat VCF ({caller})")
    if pipeline == "dragen":
        inputs.add_argument("-d", "--roh", metavar="BED",
                            help="runs of homozygosity: the BED of DRAGEN's ROH caller, or an ROH VCF")
        return
    records = parser.add_argument_group("repeat records")
    records.add_argument("--modify-repeats", action="store_const", const=True, help="mark every repeat call "
                         "SVTYPE=REP, whatever it carries (default: only calls that carry no SVTYPE)")
    records.add_argument("--no-modify-repeats", dest="modify_repeats", action="store_const", const=False,
                         help="mark no repeat call")


def add_output_options(parser: argparse.ArgumentParser, pipeline: str) -> None:
    output = parser.add_argument_group("output")
    output.add_argument("--threads", type=integer_between(1, MAX_THREADS, f"must be from 1 to {MAX_THREADS}"),
                        default=min(usable_cpus(), DEFAULT_THREADS_CAP), metavar="N",
                        help=f"compress with N threads (default: the CPUs this process may use, at most "
                             f"{DEFAULT_THREADS_CAP}); the output is the same for any N")
    low, high = compression._LEVELS
    output.add_argument("--level", type=integer_between(low, high, f"must be from {low} (fastest) to {high} "
                                                        "(smallest)"), default=DEFAULT_LEVEL, metavar="L",
                        help=f"compression level as bgzip's: {low} (stored), 1 (fastest) to 8 with bgzip's blocks, "
                             f"{high} (zlib's, the slowest); default {DEFAULT_LEVEL}")
    output.add_argument("--index", choices=("tbi", "csi"), help="also write a tabix index beside the output: tbi, "
                        "or csi for chromosomes longer than 512 Mbp")
    output.add_argument("--sort", choices=("text", "contig"), default="text", dest="sort_order",
                        help="order of the chromosomes: text (chr1, chr10, chr2; the default, which tabix and "
                             "bcftools take) or contig, the order of the header's contig lines, which Picard, GATK "
                             "and bcftools sort use")
    output.add_argument("--donor-header", action="store_true", help="use the first input's header alone (SV, else "
                        "CNV, else repeats) instead of merging every input's INFO, FORMAT, FILTER, ALT and contig "
                        "lines")
    output.add_argument("--sample", metavar="NAME", type=utf8_text, help="rename the output's one sample column to "
                        "NAME (an error when the header has not exactly one)")
    output.add_argument("--stats", metavar="JSON", help="write the run's statistics to JSON: records read, kept and "
                        "left out per input (and why), the output's records by SVTYPE and chromosome, its size, "
                        "seconds per step; beside it, MultiQC's custom-content files (JSON less .json, then "
                        ".summary_mqc.json, .sources_mqc.json, .svtypes_mqc.json)")
    output.add_argument("--no-version", action="store_true", help="leave the ##merivaneVersion and "
                        "##merivaneCommand lines out of the header, so that two runs give the same bytes")
    filters = output.add_mutually_exclusive_group()
    kept = "InvBreakpoint" if pipeline == "pacbio" else "keep all"
    filters.add_argument("--drop-filter", action="append", dest="drop_filters", metavar="TOKEN", type=utf8_text,
                         help=f"leave out SV records whose FILTER holds TOKEN; repeat for more tokens "
                              f"(default: {kept})")
    filters.add_argument("--no-drop-filter", action="store_true", help="keep every SV record, whatever its FILTER")


def build_parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(prog="merivane", description=textwrap.fill(DESCRIPTION, width=79),
                                     epilog=EPILOG, formatter_class=formatter, allow_abbrev=False)
    parser.add_argument("--version", action="version", version=f"merivane {__version__}")
    subparsers = parser.add_subparsers(dest="pipeline", metavar="PIPELINE", title="pipelines")
    subparsers.required = True
    for name, (summary, description, example) in PIPELINES.items():
        sub = subparsers.add_parser(name, help=summary, description=textwrap.fill(description, width=79),
                                    epilog=example, formatter_class=formatter, allow_abbrev=False)
        add_input_options(sub, name)
        add_output_options(sub, name)
        group = sub.add_argument_group("messages")
        loudness = group.add_mutually_exclusive_group()
        loudness.add_argument("-q", "--quiet", action="store_true", help="show only warnings and errors (the default)")
        loudness.add_argument("-v", "--verbose", action="store_true",
                              help="show every message, and the full traceback of an error")
        group.add_argument("--version", action="version", version=f"merivane {__version__}")
    return parser


def with_aliases_renamed(argv: Sequence[str]) -> List[str]:
    renamed, options_ended = [], False
    for argument in argv:
        if not options_ended and isinstance(argument, str):
            options_ended = argument == "--"
            name, equals, value = argument.partition("=")
            argument = ALIASES.get(name, name) + equals + value
        renamed.append(argument)
    return renamed


# ---- merivane: the run ------------------------------------------------------


def filtered_repeats(args: argparse.Namespace) -> Optional[str]:
    """Where the catalog's repeat calls are kept unless told: beside the output
    (cli._filtered_repeat_path_for); with a stream as output and a file as -r,
    the filter's default beside that file (None)."""
    given: Optional[str] = args.filtered_repeats
    full = args.full_repeat_path
    if given is not None or full is None or (args.streamed and not streams_to(full)):
        return given
    return cli._filtered_repeat_path_for(full, args.output_path, args.streamed)


def run_door(args: argparse.Namespace) -> Optional[str]:
    """The run through its door of Merivane.cli, as looked up now. The
    package's own door is told the command line, and then plans the whole run
    in the core; one a caller replaced gets the keywords it always got. FILTER
    tokens to drop outside PacBio, which those doors do not take, go through
    `_unify` with the door's inputs and options."""
    # The header lines saying what made the file, as bcftools writes its own.
    made_by = () if args.no_version else (
        f"##merivaneVersion={__version__}",
        f"##merivaneCommand={one_line(escaped(args.command_line))}; Date={time.asctime()}")
    keywords: Dict[str, Any] = dict(
        merge_headers=not args.donor_header, threads=args.threads, compresslevel=args.level, index=args.index,
        sort_order=args.sort_order, sample=args.sample, header_lines=made_by, stats=args.stats)
    paths = dict(output_path=args.output_path, sv_path=args.sv_path, cnv_path=args.cnv_path)
    tokens = () if args.no_drop_filter else args.drop_filters
    roh, modify = getattr(args, "roh", None), getattr(args, "modify_repeats", None)
    door: Callable[..., Optional[str]]
    positional: Tuple[Any, ...] = ()
    if args.pipeline == "pacbio":
        catalog = args.catalog if args.catalog is not None else repeats.default_repeat_catalog_path()
        door = cli.pacbio_filter_and_unify
        keywords.update(paths, full_repeat_path=args.full_repeat_path, repeat_bed_file_path=catalog,
                        drop_sv_filters=("InvBreakpoint",) if tokens is None else tuple(tokens),
                        filtered_repeat_path=filtered_repeats(args),
                        require_catalog_chromosomes=not args.allow_no_repeats)
    elif tokens:
        struct_files = {cli.SV: args.sv_path, cli.CNV: args.cnv_path, cli.REPEATS: args.repeat_path, cli.ROH: roh}
        door = cli._unify
        positional = (struct_files, args.output_path, cli.UnifyOptions(add_repeat_svtype=modify,
                                                                       drop_sv_filters=tuple(tokens)))
    elif args.pipeline == "dragen":
        door = cli.dragen_unify
        keywords.update(paths, repeat_path=args.repeat_path, roh_bed_path=roh)
    else:
        door = cli.ont_unify
        keywords.update(paths, repeat_path=args.repeat_path, modify_repeats=modify)
    if getattr(door, "__module__", None) == cli.__name__:
        keywords["command"] = escaped(args.command_line)
    return door(*positional, **keywords)


def write_out(text: str) -> None:
    """Paths as the file system spells them, even when not UTF-8."""
    buffer = getattr(sys.stdout, "buffer", None)
    if buffer is None:  # a host's text-only stream
        sys.stdout.write(text)
        return
    sys.stdout.flush()
    buffer.write(os.fsencode(text))
    buffer.flush()


def standard_output_is_open() -> bool:
    try:
        return sys.stdout is not None and os.fstat(1) is not None  # None: the interpreter started with it closed
    except OSError:
        return False


# The doors name their keywords; the command names its options.
OPTION_SPELLINGS = {"choose another output_path": "choose another -o",
                    "choose another filtered_repeat_path": "choose another --filtered-repeats"}


def unify(args: argparse.Namespace) -> None:
    """The run, and on success the paths of what it wrote (none for a
    stream, which got the data itself)."""
    if not standard_output_is_open():
        raise RuntimeError("standard output is closed: the command has nowhere to put the VCF or its path")
    try:
        result = run_door(args)
    except BrokenPipeError as error:
        if args.output_path != STDOUT:
            raise
        raise RuntimeError("standard output was closed before the whole VCF was written") from error
    except ValueError as error:
        text = str(error)
        for keyword, option in OPTION_SPELLINGS.items():
            text = text.replace(keyword, option)
        if text == str(error):
            raise
        raise ValueError(text) from error
    if result is None:
        raise ValueError("nothing to unify: no SV, CNV or repeat input with records was given")
    if args.streamed:
        return
    printed = [result]
    if args.index is not None:
        printed.append(f"{result}.{args.index}")
        if not os.path.isfile(printed[-1]):
            raise ValueError(f"no index was written beside {result}")
    write_out("".join(path + "\n" for path in printed))


def is_terminal(path: str) -> bool:
    if path == STDOUT:
        return sys.stdout is not None and sys.stdout.isatty()
    try:
        if not stat.S_ISCHR(os.stat(path).st_mode):
            return False
        descriptor = os.open(path, os.O_WRONLY | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_NONBLOCK", 0))
    except OSError:
        return False
    try:
        return os.isatty(descriptor)
    finally:
        os.close(descriptor)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    given = arguments(argv)
    args = parser.parse_args(with_aliases_renamed(given))
    args.command_line = shlex.join(["merivane", *given])
    args.streamed = streams_to(args.output_path)
    if args.streamed and args.index is not None:
        what = "-o -" if args.output_path == STDOUT else f"-o {args.output_path} (no file)"
        parser.error(f"--index needs a file beside the output; it cannot go with {what}")
    if args.streamed and is_terminal(args.output_path):
        hint = "; redirect standard output" if args.output_path == STDOUT else ""
        parser.error(f"-o {args.output_path} writes compressed data, not to a terminal{hint}")
    if args.verbose:
        return run_guarded(lambda: unify(args), logging.DEBUG, verbose=True)
    return run_guarded(lambda: unify(args), logging.WARNING, NOT_GIVEN_WARNINGS)
