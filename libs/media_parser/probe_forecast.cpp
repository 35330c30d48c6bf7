// Reading the probed file for a walk, and the ID3v2 walk (probe_forecast.h).
#include "probe_forecast.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/mem.h>
}

FileWindow::FileWindow(ProbeBudget *budget, int fd, const uint8_t *first, int length)
    : budget_(budget),
      fd_(fd),
      bytes_(first),
      own_(nullptr),
      start_(0),
      length_(first ? length : 0),
      ends_(false) {}

FileWindow::~FileWindow() {
    av_free(own_);
}

bool FileWindow::fill(int64_t at) {
    if (!own_) own_ = static_cast<uint8_t *>(av_malloc(kWindowBytes));
    bytes_ = own_;
    start_ = at;
    length_ = 0;
    if (!own_ || at < 0) return false;
    while (length_ < kWindowBytes) {
        const ssize_t count =
            pread(fd_, own_ + length_, static_cast<size_t>(kWindowBytes - length_),
                  static_cast<off_t>(at + length_));
        if (count > 0) {
            length_ += static_cast<int>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        break;
    }
    ends_ = length_ < kWindowBytes;
    return probe_read_for_forecast(budget_, length_);
}

int FileWindow::get_some(int64_t at, int count, const uint8_t **bytes) {
    if (count > kMostAsked) count = kMostAsked;
    const bool inside = at >= start_ && at <= start_ + length_;
    if (!(inside && (at - start_ + count <= length_ || ends_)) && !fill(at)) return 0;
    const int64_t offset = at - start_;
    if (offset < 0 || offset >= length_) return 0;
    const int available = static_cast<int>(length_ - offset < count ? length_ - offset : count);
    if (bytes) *bytes = bytes_ + offset;
    return available;
}

const uint8_t *FileWindow::get(int64_t at, int count) {
    const uint8_t *bytes = nullptr;
    return count <= kMostAsked && get_some(at, count, &bytes) == count ? bytes : nullptr;
}

namespace {

// Costs of the ID3v2 model beyond the dictionary costs (probe_forecast.h).
// The frame's own record in the demuxer's list of extra data.
constexpr int64_t kFrameBytes = 128;
// A byte inflated from a compressed frame.
constexpr int64_t kInflateWork = 4;

// A dictionary as the frames fill it.
struct Dictionary {
    int64_t entries;
    int64_t key_bytes;  // each key's length plus one
    int64_t value_bytes;
};

// An entry of `key` and `value` bytes added: searched for among the entries
// there are, one character compared at most per character of its key.
int64_t insert(Dictionary *d, int64_t key, int64_t value) {
    const int64_t work = multiply_count(d->entries, add_count(key, 1));
    d->entries = add_count(d->entries, 1);
    d->key_bytes = add_count(d->key_bytes, add_count(key, 1));
    d->value_bytes = add_count(d->value_bytes, value);
    return work;
}

// ff_metadata_conv: every entry copied into a new dictionary.
int64_t rebuild(const Dictionary &d) {
    return add_count(add_count(multiply_count(d.entries, add_count(d.key_bytes, d.entries)),
                               multiply_count(d.entries, kRebuildEntryWork)),
                     add_count(d.key_bytes, d.value_bytes));
}

int64_t memory(const Dictionary &d) {
    return add_count(multiply_count(d.entries, kEntryBytes),
                     multiply_count(add_count(d.key_bytes, d.value_bytes), 3));
}

uint32_t be32(const uint8_t *b) {
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

uint32_t syncsafe(uint32_t size) {
    return (size & 0x7f) | (size & 0x7f00) >> 1 | (size & 0x7f0000) >> 2 | (size & 0x7f000000) >> 3;
}

// The demuxer's check of a frame ID: four bytes of capitals and digits, or
// none at all.
bool looks_like_frame(FileWindow *file, int64_t at) {
    const uint8_t *id = file->get(at, 4);
    if (!id) return false;
    if (be32(id) == 0) return true;
    for (int i = 0; i < 4; ++i) {
        if (!((id[i] >= 'A' && id[i] <= 'Z') || (id[i] >= '0' && id[i] <= '9'))) return false;
    }
    return true;
}

class Id3Walk {
  public:
    Id3Walk(ProbeBudget *budget, FileWindow *file) : budget_(budget), file_(file) {}

    int64_t run(int64_t start);

  private:
    bool foresee(int64_t work, int64_t memory) {
        if (alive_) alive_ = probe_foresee(budget_, Forecast::id3v2_frames, work, memory);
        return alive_;
    }
    void parse_tag(int64_t at, int64_t length, int version, int flags);
    void frame(const uint8_t *id, int id_length, int64_t at, int64_t size, uint32_t flags,
               bool unsynchronised);
    void chapter(int64_t at, int64_t size);
    void add_entry(Dictionary *d, int64_t key, int64_t value) {
        const int64_t before = memory(*d);
        const int64_t work = insert(d, key, value);
        foresee(work, memory(*d) - before);
    }

    ProbeBudget *budget_;
    FileWindow *file_;
    bool alive_ = true;
    Dictionary tags_ = {};
    Dictionary privates_ = {};  // PRIV frames, added to the file's tags later
    int64_t chapters_ = 0;
};

// id3v2_read_internal: tags one after the other, then three conversions of
// the dictionary and the private frames added to it.
int64_t Id3Walk::run(int64_t start) {
    int64_t at = start;
    bool any = false;
    while (alive_) {
        const uint8_t *h = file_->get(at, 10);
        if (!h || h[0] != 'I' || h[1] != 'D' || h[2] != '3' || h[3] == 0xff || h[4] == 0xff ||
            ((h[6] | h[7] | h[8] | h[9]) & 0x80)) {
            break;
        }
        const int version = h[3], flags = h[5];
        const int64_t length = int64_t{h[6]} << 21 | int64_t{h[7]} << 14 | h[8] << 7 | h[9];
        parse_tag(at + 10, length, version, flags);
        at += 10 + length;
        if (version == 4 && (flags & 0x10)) at += 10;
        any = true;
    }
    if (!any || !alive_) return at;
    // The dictionary is converted three times, and the private frames are
    // added to it afterwards, one by one.
    int64_t work = multiply_count(3, rebuild(tags_));
    work = add_count(work, multiply_count(add_count(tags_.entries, privates_.entries),
                                          add_count(privates_.key_bytes, privates_.entries)));
    foresee(work, 0);
    return at;
}

void Id3Walk::parse_tag(int64_t at, int64_t length, int version, int flags) {
    if (version < 2 || version > 4) return;
    const bool v34 = version != 2;
    if (!v34 && (flags & 0x40)) return;  // compression, not read
    const int header = v34 ? 10 : 6;
    if (v34 && (flags & 0x40)) {
        const uint8_t *e = file_->get(at, 4);
        if (!e) return;
        int64_t extended =
            int64_t{e[0] & 0x7f} << 21 | (e[1] & 0x7f) << 14 | (e[2] & 0x7f) << 7 | (e[3] & 0x7f);
        if (version == 4) extended -= 4;
        if (extended < 0) return;
        at += 4 + extended;
        length -= extended + 4;
        if (length < 0) return;
    }
    int64_t frames = 0;
    while (alive_ && length >= header) {
        const uint8_t *h = file_->get(at, header);
        if (!h) return;
        uint8_t id[4];
        memcpy(id, h, v34 ? 4 : 3);
        uint32_t size = 0, frame_flags = 0;
        if (v34) {
            size = be32(h + 4);
            if (version == 4 && size > 0x7f) {
                if (size < length) {
                    // Sizes meant as plain numbers, as some writers give them,
                    // are told from syncsafe ones by the frame that follows.
                    const int64_t after = at + 8 + 2;
                    if (looks_like_frame(file_, after + syncsafe(size))) {
                        size = syncsafe(size);
                    } else if (!looks_like_frame(file_, after + size)) {
                        return;
                    }
                } else {
                    size = syncsafe(size);
                }
            }
            frame_flags = uint32_t{h[8]} << 8 | h[9];
        } else {
            size = uint32_t{h[3]} << 16 | uint32_t{h[4]} << 8 | h[5];
        }
        if (size > (1u << 28)) return;
        length -= header + size;
        if (length < 0) return;
        const int64_t payload = at + header;
        at = payload + size;
        if ((++frames & 255) == 0 && !foresee(0, 0)) return;
        if (size == 0) continue;
        if (!id[0]) return;  // padding
        frame(id, v34 ? 4 : 3, payload, size, frame_flags, (flags & 0x80) || (frame_flags & 2));
    }
}

// One frame of `size` bytes at `at`: what the demuxer keeps of it.
void Id3Walk::frame(const uint8_t *id, int id_length, int64_t at, int64_t size, uint32_t flags,
                    bool unsynchronised) {
    int64_t data = size;
    int64_t work = 0, memory_used = 0;
    if (flags & 1) {  // a data length indicator
        if (size < 4) return;
        const uint8_t *d = file_->get(at, 4);
        if (!d) return;
        data = be32(d);
        at += 4;
        size -= 4;
    }
    if (flags & 4) return;  // encrypted: skipped
    const bool text = id[0] == 'T';
    const bool lyrics = id_length == 4 && memcmp(id, "USLT", 4) == 0;
    const bool comment = memcmp(id, id_length == 4 ? "COMM" : "COM", id_length) == 0;
    const bool picture = memcmp(id, id_length == 4 ? "APIC" : "PIC", id_length) == 0;
    const bool object = memcmp(id, id_length == 4 ? "GEOB" : "GEO", id_length) == 0;
    // The demuxer compares version 2.2's three-character IDs with the first
    // three of these.
    const bool chapter = memcmp(id, "CHAP", id_length) == 0;
    const bool private_data = memcmp(id, "PRIV", id_length) == 0;
    if (!text && !lyrics && !comment && !picture && !object && !chapter && !private_data) return;
    if (unsynchronised || (flags & 8)) memory_used = size;  // a copy to undo it
    int64_t content = size;
    if (flags & 8) {
        // Compressed: inflated into a buffer of the declared length, at most
        // 32768 times the compressed one.
        if (size <= 0 || data / 32768 > size) return;
        work = add_count(work, multiply_count(data, kInflateWork));
        memory_used = add_count(memory_used, data);
        content = data;
    }
    // Texts are decoded to UTF-8: at most half as long again as UTF-16.
    const int64_t value = add_count(content, content / 2);
    if (text) {
        const bool user = memcmp(id, id_length == 4 ? "TXXX" : "TXX", id_length) == 0;
        add_entry(&tags_, user ? value : id_length, value);
    } else if (lyrics || comment) {
        add_entry(&tags_, add_count(value, 16), value);
    } else if (private_data) {
        add_entry(&privates_, add_count(content, 16), multiply_count(content, 4));
    } else if (chapter && !(flags & 8) && !unsynchronised) {
        this->chapter(at, size);
    } else if (chapter) {
        // Its frames are read from the inflated or resynchronised bytes, which
        // are not walked: as many as fit, ten bytes of header and one of text
        // each, into the chapter's dictionary.
        Dictionary d = {};
        d.entries = content / 11;
        d.key_bytes = multiply_count(d.entries, 5);
        d.value_bytes = value;
        work = add_count(
            work, add_count(multiply_count(d.entries, d.key_bytes), multiply_count(3, rebuild(d))));
        memory_used =
            add_count(memory_used, add_count(multiply_count(memory(d), 2), kChapterBytes));
    } else {
        memory_used = add_count(memory_used, multiply_count(content, 2));  // data, then a packet
    }
    foresee(work, add_count(memory_used, kFrameBytes));
}

// read_chapter: an element ID, four times, then text frames into a dictionary
// of the chapter's own, converted twice and copied once more.
void Id3Walk::chapter(int64_t at, int64_t size) {
    int64_t skip = 0;
    for (const uint8_t *b = nullptr; skip < size; ++skip) {
        if (!(b = file_->get(at + skip, 1))) return;
        if (*b == 0) break;
    }
    int64_t length = size - skip - 1 - 16;
    int64_t inner = at + skip + 1 + 16;
    Dictionary d = {};
    int64_t work = 0;
    while (alive_ && length > 10) {
        const uint8_t *h = file_->get(inner, 10);
        if (!h) break;
        const int64_t frame = static_cast<int32_t>(be32(h + 4));
        length -= 10;
        if (frame < 0 || frame > length) break;
        if (h[0] == 'T') {
            const int64_t value = add_count(frame, frame / 2);
            work = add_count(work, insert(&d, memcmp(h, "TXXX", 4) == 0 ? value : 4, value));
        }
        inner += 10 + frame;
        length -= frame;
    }
    work = add_count(work, multiply_count(3, rebuild(d)));
    chapters_ = add_count(chapters_, 1);
    foresee(work, add_count(multiply_count(memory(d), 2), kChapterBytes));
}

// What a list of Vorbis comments costs, added up as it is walked.
struct CommentCost {
    int64_t work;
    int64_t memory;
};

// Chapters named in comments, for the whole file.
struct CommentChapters {
    int64_t count;
    int64_t last_id;
    bool rising;
};

// Vorbis comments, as ff_vorbis_comment takes them into a stream's (or the
// file's) dictionary: each name is looked for among the entries there are
// (the comments before it bound them), twice; a name already there gets ";"
// and the new value appended, which copies the value it has; a name
// "CHAPTERnnn" makes a chapter or names one, searched for among the others;
// the whole dictionary is rebuilt at the end.
class CommentModel {
  public:
    explicit CommentModel(CommentChapters *chapters) : chapters_(chapters) {
        memset(values_, 0, sizeof values_);
    }

    // One comment: its name's length, a hash of it in capitals, its first
    // bytes (up to kHead) and its value's length.
    void add(int64_t name_length, uint32_t hash, const uint8_t *head, int head_length,
             int64_t value_length, CommentCost *cost) {
        int64_t work = multiply_count(multiply_count(d_.entries, add_count(name_length, 1)), 2);
        int64_t &value = values_[hash % kBuckets];
        if (value > 0) work = add_count(work, multiply_count(value, 2));  // appended to
        value = add_count(value, add_count(value_length, 1));
        work = add_count(work, chapter(name_length, head, head_length));
        const int64_t before = memory(d_);
        insert(&d_, name_length, value_length);
        cost->work = add_count(cost->work, work);
        cost->memory = add_count(cost->memory, add_count(memory(d_) - before, value_length));
    }

    void finish(CommentCost *cost) { cost->work = add_count(cost->work, rebuild(d_)); }

    static constexpr int kHead = 16;

  private:
    // ogm_chapter: "CHAPTERnnn" (a new chapter, unless its id is there) and
    // "CHAPTERnnnNAME" (a search for it).
    int64_t chapter(int64_t name_length, const uint8_t *head, int head_length) {
        if (name_length < 9 || head_length < 8) return 0;
        for (int i = 0; i < 7; ++i) {
            if ((head[i] & 0xDF) != "CHAPTER"[i]) return 0;
        }
        int id = 0, digits = 0;
        for (int i = 7; i < head_length && i < 10 && head[i] >= '0' && head[i] <= '9'; ++i) {
            id = id * 10 + (head[i] - '0');
            ++digits;
        }
        if (digits == 0) return 0;  // a sign or spaces: counted as searched
        const int64_t search =
            multiply_count(chapters_->count < kMostChapterIds ? chapters_->count : kMostChapterIds,
                           kChapterCompareWork);
        if (name_length > 10) return search;
        int64_t work = 0;
        if (chapters_->count > 0 && (!chapters_->rising || chapters_->last_id >= id)) {
            chapters_->rising = false;
            work = search;
        }
        if (chapters_->count == 0) chapters_->rising = true;
        chapters_->count = add_count(chapters_->count, 1);
        chapters_->last_id = id;
        return work;
    }

    static constexpr int kBuckets = 1024;
    // ids are three digits with a sign: no more chapters than that exist.
    static constexpr int64_t kMostChapterIds = 1100;
    static constexpr int64_t kChapterCompareWork = 3;
    CommentChapters *chapters_;
    int64_t values_[kBuckets];
    Dictionary d_ = {};
};

// Reads a list of Vorbis comments as its bytes come, in any pieces: the
// vendor's length and text, the count, then each comment's length and text
// (its name up to '=').
class CommentReader {
  public:
    explicit CommentReader(CommentChapters *chapters) : model_(chapters) {}

    void feed(const uint8_t *bytes, int64_t size) {
        int64_t i = 0;
        while (i < size && state_ != kDone) {
            if (state_ == kVendorLength || state_ == kCount || state_ == kLength) {
                number_ |= uint32_t{bytes[i++]} << (8 * got_);
                if (++got_ < 4) continue;
                got_ = 0;
                const uint32_t number = number_;
                number_ = 0;
                if (state_ == kVendorLength) {
                    left_ = number;
                    state_ = kVendor;
                } else if (state_ == kCount) {
                    comments_ = number;
                    state_ = comments_ ? kLength : kDone;
                } else {
                    left_ = total_ = number;
                    name_ = 0;
                    hash_ = 2166136261u;
                    head_length_ = 0;
                    in_name_ = true;
                    state_ = kComment;
                }
                if (left_ == 0) next();
                continue;
            }
            const int64_t take = size - i < left_ ? size - i : left_;
            for (int64_t j = 0; state_ == kComment && in_name_ && j < take; ++j) {
                const uint8_t c = bytes[i + j];
                if (c == '=') {
                    in_name_ = false;
                } else {
                    ++name_;
                    hash_ = (hash_ ^ (c >= 'a' && c <= 'z' ? c - 32u : c)) * 16777619u;
                    if (head_length_ < CommentModel::kHead) head_[head_length_++] = c;
                }
            }
            i += take;
            left_ -= take;
            if (left_ == 0) next();
        }
    }

    // The list ends (its packet or block does): its cost.
    CommentCost finish() {
        model_.finish(&cost_);
        return cost_;
    }

  private:
    // The vendor's text or a comment is done. A comment without '=', or with
    // an empty name or value, is skipped.
    void next() {
        if (state_ == kVendor) {
            state_ = kCount;
            return;
        }
        if (state_ != kComment) return;
        const int64_t value = total_ - name_ - 1;
        if (!in_name_ && name_ > 0 && value > 0) {
            model_.add(name_, hash_, head_, head_length_, value, &cost_);
        }
        state_ = --comments_ > 0 ? kLength : kDone;
    }

    enum State { kVendorLength, kVendor, kCount, kLength, kComment, kDone };
    State state_ = kVendorLength;
    uint32_t number_ = 0;
    int got_ = 0;
    int64_t left_ = 0;
    int64_t total_ = 0;
    uint32_t comments_ = 0;
    int64_t name_ = 0;
    uint32_t hash_ = 0;
    bool in_name_ = true;
    uint8_t head_[CommentModel::kHead] = {};
    int head_length_ = 0;
    CommentModel model_;
    CommentCost cost_ = {};
};

// Feeds `size` bytes of the file at `at` to `reader`, window by window.
// False when the file ends first.
bool feed_from_file(FileWindow *file, int64_t at, int64_t size, CommentReader *reader) {
    while (size > 0) {
        const uint8_t *bytes = nullptr;
        const int want =
            size < FileWindow::kMostAsked ? static_cast<int>(size) : FileWindow::kMostAsked;
        const int count = file->get_some(at, want, &bytes);
        if (count <= 0) return false;
        reader->feed(bytes, count);
        at += count;
        size -= count;
    }
    return true;
}

// flac_read_header: metadata blocks, each read whole, up to the last one.
void walk_flac(ProbeBudget *budget, FileWindow *file, int64_t at) {
    CommentChapters chapters = {};
    at += 4;
    for (bool last = false; !last;) {
        const uint8_t *header = file->get(at, 4);
        if (!header) return;
        last = header[0] & 0x80;
        const int type = header[0] & 0x7F;
        const int64_t size = int64_t{header[1]} << 16 | header[2] << 8 | header[3];
        at += 4;
        if (type == 4) {
            CommentReader reader(&chapters);
            // A block is parsed whole once read: linear, a couple of units a byte.
            const bool whole = feed_from_file(file, at, size, &reader);
            const CommentCost cost = reader.finish();
            if (!probe_foresee(budget, Forecast::vorbis_comments, add_count(cost.work, 2 * size),
                               add_count(cost.memory, size)) ||
                !whole) {
                return;
            }
        } else if (type == 6) {
            // A picture: a stream of its own, its data read and kept.
            if (!probe_foresee(budget, Forecast::vorbis_comments, 0, multiply_count(size, 2))) {
                return;
            }
        }
        at += size;
    }
}

// One logical stream of an Ogg file, as its header packets are walked.
struct OggStream {
    uint32_t serial;
    int64_t packet;         // index of the packet being read
    int64_t size;           // bytes of it so far
    uint8_t first[16];      // its first bytes
    int kind;               // from its first packet (OggKind)
    int64_t headers;        // packets that may carry comments
    CommentReader *reader;  // the packet being read is a comment list
};

enum OggKind { kOggOther, kOggVorbis, kOggOpus, kOggTheora, kOggSpeex, kOggFlac, kOggOgm };

// What a stream's first packet says it is, and how many of its packets the
// demuxer reads as headers.
void identify(OggStream *stream) {
    const uint8_t *f = stream->first;
    const int64_t n = stream->size;
    stream->kind = kOggOther;
    stream->headers = 1;
    if (n >= 7 && f[0] == 1 && memcmp(f + 1, "vorbis", 6) == 0) {
        stream->kind = kOggVorbis;
        stream->headers = 3;
    } else if (n >= 8 && memcmp(f, "OpusHead", 8) == 0) {
        stream->kind = kOggOpus;
        stream->headers = 2;
    } else if (n >= 7 && f[0] == 0x80 && memcmp(f + 1, "theora", 6) == 0) {
        stream->kind = kOggTheora;
        stream->headers = 3;
    } else if (n >= 8 && (memcmp(f, "Speex   ", 8) == 0 || memcmp(f, "CELT    ", 8) == 0)) {
        stream->kind = kOggSpeex;
        stream->headers = 2;
    } else if (n >= 9 && f[0] == 0x7F && memcmp(f + 1, "FLAC", 4) == 0) {
        stream->kind = kOggFlac;
        const int64_t declared = f[7] << 8 | f[8];
        stream->headers = 1 + (declared ? declared : 64);
    } else if (n >= 6 && f[0] == 1 &&
               (memcmp(f + 1, "video", 5) == 0 || memcmp(f + 1, "audio", 5) == 0 ||
                (n >= 5 && memcmp(f + 1, "text", 4) == 0))) {
        stream->kind = kOggOgm;
        stream->headers = 3;
    }
}

// Where the comment list begins in a header packet starting with `first`
// (its first `size` bytes), or -1 when the packet carries none; 0 with
// `size` too short to tell is asked again with more.
int comment_offset(const OggStream &stream) {
    const uint8_t *f = stream.first;
    const int64_t n = stream.size;
    switch (stream.kind) {
        case kOggVorbis:
        case kOggOgm:
            return n >= 7 && f[0] == 3 && memcmp(f + 1, "vorbis", 6) == 0 ? 7 : -1;
        case kOggOpus:
            return n >= 8 && memcmp(f, "OpusTags", 8) == 0 ? 8 : -1;
        case kOggTheora:
            return n >= 7 && f[0] == 0x81 && memcmp(f + 1, "theora", 6) == 0 ? 7 : -1;
        case kOggSpeex:
            return stream.packet == 1 ? 0 : -1;
        case kOggFlac:
            return n >= 4 && (f[0] & 0x7F) == 4 ? 4 : -1;
        default:
            return -1;
    }
}

class OggWalk {
  public:
    OggWalk(ProbeBudget *budget, FileWindow *file) : budget_(budget), file_(file) {}
    ~OggWalk() {
        for (int i = 0; i < count_; ++i) av_free(streams_[i].reader);
    }
    void run(int64_t at);

  private:
    static constexpr int kMostStreams = 64;
    static constexpr int64_t kMostPage = 65307;  // the demuxer's search for a page

    bool bytes(OggStream *stream, const uint8_t *data, int length);
    bool end_packet(OggStream *stream);

    ProbeBudget *budget_;
    FileWindow *file_;
    OggStream streams_[kMostStreams] = {};
    int count_ = 0;
    CommentChapters chapters_ = {};
};

// Bytes of a stream's current packet. Its first bytes are kept until they
// tell whether it is a comment list; from then on they go to a reader.
bool OggWalk::bytes(OggStream *stream, const uint8_t *data, int length) {
    int used = 0;
    while (!stream->reader && stream->size < static_cast<int64_t>(sizeof stream->first) &&
           used < length) {
        stream->first[stream->size++] = data[used++];
        const int offset = stream->packet == 0 ? -1 : comment_offset(*stream);
        if (offset < 0 || stream->size < offset) continue;
        void *memory = av_malloc(sizeof(CommentReader));
        if (!memory) return probe_foresee(budget_, Forecast::vorbis_comments, 0, kMostCount);
        stream->reader = new (memory) CommentReader(&chapters_);
        stream->reader->feed(stream->first + offset, stream->size - offset);
    }
    stream->size += length - used;
    if (stream->reader && used < length) stream->reader->feed(data + used, length - used);
    return true;
}

bool OggWalk::end_packet(OggStream *stream) {
    if (stream->packet == 0) identify(stream);
    bool alive = true;
    if (stream->reader) {
        const CommentCost cost = stream->reader->finish();
        av_free(stream->reader);
        stream->reader = nullptr;
        // The packet is parsed whole once assembled: a couple of units a byte.
        alive = probe_foresee(budget_, Forecast::vorbis_comments,
                              add_count(cost.work, multiply_count(stream->size, 2)),
                              add_count(cost.memory, stream->size));
    }
    ++stream->packet;
    stream->size = 0;
    return alive;
}

void OggWalk::run(int64_t at) {
    for (int64_t pages = 0;; ++pages) {
        // ogg_read_page: a page where one is expected, else the next "OggS"
        // within a page's length.
        const uint8_t *page = file_->get(at, 27);
        for (int64_t skipped = 0; page && memcmp(page, "OggS", 4) != 0; ++skipped) {
            if (skipped >= kMostPage) return;
            page = file_->get(++at, 27);
        }
        if (!page) return;
        if ((pages & 255) == 255 && !probe_foresee(budget_, Forecast::vorbis_comments, 0, 0)) {
            return;
        }
        const bool continued = page[5] & 1, first_page = page[5] & 2;
        uint32_t serial = 0;
        for (int i = 0; i < 4; ++i) serial |= uint32_t{page[14 + i]} << (8 * i);
        const int segments = page[26];
        uint8_t lacing[255];
        const uint8_t *table = file_->get(at + 27, segments);
        if (!table) return;
        memcpy(lacing, table, static_cast<size_t>(segments));
        int64_t data = at + 27 + segments;
        OggStream *stream = nullptr;
        for (int i = 0; i < count_; ++i) {
            if (streams_[i].serial == serial) stream = &streams_[i];
        }
        if (!stream && first_page && count_ < kMostStreams) {
            stream = &streams_[count_++];
            stream->serial = serial;
        }
        if (stream && stream->size > 0 && !continued && !end_packet(stream)) return;
        for (int i = 0; stream && i < segments && stream->packet < stream->headers + 1; ++i) {
            const uint8_t *bytes = lacing[i] ? file_->get(data, lacing[i]) : nullptr;
            if (lacing[i] && !bytes) return;
            if (lacing[i] && !this->bytes(stream, bytes, lacing[i])) return;
            data += lacing[i];
            if (lacing[i] < 255 && !end_packet(stream)) return;
        }
        int64_t size = 0;
        for (int i = 0; i < segments; ++i) size += lacing[i];
        at += 27 + segments + size;
        // Done once every stream that began is past the packets it reads
        // as headers (the first packet decides how many).
        bool done = count_ > 0;
        for (int i = 0; i < count_; ++i) {
            done = done && streams_[i].packet > 0 && streams_[i].packet >= streams_[i].headers;
        }
        if (done) return;
    }
}

}  // namespace

void forecast_flac(ProbeBudget *budget, FileWindow *file, int64_t start) {
    walk_flac(budget, file, start);
}

// Pages from `start`: each stream's packets are followed until those the
// demuxer reads as headers are passed, each comment packet read as its bytes
// come. Streams chained later in the file are not walked.
void forecast_ogg(ProbeBudget *budget, FileWindow *file, int64_t start) {
    OggWalk walk(budget, file);
    walk.run(start);
}

int64_t forecast_id3v2(ProbeBudget *budget, FileWindow *file, int64_t start) {
    Id3Walk walk(budget, file);
    return walk.run(start);
}
