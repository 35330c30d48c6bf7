// Reading the probed file for a walk, and the ID3v2 walk (probe_forecast.h).
#include "probe_forecast.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/mem.h>
}

FileWindow::FileWindow(ProbeBudget *budget, int fd)
    : budget_(budget),
      fd_(fd),
      data_(static_cast<uint8_t *>(av_malloc(kWindowBytes))),
      start_(0),
      length_(-1) {}

FileWindow::~FileWindow() {
    av_free(data_);
}

bool FileWindow::usable() const {
    return data_ != nullptr;
}

bool FileWindow::fill(int64_t at) {
    if (!data_ || at < 0) return false;
    start_ = at;
    length_ = 0;
    while (length_ < kWindowBytes) {
        const ssize_t count =
            pread(fd_, data_ + length_, static_cast<size_t>(kWindowBytes - length_),
                  static_cast<off_t>(at + length_));
        if (count > 0) {
            length_ += static_cast<int>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        break;
    }
    return probe_read_for_forecast(budget_, length_);
}

int FileWindow::get_some(int64_t at, int count, const uint8_t **bytes) {
    if (count > kMostAsked) count = kMostAsked;
    if (at < start_ || at - start_ + count > length_) {
        // Past the window: refill from `at`, unless the file ends inside it.
        const bool ends_here =
            length_ >= 0 && length_ < kWindowBytes && at >= start_ && at <= start_ + length_;
        if (!ends_here && !fill(at)) return 0;
    }
    const int64_t offset = at - start_;
    if (length_ < 0 || offset < 0 || offset >= length_) return 0;
    const int available = static_cast<int>(length_ - offset < count ? length_ - offset : count);
    if (bytes) *bytes = data_ + offset;
    return available;
}

const uint8_t *FileWindow::get(int64_t at, int count) {
    const uint8_t *bytes = nullptr;
    return count <= kMostAsked && get_some(at, count, &bytes) == count ? bytes : nullptr;
}

namespace {

// Costs of the ID3v2 model (probe_forecast.h), as for Matroska tags: an entry
// rebuilt, and an entry's memory beyond its texts, which count three times.
constexpr int64_t kRebuildEntryWork = 200;
constexpr int64_t kEntryBytes = 160;
constexpr int64_t kChapterBytes = 320;
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

}  // namespace

int64_t forecast_id3v2(ProbeBudget *budget, FileWindow *file, int64_t start) {
    if (!file->usable()) return start;
    Id3Walk walk(budget, file);
    return walk.run(start);
}
