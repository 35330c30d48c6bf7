// The Matroska header as the demuxer parses it, and what its metadata,
// chapters, cues and attachments will cost (probe_forecast.h).
//
// The demuxer reads the EBML header, then the segment's top-level elements
// one after the other until the first cluster; any error makes it search the
// bytes after the failed element's start for a top-level ID and parse from
// there, again and again, until it meets a cluster's ID or the file's end.
// It then follows the seek head to the top-level elements it has not parsed
// (cues excepted). Every element it parses is appended to its lists, even one
// whose content turns out broken. The walk below does the same, element by
// element, with the element types of the demuxer's syntax, so that it meets
// every element the demuxer will have in its lists, and it applies the
// demuxer's checks so that it fails, and searches, where the demuxer does.
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/mem.h>
}

#include "probe_forecast.h"

namespace {

// Element types, as the demuxer reads them.
enum Type : uint8_t { kNone, kUint, kSint, kFloat, kString, kBinary, kMaster, kStop };

// The syntax levels the walk knows: the children each master may have.
enum Table : uint8_t {
    kSegment,
    kInfo,
    kTracks,
    kTrack,
    kVideo,
    kColour,
    kMastering,
    kProjection,
    kAudio,
    kOperation,
    kCombinePlanes,
    kPlane,
    kEncodings,
    kEncoding,
    kCompression,
    kEncryption,
    kBlockMapping,
    kAttachments,
    kAttachedFile,
    kChapters,
    kEdition,
    kChapterAtom,
    kChapterDisplay,
    kCues,
    kCuePoint,
    kCuePosition,
    kTags,
    kTag,
    kTargets,
    kSimpleTag,
    kSeekHead,
    kSeek,
    kTableCount
};

// The level whose elements end one of unknown length (kTableCount: none).
constexpr Table kParentTable[kTableCount] = {
    kTableCount, kSegment,     kSegment, kTracks,    kTrack,         kVideo,   kColour,
    kVideo,      kTrack,       kTrack,   kOperation, kCombinePlanes, kTrack,   kEncodings,
    kEncoding,   kEncoding,    kTrack,   kSegment,   kAttachments,   kSegment, kChapters,
    kEdition,    kChapterAtom, kSegment, kCues,      kCuePoint,      kSegment, kTags,
    kTag,        kTag,         kSegment, kSeekHead,
};

struct Syntax {
    Table table;
    uint32_t id;
    Type type;
    Table child;  // for a master: the level of its children
};

// Element IDs the walk reads values of.
constexpr uint32_t kEbmlHeaderId = 0x1A45DFA3, kSegmentId = 0x18538067, kClusterId = 0x1F43B675;
constexpr uint32_t kCuesId = 0x1C53BB6B, kTagsId = 0x1254C367, kSeekHeadId = 0x114D9B74;
constexpr uint32_t kInfoId = 0x1549A966, kTracksId = 0x1654AE6B, kAttachmentsId = 0x1941A469;
constexpr uint32_t kChaptersId = 0x1043A770;
constexpr uint32_t kSeekIdId = 0x53AB, kSeekPositionId = 0x53AC, kTrackUidId = 0x73C5;
constexpr uint32_t kFileUidId = 0x46AE, kChapterUidId = 0x73C4, kChapterStartId = 0x91;
constexpr uint32_t kCueTimeId = 0xB3, kTargetTypeId = 0x63CA, kTargetTrackId = 0x63C5;
constexpr uint32_t kTargetChapterId = 0x63C4, kTargetAttachmentId = 0x63C6;
constexpr uint32_t kTagNameId = 0x45A3, kTagStringId = 0x4487, kTagLanguageId = 0x447A;
constexpr uint32_t kTagDefaultId = 0x4484, kTagDefaultOtherId = 0x44B4;

// Every element of the syntax the demuxer parses a header with, by level and
// ID (sorted so), with its type; an ID a level does not list is skipped.
constexpr Syntax kSyntax[] = {
    {kSegment, 0x1043A770, kMaster, kChapters},
    {kSegment, 0x114D9B74, kMaster, kSeekHead},
    {kSegment, 0x1254C367, kMaster, kTags},
    {kSegment, 0x1549A966, kMaster, kInfo},
    {kSegment, 0x1654AE6B, kMaster, kTracks},
    {kSegment, 0x1941A469, kMaster, kAttachments},
    {kSegment, 0x1C53BB6B, kMaster, kCues},
    {kSegment, 0x1F43B675, kStop, kTableCount},
    {kInfo, 0x4461, kBinary, kTableCount},
    {kInfo, 0x4489, kFloat, kTableCount},
    {kInfo, 0x4D80, kString, kTableCount},
    {kInfo, 0x5741, kNone, kTableCount},
    {kInfo, 0x73A4, kNone, kTableCount},
    {kInfo, 0x7BA9, kString, kTableCount},
    {kInfo, 0x2AD7B1, kUint, kTableCount},
    {kTracks, 0xAE, kMaster, kTrack},
    {kTrack, 0x83, kUint, kTableCount},
    {kTrack, 0x86, kString, kTableCount},
    {kTrack, 0x88, kUint, kTableCount},
    {kTrack, 0x9C, kNone, kTableCount},
    {kTrack, 0xAA, kNone, kTableCount},
    {kTrack, 0xB9, kNone, kTableCount},
    {kTrack, 0xD7, kUint, kTableCount},
    {kTrack, 0xE0, kMaster, kVideo},
    {kTrack, 0xE1, kMaster, kAudio},
    {kTrack, 0xE2, kMaster, kOperation},
    {kTrack, 0x41E4, kMaster, kBlockMapping},
    {kTrack, 0x536E, kString, kTableCount},
    {kTrack, 0x55AA, kUint, kTableCount},
    {kTrack, 0x55AB, kUint, kTableCount},
    {kTrack, 0x55AC, kUint, kTableCount},
    {kTrack, 0x55AD, kUint, kTableCount},
    {kTrack, 0x55AE, kUint, kTableCount},
    {kTrack, 0x55AF, kUint, kTableCount},
    {kTrack, 0x55EE, kUint, kTableCount},
    {kTrack, 0x56AA, kUint, kTableCount},
    {kTrack, 0x56BB, kUint, kTableCount},
    {kTrack, 0x63A2, kBinary, kTableCount},
    {kTrack, 0x6D80, kMaster, kEncodings},
    {kTrack, 0x6DE7, kNone, kTableCount},
    {kTrack, 0x6DF8, kNone, kTableCount},
    {kTrack, 0x73C5, kUint, kTableCount},
    {kTrack, 0x22B59C, kString, kTableCount},
    {kTrack, 0x23314F, kFloat, kTableCount},
    {kTrack, 0x23E383, kUint, kTableCount},
    {kTrack, 0x258688, kNone, kTableCount},
    {kTrack, 0x26B240, kNone, kTableCount},
    {kTrack, 0x3B4040, kNone, kTableCount},
    {kVideo, 0x9A, kUint, kTableCount},
    {kVideo, 0x9D, kUint, kTableCount},
    {kVideo, 0xB0, kUint, kTableCount},
    {kVideo, 0xBA, kUint, kTableCount},
    {kVideo, 0x53B8, kUint, kTableCount},
    {kVideo, 0x53C0, kUint, kTableCount},
    {kVideo, 0x54AA, kNone, kTableCount},
    {kVideo, 0x54B0, kUint, kTableCount},
    {kVideo, 0x54B2, kUint, kTableCount},
    {kVideo, 0x54B3, kNone, kTableCount},
    {kVideo, 0x54BA, kUint, kTableCount},
    {kVideo, 0x54BB, kNone, kTableCount},
    {kVideo, 0x54CC, kNone, kTableCount},
    {kVideo, 0x54DD, kNone, kTableCount},
    {kVideo, 0x55B0, kMaster, kColour},
    {kVideo, 0x7670, kMaster, kProjection},
    {kVideo, 0x2383E3, kFloat, kTableCount},
    {kVideo, 0x2EB524, kBinary, kTableCount},
    {kColour, 0x55B1, kUint, kTableCount},
    {kColour, 0x55B2, kUint, kTableCount},
    {kColour, 0x55B3, kUint, kTableCount},
    {kColour, 0x55B4, kUint, kTableCount},
    {kColour, 0x55B5, kUint, kTableCount},
    {kColour, 0x55B6, kUint, kTableCount},
    {kColour, 0x55B7, kUint, kTableCount},
    {kColour, 0x55B8, kUint, kTableCount},
    {kColour, 0x55B9, kUint, kTableCount},
    {kColour, 0x55BA, kUint, kTableCount},
    {kColour, 0x55BB, kUint, kTableCount},
    {kColour, 0x55BC, kUint, kTableCount},
    {kColour, 0x55BD, kUint, kTableCount},
    {kColour, 0x55D0, kMaster, kMastering},
    {kMastering, 0x55D1, kFloat, kTableCount},
    {kMastering, 0x55D2, kFloat, kTableCount},
    {kMastering, 0x55D3, kFloat, kTableCount},
    {kMastering, 0x55D4, kFloat, kTableCount},
    {kMastering, 0x55D5, kFloat, kTableCount},
    {kMastering, 0x55D6, kFloat, kTableCount},
    {kMastering, 0x55D7, kFloat, kTableCount},
    {kMastering, 0x55D8, kFloat, kTableCount},
    {kMastering, 0x55D9, kFloat, kTableCount},
    {kMastering, 0x55DA, kFloat, kTableCount},
    {kProjection, 0x7671, kUint, kTableCount},
    {kProjection, 0x7672, kBinary, kTableCount},
    {kProjection, 0x7673, kFloat, kTableCount},
    {kProjection, 0x7674, kFloat, kTableCount},
    {kProjection, 0x7675, kFloat, kTableCount},
    {kAudio, 0x9F, kUint, kTableCount},
    {kAudio, 0xB5, kFloat, kTableCount},
    {kAudio, 0x6264, kUint, kTableCount},
    {kAudio, 0x78B5, kFloat, kTableCount},
    {kOperation, 0xE3, kMaster, kCombinePlanes},
    {kCombinePlanes, 0xE4, kMaster, kPlane},
    {kPlane, 0xE5, kUint, kTableCount},
    {kPlane, 0xE6, kUint, kTableCount},
    {kEncodings, 0x6240, kMaster, kEncoding},
    {kEncoding, 0x5031, kNone, kTableCount},
    {kEncoding, 0x5032, kUint, kTableCount},
    {kEncoding, 0x5033, kUint, kTableCount},
    {kEncoding, 0x5034, kMaster, kCompression},
    {kEncoding, 0x5035, kMaster, kEncryption},
    {kCompression, 0x4254, kUint, kTableCount},
    {kCompression, 0x4255, kBinary, kTableCount},
    {kEncryption, 0x47E1, kUint, kTableCount},
    {kEncryption, 0x47E2, kBinary, kTableCount},
    {kEncryption, 0x47E3, kNone, kTableCount},
    {kEncryption, 0x47E4, kNone, kTableCount},
    {kEncryption, 0x47E5, kNone, kTableCount},
    {kEncryption, 0x47E6, kNone, kTableCount},
    {kEncryption, 0x47E7, kNone, kTableCount},
    {kBlockMapping, 0x41A4, kString, kTableCount},
    {kBlockMapping, 0x41E7, kUint, kTableCount},
    {kBlockMapping, 0x41ED, kBinary, kTableCount},
    {kBlockMapping, 0x41F0, kUint, kTableCount},
    {kAttachments, 0x61A7, kMaster, kAttachedFile},
    {kAttachedFile, 0x465C, kBinary, kTableCount},
    {kAttachedFile, 0x4660, kString, kTableCount},
    {kAttachedFile, 0x466E, kString, kTableCount},
    {kAttachedFile, 0x467E, kString, kTableCount},
    {kAttachedFile, 0x46AE, kUint, kTableCount},
    {kChapters, 0x45B9, kMaster, kEdition},
    {kEdition, 0xB6, kMaster, kChapterAtom},
    {kEdition, 0x45BC, kNone, kTableCount},
    {kEdition, 0x45BD, kNone, kTableCount},
    {kEdition, 0x45DB, kNone, kTableCount},
    {kEdition, 0x45DD, kNone, kTableCount},
    {kChapterAtom, 0x80, kMaster, kChapterDisplay},
    {kChapterAtom, 0x91, kUint, kTableCount},
    {kChapterAtom, 0x92, kUint, kTableCount},
    {kChapterAtom, 0x98, kNone, kTableCount},
    {kChapterAtom, 0xB6, kNone, kTableCount},  // nested chapters are not read
    {kChapterAtom, 0x4598, kNone, kTableCount},
    {kChapterAtom, 0x63C3, kNone, kTableCount},
    {kChapterAtom, 0x73C4, kUint, kTableCount},
    {kChapterDisplay, 0x85, kString, kTableCount},
    {kChapterDisplay, 0x437C, kNone, kTableCount},
    {kChapterDisplay, 0x437E, kNone, kTableCount},
    {kCues, 0xBB, kMaster, kCuePoint},
    {kCuePoint, 0xB3, kUint, kTableCount},
    {kCuePoint, 0xB7, kMaster, kCuePosition},
    {kCuePosition, 0xB2, kNone, kTableCount},
    {kCuePosition, 0xF0, kNone, kTableCount},
    {kCuePosition, 0xF1, kUint, kTableCount},
    {kCuePosition, 0xF7, kUint, kTableCount},
    {kCuePosition, 0x5378, kNone, kTableCount},
    {kTags, 0x7373, kMaster, kTag},
    {kTag, 0x63C0, kMaster, kTargets},
    {kTag, 0x67C8, kMaster, kSimpleTag},
    {kTargets, 0x63C4, kUint, kTableCount},
    {kTargets, 0x63C5, kUint, kTableCount},
    {kTargets, 0x63C6, kUint, kTableCount},
    {kTargets, 0x63CA, kString, kTableCount},
    {kTargets, 0x68CA, kUint, kTableCount},
    {kSimpleTag, 0x447A, kString, kTableCount},
    {kSimpleTag, 0x4484, kUint, kTableCount},
    {kSimpleTag, 0x4487, kString, kTableCount},
    {kSimpleTag, 0x44B4, kUint, kTableCount},
    {kSimpleTag, 0x45A3, kString, kTableCount},
    {kSimpleTag, 0x67C8, kMaster, kSimpleTag},
    {kSeekHead, 0x4DBB, kMaster, kSeek},
    {kSeek, 0x53AB, kUint, kTableCount},
    {kSeek, 0x53AC, kUint, kTableCount},
};

// The entry of `id` at level `table`, or NULL when the level does not list it.
const Syntax *find_syntax(Table table, uint32_t id) {
    size_t low = 0, high = sizeof kSyntax / sizeof kSyntax[0];
    while (low < high) {
        const size_t middle = (low + high) / 2;
        const Syntax &entry = kSyntax[middle];
        if (entry.table < table || (entry.table == table && entry.id < id)) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low < sizeof kSyntax / sizeof kSyntax[0] && kSyntax[low].table == table &&
        kSyntax[low].id == id) {
        return &kSyntax[low];
    }
    return nullptr;
}

// The demuxer's bounds on an element's length, by type.
uint64_t most_length(Type type) {
    switch (type) {
        case kUint:
        case kSint:
        case kFloat:
            return 8;
        case kString:
            return 0x1000000;
        case kBinary:
            return 0x10000000;
        default:
            return 0;  // no bound
    }
}

constexpr uint64_t kUnknownLength = UINT64_MAX;
// Levels of nesting the demuxer allows, the segment's included.
constexpr int kMostLevels = 16;
// Top-level elements it keeps track of.
constexpr int kMostTopElements = 64;
// Keys longer than this are cut by the demuxer.
constexpr int64_t kMostKey = 1023;

// Costs, in work units (probe_forecast.h) and bytes, each measured or bounded
// from above, beyond the dictionary costs the header gives.
// A chapter or uid compared in a linear search: a pointer followed to a
// separately allocated record.
constexpr int64_t kChapterCompareWork = 3;
constexpr int64_t kUidCompareWork = 1;
// An index entry moved to make room for one out of order (24 bytes).
constexpr int64_t kIndexMoveWork = 2;
// An index entry added: a binary search of the index.
constexpr int64_t kIndexAddWork = 40;
// A parsed element in one of the demuxer's lists, with its defaults.
constexpr int64_t kElementBytes = 256;
// An index entry: the demuxer's, the description's and the cue's own.
constexpr int64_t kCueEntryBytes = 72;

// What a list of simple tags adds to a dictionary, converted with no prefix.
struct TagSum {
    int64_t entries;
    int64_t key_bytes;  // sum of each key's length plus one
    int64_t value_bytes;
    int64_t rebuilds;  // dictionary rebuilds done while converting it
    int64_t tags;      // simple tags in the list, named or not
};

void add_sum(TagSum *to, const TagSum &from) {
    to->entries = add_count(to->entries, from.entries);
    to->key_bytes = add_count(to->key_bytes, from.key_bytes);
    to->value_bytes = add_count(to->value_bytes, from.value_bytes);
    to->rebuilds = add_count(to->rebuilds, from.rebuilds);
    to->tags = add_count(to->tags, 1);
}

// What can be targeted by a tag.
enum class Target : uint8_t { global, track, chapter, attachment };

// One dictionary a tag converts into: the file's, or the one of each track,
// chapter or attachment of a uid (all alike, `count` of them).
struct Dictionary {
    uint64_t key;  // target and uid; 0 for a free slot
    int64_t count;
    int64_t entries;
    int64_t key_bytes;
    int64_t value_bytes;
    int64_t work;    // converting every tag into one of them so far
    int64_t memory;  // one of them, as it is now
};

// Dictionaries by target and uid. Past kMostDictionaries, the rest share one
// per target (which only makes the sums larger).
constexpr size_t kMostDictionaries = size_t{1} << 16;

// One open master: where it is and what is gathered from its children.
struct Level {
    bool open;     // still one of the demuxer's levels
    Table table;   // of its children
    int64_t data;  // its payload
    uint64_t length;
    int check;  // what its own parse returns once its children are done
    // The fields of the element, as its children set them.
    int64_t name_length;  // simple tag; -1 without
    int64_t value_length;
    int64_t language_length;  // -1 for "und" (the default)
    bool by_default;
    TagSum children;
    int64_t target_type_length;  // tag
    uint64_t track_uid, chapter_uid, attachment_uid;
    uint64_t uid;  // track, chapter, attached file
    uint64_t start_time;
    bool has_start;
    uint64_t seek_id, seek_position;
    uint64_t cue_time;
};

struct TopElement {
    uint32_t id;
    int64_t position;
    bool parsed;
};

struct SeekEntry {
    uint64_t id;
    uint64_t position;
};

// ebml_parse's results beyond 0 and errors, and a master opened.
constexpr int kLevelEnded = 2;
constexpr int kStopped = 1;
constexpr int kError = -1;
constexpr int kOpened = 3;
// Masters open in the walk at once: the demuxer's levels, and those it has
// closed but whose parse has still to return.
constexpr int kMostFrames = 2 * kMostLevels;

class MatroskaWalk {
  public:
    MatroskaWalk(ProbeBudget *budget, FileWindow *file) : budget_(budget), file_(file) {}
    ~MatroskaWalk() {
        av_free(dictionaries_);
        av_free(seeks_);
    }

