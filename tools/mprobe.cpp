// mprobe: describes media files with the media_probe library.
//
//   mprobe PATH...                 per file a line, then a line per stream, chapter
//                                  and program, on standard output
//   mprobe -l PATH...              every field of the description, a line each
//   mprobe --json PATH...          a JSON array with one object per file
//   mprobe --json-lines PATH...    one JSON object per file and line
//   mprobe --record PATH...        the block of the library's original record fields
//   mprobe --files-from LIST       the paths in LIST ("-": standard input), one a
//                                  line, or NUL-separated with -0
//
// A PATH that is a directory stands for the files in it, in name order
// (names starting with '.' are skipped); with -r also for those in its
// subdirectories, depth first. A path read from a list is probed as it is.
// Files are probed by -j N threads (default: one per core), each with its own
// context, and reported in input order; a list is read while probing goes on,
// and each of its files is flushed as soon as it and every file before it are
// done, so that a program can write a path and read its answer (a worker).
// Two output forms, or -0 without a list, are a usage error.
//
// Exit status 0 when every file was described, 1 when any failed (each
// failure is named on standard error as it comes, and a count by reason
// follows at the end), 2 on a usage error. The demuxer's own log messages are
// silenced. The library's notes about streams it does not describe as video
// or audio are left out (every output describes those streams), except under
// --record, which shows them as it always did, and with --name-notes, which
// names file and stream in each; they go to standard error, just before the
// file's failure line if it has one, so that standard output holds only the
// descriptions. On a terminal, standard error shows how many files are done.
// Control characters and the backslash in the names and texts of the text
// output and of standard error are shown escaped. A write to standard output
// (or of a message to standard error) that fails ends the run at once with
// status 1 and one message naming the error.
//
// The parts, each in a file of its own: this one the command line (options,
// usage, main); mprobe_inputs the paths and lists; mprobe_describe one
// file's probe and outcome; mprobe_runner the threads and the ordered
// reports; mprobe_views the text views; mprobe_output the checked writes.
// The JSON comes from the library's own writer (media_json.h).
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "media_probe.h"
#include "mprobe_describe.h"
#include "mprobe_inputs.h"
#include "mprobe_options.h"
#include "mprobe_output.h"
#include "mprobe_runner.h"
#include "mprobe_views.h"

namespace {

const char kUsage[] = "usage: mprobe [--json | --json-lines] [-r] [-j N] PATH...\n";
const char kHelp[] =
    "  PATH              a media file, or a directory standing for its files\n"
    "  -r, --recursive   also the files in subdirectories of directories\n"
    "  -j, --jobs N      probe with N threads (default: one per core)\n"
    "\n"
    "  One output form (by default a line per file and per stream):\n"
    "  -l, --long        text with every field of the description\n"
    "      --json        every description in one JSON array\n"
    "      --json-lines  one JSON object per file and line\n"
    "      --record      the block of the library's original record fields\n"
    "      --ffprobe-json  per file and line, the JSON document ffprobe writes with\n"
    "                    -show_format -show_streams -show_chapters -show_programs\n"
    "\n"
    "      --scan        also read every packet: exact counts, every keyframe, true\n"
    "                    durations, constant or variable frame rate\n"
    "      --no-index    JSON without the seek index and the scan's keyframes (their\n"
    "                    counts stay)\n"
    "      --files-from LIST\n"
    "                    also the paths in the file LIST (- for standard input),\n"
    "                    one a line\n"
    "  -0, --null        the paths in LIST are separated by NUL bytes instead\n"
    "      --name-notes  name file and stream on standard error for each stream the\n"
    "                    library does not describe as video or audio\n"
    "      --version     the version of mprobe and of the FFmpeg libraries\n"
    "  -h, --help        this text\n";

// The output form an option chooses; none for the other options.
std::optional<Format> outputForm(int option) {
    switch (option) {
        case kMprobeJson:
            return Format::json;
        case kMprobeJsonLines:
            return Format::jsonLines;
        case kMprobeFfprobeJson:
            return Format::ffprobeJson;
        case 'l':
            return Format::longText;
        case kMprobeRecord:
            return Format::record;
        default:
            return std::nullopt;
    }
}

int usageError(const char *format, const char *what) {
    fputs("mprobe: ", stderr);
    fprintf(stderr, format, what);
    fprintf(stderr, "\n%s", kUsage);
    return 2;
}

}  // namespace

std::string versionText();  // mprobe_version.cpp

