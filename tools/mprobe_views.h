// mprobe's text views of a described file: the default view (a line per
// file, stream, chapter and program), the long text (-l, every field of the
// field table on a line) and the block of the library's original record
// fields (--record); and how every text mprobe prints shows a name or a tag.
#ifndef TOOLS_MPROBE_VIEWS_H
#define TOOLS_MPROBE_VIEWS_H

#include <cstddef>
#include <string>

#include "media_probe.h"

// `text` with control characters (C0, DEL and the C1 range in UTF-8) and the
// backslash written as escapes, so that a crafted name or tag cannot forge
// or rewrite lines, and no two texts read the same.
std::string escaped(const char *text, size_t length);
std::string escaped(const char *text);  // NULL reads as ""
std::string escaped(const std::string &text);

// printf into the end of `out`, whatever the length.
void appendf(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The default view: the file's line, then its streams' (in stream order),
// chapters' and programs' lines. docs/man/mprobe.1 gives the layout; keep
// the two in step.
std::string viewText(const MediaContext &c);
// -l: one line per field the field table labels.
std::string longText(const MediaContext &c);
// --record: the lines of the original record fields that mprobe printed by
// default before it had its view.
std::string recordText(const MediaContext &c);

#endif