    void run(int64_t start);
    // Hands what is still pending to the budget; false once it is stopped.
    bool flush();

  private:
    // Adds to what is foreseen. The sums go to the budget in steps (each a
    // check of the whole budget): when one would be a millisecond of work or
    // a mebibyte, every 1024 elements, and at the end.
    bool foresee(Forecast source, int64_t work, int64_t memory) {
        if (!alive_) return false;
        const int i = static_cast<int>(source);
        pending_work_[i] = add_count(pending_work_[i], work);
        pending_memory_[i] = add_count(pending_memory_[i], memory);
        if (pending_work_[i] < kWorkPerMs && pending_memory_[i] < (1 << 20)) return true;
        return flush();
    }

    // Reads an EBML number of at most `most` bytes at `at`: its value
    // (length marker removed) in *value and its length in *size. 0, or
    // kError for an invalid number; -2 when the file ends first.
    int read_number(int64_t at, int most, uint64_t *value, int *size);
    int read_id(int64_t at, uint32_t *id, int *size);
    int read_length(int64_t at, uint64_t *length, int *size);

    // One element at the position, in the context of the open levels, as
    // ebml_parse reads it: kStopped for a cluster, kLevelEnded when it ended
    // its parent, kError, or 0; for a master, its children are read before
    // it returns.
    int parse(Table table);
    int step(Table table);
    int ended(int check);
    Level *open_level_above();
    void open_level(Table child, int64_t data, uint64_t length, int check);
    void close_level();
    void leaf(Level *level, uint32_t id, Type type, int64_t data, uint64_t length);
    int read_uint(int64_t at, uint64_t length, uint64_t *value);

