// mprobe's command-line options: the one table the parser is built from, and
// that the tests hold the usage text and the bash completion to.
#ifndef TOOLS_MPROBE_OPTIONS_H
#define TOOLS_MPROBE_OPTIONS_H

#include <getopt.h>

#include <string>

// The value the parser returns for an option: its short letter where it has
// one, else one of these.
enum MprobeOptionCode {
    kMprobeJson = 256,
    kMprobeJsonLines,
    kMprobeNoIndex,
    kMprobeFilesFrom,
    kMprobeNameNotes,
    kMprobeVersion,
    kMprobeRecord,
    kMprobeScan,
    kMprobeFfprobeJson,
};

struct MprobeOption {
    const char *name;  // the long name, without "--"
    int argument;      // no_argument or required_argument
    int code;          // the short letter (below 256), or a MprobeOptionCode
};

// One option a line, so that options added on different branches merge.
// clang-format off
inline constexpr MprobeOption kMprobeOptions[] = {
    {"json", no_argument, kMprobeJson},
    {"json-lines", no_argument, kMprobeJsonLines},
    {"recursive", no_argument, 'r'},
    {"jobs", required_argument, 'j'},
    {"help", no_argument, 'h'},
    {"long", no_argument, 'l'},
    {"no-index", no_argument, kMprobeNoIndex},
    {"files-from", required_argument, kMprobeFilesFrom},
    {"null", no_argument, '0'},
    {"name-notes", no_argument, kMprobeNameNotes},
    {"version", no_argument, kMprobeVersion},
    {"record", no_argument, kMprobeRecord},
    {"scan", no_argument, kMprobeScan},
    {"ffprobe-json", no_argument, kMprobeFfprobeJson},
};
// clang-format on

inline bool mprobeHasShortName(const MprobeOption &option) {
    return option.code < 256;
}

// getopt's short option string: options end at the first path ("+").
inline std::string mprobeShortOptions() {
    std::string letters = "+";
    for (const MprobeOption &option : kMprobeOptions) {
        if (!mprobeHasShortName(option)) continue;
        letters += static_cast<char>(option.code);
        if (option.argument == required_argument) letters += ':';
    }
    return letters;
}

#endif