int main(int argc, char **argv) {
    holdClosedStandardDescriptors();
    Settings settings;
    bool recursive = false, nulSeparated = false;
    std::string nulOption;  // -0 or --null, as written
    const char *listPath = nullptr;
    unsigned jobs = 0;
    std::vector<option> longOptions;
    for (const MprobeOption &o : kMprobeOptions) {
        longOptions.push_back({o.name, o.argument, nullptr, o.code});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    const std::string shortOptions = mprobeShortOptions();
    std::string formatOption;  // the option that chose the output form, as written
    opterr = 0;
    for (;;) {
        int longIndex = -1;
        const int opt =
            getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), &longIndex);
        if (opt == -1) break;
        // The option as written: "--long" or "-l".
        const std::string written = longIndex >= 0 ? std::string("--") + longOptions[longIndex].name
                                                   : std::string{'-', static_cast<char>(opt)};
        if (const std::optional<Format> form = outputForm(opt)) {
            // One output form a run: a second one is refused, not preferred.
            if (!formatOption.empty() && *form != settings.format) {
                return usageError("%s", (formatOption + " and " + written +
                                         " cannot be used together: choose one output form")
                                            .c_str());
            }
            settings.format = *form;
            if (formatOption.empty()) formatOption = written;
            continue;
        }
        switch (opt) {
            case kMprobeNoIndex:
                settings.index = false;
                break;
            case kMprobeScan:
                settings.scan = true;
                break;
            case kMprobeFilesFrom:
                listPath = optarg;
                break;
            case '0':
                nulSeparated = true;
                nulOption = written;
                break;
            case kMprobeNameNotes:
                settings.nameNotes = true;
                break;
            case 'r':
                recursive = true;
                break;
            case 'j': {
                char *end = nullptr;
                errno = 0;
                long value = strtol(optarg, &end, 10);
                if (errno || end == optarg || *end || value < 1 || value > 1024) {
                    return usageError("-j needs a number of threads from 1 to 1024, not %s",
                                      optarg);
                }
                jobs = static_cast<unsigned>(value);
                break;
            }
            case 'h':
                put(stdout, std::string(kUsage) + kHelp);
                flushOrFail(stdout);
                return 0;
            case kMprobeVersion: {
                put(stdout, versionText());
                flushOrFail(stdout);
                return 0;
            }
            default: {
                if (optopt == 'j') return usageError("%s needs a number of threads", "-j");
                if (optopt == kMprobeFilesFrom) {
                    return usageError("%s needs a file naming the paths", "--files-from");
                }
                char shortOption[] = {'-', static_cast<char>(optopt), '\0'};
                return usageError("unknown option %s", optopt ? shortOption : argv[optind - 1]);
            }
        }
    }
    if (settings.scan && settings.format == Format::record) {
        return usageError("%s", (formatOption + " and --scan cannot be used together: the "
                                                "original record holds no scan")
                                    .c_str());
    }
    if (settings.scan && settings.format == Format::ffprobeJson) {
        return usageError("%s", (formatOption + " and --scan cannot be used together: ffprobe's "
                                                "document holds no scan")
                                    .c_str());
    }
    if (nulSeparated && !listPath) {
        return usageError("%s", (nulOption + " needs --files-from: it says how the paths of "
                                             "that list are separated")
                                    .c_str());
    }
    if (optind >= argc && !listPath) {
        fputs(kUsage, stderr);
        return 2;
    }
    FILE *list = nullptr;
    if (listPath) {
        list = strcmp(listPath, "-") == 0 ? stdin : fopen(listPath, "re");
        if (!list) {
            fprintf(stderr, "mprobe: %s: cannot read the list: %s\n", escaped(listPath).c_str(),
                    strerror(errno));
            return 2;
        }
    }

    av_log_set_level(AV_LOG_QUIET);
    media_probe_set_note_handler(collectNote, nullptr);
    InputSource source(expand(argv + optind, argc - optind, recursive), list,
                       nulSeparated ? '\0' : '\n');
    if (jobs == 0) jobs = coreCount();
    if (source.sized()) jobs = static_cast<unsigned>(std::min<size_t>(jobs, source.size()));

    // A list is answered file by file: each description is flushed as soon
    // as it is printed, so that a program that writes a path to mprobe's
    // standard input can read its answer before it writes the next.
    Reporter reporter(stdout, settings, source.sized(), source.size(), list != nullptr);
    probeAll(source, jobs, settings, reporter);
    int status = reporter.end();
    if (list && list != stdin) fclose(list);
    if (source.readError()) {
        put(stderr, "mprobe: " + escaped(listPath) +
                        ": cannot read the list: " + strerror(source.readError()) + "\n");
        status = 1;
    }
    return status;
}