    TopElement *top_element(uint32_t id, int64_t position);
    void reset_levels(uint64_t segment_length, int more);
    void resync(int64_t last);
    void follow_seek_head();

    // The model.
    void close_simple_tag(const Level &tag);
    void close_tag(const Level &tag);
    void close_chapter(const Level &atom);
    void add_cue_position();
    void close_cue_point(const Level &point);
    void add_uid_element(Target target, uint64_t uid);
    Dictionary *dictionary(Target target, uint64_t uid);
    bool grow_dictionaries();

    ProbeBudget *budget_;
    FileWindow *file_;
    bool alive_ = true;
    int64_t position_ = 0;
    uint32_t current_id_ = 0;  // an ID read but not yet parsed
    int current_id_size_ = 0;
    Level levels_[kMostFrames] = {};
    int level_count_ = 0;
    int base_levels_ = 0;  // the demuxer's levels below the walk's: the segment's, a seek's
    int64_t segment_start_ = 0;
    TopElement tops_[kMostTopElements] = {};
    int top_count_ = 0;
    SeekEntry *seeks_ = nullptr;
    size_t seek_count_ = 0, seek_capacity_ = 0;
    int64_t elements_ = 0;  // parsed, for an occasional look at the budget
    int64_t pending_work_[static_cast<int>(Forecast::count)] = {};
    int64_t pending_memory_[static_cast<int>(Forecast::count)] = {};

    // Counts for the model.
    int64_t tracks_ = 0, chapters_ = 0, attachments_ = 0;
    int64_t tags_on_tracks_ = 0, tags_on_chapters_ = 0, tags_on_attachments_ = 0;
    int64_t created_chapters_ = 0;
    int64_t last_chapter_id_ = 0;
    uint64_t latest_start_ = 0;
    bool chapter_ids_rising_ = true;
    int64_t cue_positions_ = 0;
    uint64_t latest_cue_time_ = 0;
    bool cue_times_seen_ = false;
    Dictionary global_ = {};
    Dictionary *dictionaries_ = nullptr;
    size_t dictionary_capacity_ = 0, dictionary_count_ = 0;
    Dictionary shared_[4] = {};  // per target, past kMostDictionaries
};

int MatroskaWalk::read_number(int64_t at, int most, uint64_t *value, int *size) {
    const uint8_t *first = file_->get(at, 1);
    if (!first) return -2;
    if (*first == 0) return kError;
    int length = 1;
    while (!(*first & (0x80 >> (length - 1)))) ++length;
    if (length > most) return kError;
    const uint8_t *bytes = file_->get(at, length);
    if (!bytes) return -2;
    uint64_t number = bytes[0] & (0xFFu >> length);
    for (int i = 1; i < length; ++i) number = number << 8 | bytes[i];
    *value = number;
    *size = length;
    return 0;
}

int MatroskaWalk::read_id(int64_t at, uint32_t *id, int *size) {
    uint64_t value = 0;
    const int result = read_number(at, 4, &value, size);
    if (result == 0) *id = static_cast<uint32_t>(value | uint64_t{1} << (7 * *size));
    return result;
}

int MatroskaWalk::read_length(int64_t at, uint64_t *length, int *size) {
    uint64_t value = 0;
    const int result = read_number(at, 8, &value, size);
    if (result != 0) return result;
    *length = value + 1 == uint64_t{1} << (7 * *size) ? kUnknownLength : value;
    return 0;
}

int MatroskaWalk::read_uint(int64_t at, uint64_t length, uint64_t *value) {
    if (length == 0) return 0;
    const uint8_t *bytes = file_->get(at, static_cast<int>(length));
    if (!bytes) return kError;
    uint64_t number = 0;
    for (uint64_t i = 0; i < length; ++i) number = number << 8 | bytes[i];
    *value = number;
    return 0;
}

void MatroskaWalk::open_level(Table child, int64_t data, uint64_t length, int check) {
    Level &level = levels_[level_count_++];
    level = Level{};
    level.open = true;
    level.table = child;
    level.data = data;
    level.length = length;
    level.check = check;
    level.name_length = -1;
    level.language_length = -1;
    level.target_type_length = -1;
    level.seek_position = UINT64_MAX;
    foresee(Forecast::matroska_elements, 0, kElementBytes);
    if (child == kCuePosition) add_cue_position();
}

// A master's children are done (or the parse failed inside it): what the
// demuxer's list now holds of it goes into the model.
void MatroskaWalk::close_level() {
    const Level &level = levels_[--level_count_];
    Level *parent = level_count_ > 0 ? &levels_[level_count_ - 1] : nullptr;
    switch (level.table) {
        case kSimpleTag:
            close_simple_tag(level);
            break;
        case kTag:
            close_tag(level);
            break;
        case kChapterAtom:
            close_chapter(level);
            break;
        case kCuePoint:
            close_cue_point(level);
            break;
        case kTrack:
            add_uid_element(Target::track, level.uid);
            break;
        case kAttachedFile:
            add_uid_element(Target::attachment, level.uid);
            break;
        case kTargets:
            if (parent) {
                parent->track_uid = level.track_uid;
                parent->chapter_uid = level.chapter_uid;
                parent->attachment_uid = level.attachment_uid;
                parent->target_type_length = level.target_type_length;
            }
            break;
        case kSeek:
            if (seek_count_ == seek_capacity_) {
                const size_t capacity = seek_capacity_ ? 2 * seek_capacity_ : 16;
                void *grown = av_realloc_array(seeks_, capacity, sizeof(SeekEntry));
                if (!grown) {
                    foresee(Forecast::matroska_elements, 0, kMostCount);  // cannot keep count
                    break;
                }
                seeks_ = static_cast<SeekEntry *>(grown);
                seek_capacity_ = capacity;
            }
            seeks_[seek_count_++] = {level.seek_id, level.seek_position};
            break;
        default:
            break;
    }
}

void MatroskaWalk::leaf(Level *at, uint32_t id, Type type, int64_t data, uint64_t length) {
    Level &level = *at;
    const int64_t size = static_cast<int64_t>(length);
    if (type == kBinary) {
        // Read into a buffer, then copied as codec data and again by the
        // stream-info reading: three copies.
        foresee(Forecast::matroska_elements, size / 16, multiply_count(size, 3));
    } else if (type == kString) {
        foresee(Forecast::matroska_elements, 0, add_count(size, 32));
    }
    uint64_t value = 0;
    switch (level.table) {
        case kSimpleTag:
            if (id == kTagNameId) level.name_length = size;
            if (id == kTagStringId) level.value_length = size;
            if (id == kTagLanguageId) {
                const uint8_t *text = length > 0 && length <= 4 ? file_->get(data, size) : nullptr;
                const bool undetermined =
                    text && length >= 3 && memcmp(text, "und", 3) == 0 && (length == 3 || !text[3]);
                level.language_length = undetermined ? -1 : size;
            }
            if ((id == kTagDefaultId || id == kTagDefaultOtherId) &&
                read_uint(data, length, &value) == 0) {
                level.by_default = value != 0;
            }
            break;
        case kTargets:
            if (id == kTargetTypeId) level.target_type_length = size;
            if (read_uint(data, type == kUint ? length : 0, &value) == 0) {
                if (id == kTargetTrackId) level.track_uid = value;
                if (id == kTargetChapterId) level.chapter_uid = value;
                if (id == kTargetAttachmentId) level.attachment_uid = value;
            }
            break;
        case kTrack:
            if (id == kTrackUidId && read_uint(data, length, &value) == 0) level.uid = value;
            break;
        case kAttachedFile:
            if (id == kFileUidId && read_uint(data, length, &value) == 0) level.uid = value;
            break;
        case kChapterAtom:
            if (id == kChapterUidId && read_uint(data, length, &value) == 0) level.uid = value;
            if (id == kChapterStartId && read_uint(data, length, &value) == 0) {
                level.start_time = value;
                level.has_start = length > 0;
            }
            break;
        case kCuePoint:
            if (id == kCueTimeId && read_uint(data, length, &value) == 0) level.cue_time = value;
            break;
        case kSeek:
            if (id == kSeekIdId && read_uint(data, length, &value) == 0) level.seek_id = value;
            if (id == kSeekPositionId && read_uint(data, length, &value) == 0) {
                level.seek_position = value;
            }
            break;
        default:
            break;
    }
}

bool MatroskaWalk::flush() {
    for (int i = 0; i < static_cast<int>(Forecast::count) && alive_; ++i) {
        alive_ =
            probe_foresee(budget_, static_cast<Forecast>(i), pending_work_[i], pending_memory_[i]);
        pending_work_[i] = pending_memory_[i] = 0;
    }
    return alive_;
}

// The demuxer's open levels end where a closed element reaches their end.
int MatroskaWalk::ended(int check) {
    if (check == kLevelEnded) {
        for (int i = level_count_ - 1; i >= 0; --i) {
            Level &level = levels_[i];
            if (!level.open) continue;
            if (level.length == kUnknownLength ||
                static_cast<uint64_t>(position_) !=
                    static_cast<uint64_t>(level.data) + level.length) {
                break;
            }
            level.open = false;
        }
    }
    return check;
}

// The innermost level the demuxer still has open; NULL for none.
Level *MatroskaWalk::open_level_above() {
    for (int i = level_count_ - 1; i >= 0; --i) {
        if (levels_[i].open) return &levels_[i];
    }
    return nullptr;
}

// One call of ebml_parse at the current position for `table`: the element's
// result, or kOpened when it is a master whose children are to be read (its
// level is then the innermost).
int MatroskaWalk::step(Table table) {
    Level *level = open_level_above();
    int64_t start = position_;
    uint32_t id = current_id_;
    if (!id) {
        int size = 0;
        const int read = read_id(position_, &id, &size);
        if (read == -2 && alive_ && level && level->length == kUnknownLength &&
            file_->get_some(position_, 1, nullptr) == 0) {
            level->open = false;  // unknown-length levels end with the file
            return kLevelEnded;
        }
        if (read != 0) return kError;
        position_ += size;
        current_id_size_ = size;
    } else {
        start -= current_id_size_;
    }
    current_id_ = id;
    const Syntax *syntax = find_syntax(table, id);
    if (!syntax && level && level->length == kUnknownLength) {
        // An element of a level above ends this one.
        for (Table up = kParentTable[table]; up != kTableCount; up = kParentTable[up]) {
            if (find_syntax(up, id)) {
                level->open = false;
                return kLevelEnded;
            }
        }
    }
    const Type type = syntax ? syntax->type : kNone;
    if (type == kStop) return kStopped;
    current_id_ = 0;
    uint64_t length = 0;
    int size = 0;
    if (read_length(position_, &length, &size) != 0) return kError;
    position_ += size;
    const int64_t data = position_;
    int check = 0;
    if (level) {
        if (length != kUnknownLength && level->length != kUnknownLength) {
            const uint64_t end = static_cast<uint64_t>(data) + length;
            const uint64_t level_end = static_cast<uint64_t>(level->data) + level->length;
            if (end > level_end) return kError;
            check = end == level_end ? kLevelEnded : 0;
        } else if (length == kUnknownLength && level->length != kUnknownLength) {
            return kError;
        }
    }
    const uint64_t most = type == kNone ? kUnknownLength - 1 : most_length(type);
    if (most && length > most) return kError;
    if (length != kUnknownLength && length > uint64_t{INT64_MAX} - static_cast<uint64_t>(data)) {
        return kError;
    }
    if (type == kMaster) {
        int open = 0;
        for (int i = 0; i < level_count_; ++i) open += levels_[i].open ? 1 : 0;
        if (open + base_levels_ >= kMostLevels || level_count_ >= kMostFrames) return kError;
        if (table == kSegment) {
            TopElement *top = top_element(id, start);
            if (top) {
                if (!top->position) top->position = start;
                top->parsed = true;
            }
        }
        open_level(syntax->child, data, length, check);
        if (length == 0) {
            levels_[level_count_ - 1].open = false;
            close_level();
            return ended(check);
        }
        return kOpened;
    }
    if (length == kUnknownLength) return kError;
    if (type == kFloat && length != 0 && length != 4 && length != 8) return kError;
    // A value or a skipped element: the demuxer reads it whole, and fails when
    // the file ends before its end.
    const int64_t end = data + static_cast<int64_t>(length);
    if (length > 0 && file_->get_some(end - 1, 1, nullptr) == 0) return kError;
    if (syntax && level_count_ > 0) leaf(&levels_[level_count_ - 1], id, type, data, length);
    position_ = end;
    return ended(check);
}

// ebml_parse at the current position for `table`, with the children of the
// masters it opens read by their nests (ebml_parse_nest: until a child's
// parse does not return 0). Returns the element's result.
int MatroskaWalk::parse(Table table) {
    const int base = level_count_;
    int result = step(table);
    for (;;) {
        if (result == kOpened) {
            result = step(levels_[level_count_ - 1].table);
            continue;
        }
        if (level_count_ == base) return result;
        if (!alive_) result = kError;
        if ((++elements_ & 1023) == 0 && !flush()) result = kError;
        if (result == 0) {
            result = step(levels_[level_count_ - 1].table);
            continue;
        }
        // The nest ends; the master's parse goes on with its own check, or
        // returns the failure or the stop.
        const int check = levels_[level_count_ - 1].check;
        close_level();
        result = result == kLevelEnded ? ended(check) : result;
    }
}

// The demuxer's levels as a top-level element is parsed: the segment's (its
// length as given), and `more` below it.
void MatroskaWalk::reset_levels(uint64_t segment_length, int more) {
    levels_[0] = Level{};
    levels_[0].open = true;
    levels_[0].table = kSegment;
    levels_[0].data = segment_start_;
    levels_[0].length = segment_length;
    level_count_ = 1;
    base_levels_ = more;
}

TopElement *MatroskaWalk::top_element(uint32_t id, int64_t position) {
    int bits = 0;
    for (uint32_t v = id; v > 1; v >>= 1) ++bits;
    if (!id || (bits + 7) / 8 != 8 - bits % 8) return nullptr;
    if (id == kClusterId) return nullptr;
    for (int i = 0; i < top_count_; ++i) {
        if (tops_[i].id == id &&
            (tops_[i].position == position || (id != kSeekHeadId && id != kTagsId))) {
            return &tops_[i];
        }
    }
    if (top_count_ >= kMostTopElements) return nullptr;
    tops_[top_count_] = {id, 0, false};
    return &tops_[top_count_++];
}

void MatroskaWalk::run(int64_t start) {
    // The EBML header; one of unknown length ends at the segment's ID.
    uint32_t id = 0;
    uint64_t length = 0;
    int id_size = 0, length_size = 0;
    if (read_id(start, &id, &id_size) != 0 || id != kEbmlHeaderId ||
        read_length(start + id_size, &length, &length_size) != 0) {
        return;
    }
    int64_t at = start + id_size + length_size;
    if (length != kUnknownLength) {
        at += static_cast<int64_t>(length);
    } else {
        for (;;) {
            if (read_id(at, &id, &id_size) != 0) return;
            if (id == kSegmentId) break;
            if (read_length(at + id_size, &length, &length_size) != 0 || length == kUnknownLength) {
                return;
            }
            at += id_size + length_size + static_cast<int64_t>(length);
            if ((++elements_ & 1023) == 0 && !flush()) return;
        }
    }
    // The segment's top-level elements up to the first cluster. Anything but
    // a segment here is skipped, and the demuxer then searches.
    if (read_id(at, &id, &id_size) != 0) return;
    if (id == kSegmentId && read_length(at + id_size, &length, &length_size) == 0) {
        segment_start_ = at + id_size + length_size;
        reset_levels(length, 0);
        position_ = segment_start_;
        int result = 0;
        while (alive_ && (result = parse(kSegment)) == 0) {
        }
        if (!alive_) return;
        if (result == kStopped) {
            follow_seek_head();
            return;
        }
    }
    resync(at);
    if (alive_) follow_seek_head();
}

// After a failure: the demuxer searches from just after `last` for the ID of a
// top-level element and parses it, then searches again from just after its ID,
// until it finds a cluster's ID or the file ends (and then fails).
void MatroskaWalk::resync(int64_t last) {
    int64_t from = last + 1;
    for (;;) {
        uint32_t id = 0;
        int64_t found = -1;
        const uint8_t *bytes = nullptr;
        for (int64_t at = from; alive_ && found < 0;) {
            const int count = file_->get_some(at, FileWindow::kMostAsked, &bytes);
            if (count < 4) return;
            for (int i = 0; i + 4 <= count; ++i) {
                const uint32_t word = uint32_t{bytes[i]} << 24 | uint32_t{bytes[i + 1]} << 16 |
                                      uint32_t{bytes[i + 2]} << 8 | bytes[i + 3];
                if (word == kInfoId || word == kTracksId || word == kCuesId || word == kTagsId ||
                    word == kSeekHeadId || word == kAttachmentsId || word == kClusterId ||
                    word == kChaptersId) {
                    found = at + i;
                    id = word;
                    break;
                }
            }
            if (found < 0) at += count - 3;
        }
        if (!alive_ || found < 0 || id == kClusterId) return;
        // The segment now counts as of unknown length.
        reset_levels(kUnknownLength, 0);
        current_id_ = id;
        current_id_size_ = 4;
        position_ = found + 4;
        parse(kSegment);
        current_id_ = 0;
        from = found + 5;
    }
}

// matroska_execute_seekhead: each entry's element, once, unless parsed.
void MatroskaWalk::follow_seek_head() {
    for (size_t i = 0; alive_ && i < seek_count_; ++i) {
        const SeekEntry entry = seeks_[i];
        const uint32_t id = static_cast<uint32_t>(entry.id);
        const uint64_t at = entry.position + static_cast<uint64_t>(segment_start_);
        if (id != entry.id || static_cast<int64_t>(at) < segment_start_) continue;
        TopElement *top = top_element(id, static_cast<int64_t>(at));
        if (!top || top->parsed) continue;
        top->position = static_cast<int64_t>(at);
        if (id == kCuesId) continue;      // read later, when seeking
        reset_levels(kUnknownLength, 1);  // below a level of unknown length
        current_id_ = 0;
        position_ = static_cast<int64_t>(at);
        const int result = parse(kSegment);
        if (result < 0 || result == kLevelEnded) break;
        top->parsed = true;
    }
}

// The model: what converting the simple tags costs.
void MatroskaWalk::close_simple_tag(const Level &tag) {
    Level *parent = level_count_ > 0 ? &levels_[level_count_ - 1] : nullptr;
    if (!parent) return;
    TagSum sum = {};
    if (tag.name_length >= 0) {
        const bool language = tag.language_length >= 0;
        const TagSum &children = tag.children;
        int64_t keys[2] = {-1, -1};
        if (tag.by_default || !language) keys[0] = tag.name_length;
        if (language) keys[1] = add_count(add_count(tag.name_length, 1), tag.language_length);
        for (int64_t key : keys) {
            if (key < 0) continue;
            const int64_t length = key < kMostKey ? key : kMostKey;
            sum.entries = add_count(sum.entries, add_count(1, children.entries));
            // Each child's key is prefixed by this one and a '/', up to the cut.
            int64_t child_keys =
                add_count(children.key_bytes, multiply_count(children.entries, length + 1));
            const int64_t most_child_keys = multiply_count(children.entries, kMostKey + 1);
            if (child_keys > most_child_keys) child_keys = most_child_keys;
            sum.key_bytes = add_count(sum.key_bytes, add_count(length + 1, child_keys));
            sum.value_bytes =
                add_count(sum.value_bytes, add_count(tag.value_length, children.value_bytes));
            if (children.tags > 0) {
                sum.rebuilds = add_count(sum.rebuilds, add_count(1, children.rebuilds));
            }
        }
    }
    add_sum(&parent->children, sum);
}

Dictionary *MatroskaWalk::dictionary(Target target, uint64_t uid) {
    if (target == Target::global) return &global_;
    const uint64_t key = (uint64_t{static_cast<uint8_t>(target)} << 62) ^ uid ^ 1;
    if (key != 0 && (dictionary_capacity_ > 0 || grow_dictionaries())) {
        for (int pass = 0; pass < 2; ++pass) {
            size_t slot = (key * UINT64_C(0x9E3779B97F4A7C15)) >> 20;
            for (size_t probe = 0; probe < dictionary_capacity_; ++probe) {
                Dictionary &d = dictionaries_[(slot + probe) & (dictionary_capacity_ - 1)];
                if (d.key == key) return &d;
                if (d.key == 0) {
                    if (2 * (dictionary_count_ + 1) > dictionary_capacity_) break;
                    d = Dictionary{};
                    d.key = key;
                    ++dictionary_count_;
                    return &d;
                }
            }
            if (pass == 0 && !grow_dictionaries()) break;
        }
    }
    return &shared_[static_cast<int>(target)];
}

bool MatroskaWalk::grow_dictionaries() {
    const size_t capacity = dictionary_capacity_ ? 2 * dictionary_capacity_ : 64;
    if (capacity > 2 * kMostDictionaries) return false;
    auto *grown = static_cast<Dictionary *>(av_calloc(capacity, sizeof(Dictionary)));
    if (!grown) return false;
    for (size_t i = 0; i < dictionary_capacity_; ++i) {
        const Dictionary &d = dictionaries_[i];
        if (d.key == 0) continue;
        size_t slot = (d.key * UINT64_C(0x9E3779B97F4A7C15)) >> 20;
        while (grown[slot & (capacity - 1)].key != 0) ++slot;
        grown[slot & (capacity - 1)] = d;
    }
    av_free(dictionaries_);
    dictionaries_ = grown;
    foresee(Forecast::matroska_elements, 0,
            static_cast<int64_t>((capacity - dictionary_capacity_) * sizeof(Dictionary)));
    dictionary_capacity_ = capacity;
    return true;
}

// A track, chapter or attachment of `uid`: each tag that targets it converts
// into its dictionary too, and every tag that targets one of its kind
// searches a list now longer by one.
void MatroskaWalk::add_uid_element(Target target, uint64_t uid) {
    Dictionary *d = dictionary(target, uid);
    d->count = add_count(d->count, 1);
    int64_t searches = 0;
    Forecast source = Forecast::matroska_tags;
    switch (target) {
        case Target::track:
            tracks_ = add_count(tracks_, 1);
            searches = add_count(tags_on_tracks_, cue_positions_);
            break;
        case Target::chapter:
            chapters_ = add_count(chapters_, 1);
            searches = tags_on_chapters_;
            break;
        case Target::attachment:
            attachments_ = add_count(attachments_, 1);
            searches = tags_on_attachments_;
            break;
        case Target::global:
            break;
    }
    foresee(source, add_count(d->work, multiply_count(searches, kUidCompareWork)), d->memory);
}

void MatroskaWalk::close_tag(const Level &tag) {
    TagSum sum = tag.children;
    Target target = Target::global;
    uint64_t uid = 0;
    int64_t searched = 0;
    if (tag.attachment_uid) {
        target = Target::attachment;
        uid = tag.attachment_uid;
        searched = attachments_;
        tags_on_attachments_ = add_count(tags_on_attachments_, 1);
    } else if (tag.chapter_uid) {
        target = Target::chapter;
        uid = tag.chapter_uid;
        searched = chapters_;
        tags_on_chapters_ = add_count(tags_on_chapters_, 1);
    } else if (tag.track_uid) {
        target = Target::track;
        uid = tag.track_uid;
        searched = tracks_;
        tags_on_tracks_ = add_count(tags_on_tracks_, 1);
    } else if (tag.target_type_length >= 0) {
        // The file's tags are prefixed by their target type and a '/'.
        sum.key_bytes =
            add_count(sum.key_bytes, multiply_count(sum.entries, tag.target_type_length + 1));
    }
    Dictionary *d = dictionary(target, uid);
    // Each entry is looked for among those there are, one character of its
    // key compared at most per character of its key.
    const int64_t inserted = add_count(d->entries, sum.entries);
    int64_t work = multiply_count(inserted, add_count(sum.key_bytes, sum.entries));
    d->entries = inserted;
    d->key_bytes = add_count(d->key_bytes, sum.key_bytes);
    d->value_bytes = add_count(d->value_bytes, sum.value_bytes);
    // Then the whole dictionary is rebuilt, once for the tag and once for
    // each simple tag with children.
    const int64_t rebuild =
        add_count(add_count(multiply_count(d->entries, add_count(d->key_bytes, d->entries)),
                            multiply_count(d->entries, kRebuildEntryWork)),
                  add_count(d->key_bytes, d->value_bytes));
    work = add_count(work, multiply_count(add_count(1, sum.rebuilds), rebuild));
    d->work = add_count(d->work, work);
    const int64_t memory = add_count(multiply_count(d->entries, kEntryBytes),
                                     multiply_count(add_count(d->key_bytes, d->value_bytes), 3));
    const int64_t grown = memory - d->memory;
    d->memory = memory;
    const int64_t copies = target == Target::global ? 1 : d->count;
    foresee(Forecast::matroska_tags,
            add_count(multiply_count(copies, work), multiply_count(searched, kUidCompareWork)),
            multiply_count(copies, grown));
}

// avpriv_new_chapter: a chapter whose id is not above the last one's makes
// every later chapter search all the chapters before it.
void MatroskaWalk::close_chapter(const Level &atom) {
    add_uid_element(Target::chapter, atom.uid);
    foresee(Forecast::matroska_chapters, 0, kChapterBytes);
    if (!atom.has_start || atom.uid == 0 ||
        (latest_start_ != 0 && atom.start_time <= latest_start_)) {
        return;
    }
    const auto id = static_cast<int64_t>(atom.uid);
    int64_t work = 0;
    if (created_chapters_ > 0 && (!chapter_ids_rising_ || last_chapter_id_ >= id)) {
        chapter_ids_rising_ = false;
        work = multiply_count(created_chapters_, kChapterCompareWork);
    }
    created_chapters_ = add_count(created_chapters_, 1);
    last_chapter_id_ = id;
    latest_start_ = atom.start_time;
    foresee(Forecast::matroska_chapters, work, 0);
}

// Each cue position finds its track by a search of the tracks.
void MatroskaWalk::add_cue_position() {
    cue_positions_ = add_count(cue_positions_, 1);
    foresee(Forecast::matroska_cues,
            add_count(multiply_count(tracks_, kUidCompareWork), kIndexAddWork), kCueEntryBytes);
}

// A cue earlier than one before it is inserted into the index before entries
// that must move.
void MatroskaWalk::close_cue_point(const Level &point) {
    if (cue_times_seen_ && point.cue_time < latest_cue_time_) {
        foresee(Forecast::matroska_cues, multiply_count(cue_positions_, kIndexMoveWork), 0);
    }
    if (!cue_times_seen_ || point.cue_time > latest_cue_time_) latest_cue_time_ = point.cue_time;
    cue_times_seen_ = true;
}

}  // namespace

void forecast_matroska(ProbeBudget *budget, FileWindow *file, int64_t start) {
    MatroskaWalk walk(budget, file);
    walk.run(start);
    walk.flush();
}
