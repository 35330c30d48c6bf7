// Small media files for the media_probe tests, fuzz seeds and benchmarks,
// made at run time by Debian's ffmpeg from its lavfi sources, a few by the
// x265 command line and mkvmerge (plus a few made by hand: patched brands and
// boxes, random bytes, an empty file).
//
// generateFixtures(dir) creates `dir` if needed, makes whatever is missing
// there and returns every fixture's path by name. It is safe to call from
// several processes at once (they take turns on a lock file) and cheap once
// the files exist (a changed recipe needs its old file deleted). Throws
// std::runtime_error when a file cannot be made.
#ifndef TESTS_SUPPORT_MEDIA_FIXTURES_H
#define TESTS_SUPPORT_MEDIA_FIXTURES_H

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace media_fixtures {

// Fixture names:
//   mp4          H.264 160x120 25 fps + AAC 44100 Hz stereo, 1 s, brand "isom"
//   mov          MPEG-4 video + AAC in a QuickTime file, brand "qt  "
//   mov_QT       mov with its brand patched to "QT  "
//   mov_qt_short mov with its brand patched to "qt\0\0" (reads as "qt")
//   mov_no_brand mov whose "ftyp" box is turned into a "free" box
//   mkv          H.264 + AAC + SubRip subtitle + a text attachment
//   flv          FLV1 video + AAC
//   wmv          WMV2 + WMA2 in ASF
//   ts           MPEG-2 video + MP2 in MPEG-TS
//   wav          PCM 8000 Hz mono, 1 s
//   three_video  MP4 with H.264 streams of 64x48, 96x72 and 128x96, in order
//   h264_only    MP4 with one H.264 160x120 stream and nothing else
//   long         MP4, one H.264 frame a minute for 2400 s
//   h264_ntsc    MP4: H.264 High yuv420p 30000/1001 fps with BT.709 colour tags, AAC
//                mono, a timecode (data) track, title and creation_time tags
//   hevc_main10  MP4: HEVC Main 10 (yuv420p10le) tagged BT.2020 / PQ
//   ts_interlaced MPEG-TS: interlaced MPEG-2 (top field first), SAR 4:3 (DAR
//                16:9), starting at 11.4 s
//   rotated      h264_only remuxed with a 90-degree display matrix
//   mp3_long     MP3 mono 8 kbit/s, 240 s (more ticks than 32 bits hold)
//   mkv_tracks   Matroska: H.264, FLAC 5.1(side) "eng"/"Surround", AAC mono
//                "fra"/"Commentaire", SubRip "eng", a font attachment, two
//                chapters and a title
//   hevc_hlg     MP4: HEVC Main 10 tagged BT.2020 / arib-std-b67 (HLG)
//   hevc_dovi    hevc_main10 (no SEI) with a Dolby Vision configuration box
//                (dvcC) in its sample entry: profile 8, level 4, RPU and BL,
//                compatibility 1
//   mkv_hdr10_no_sei Matroska by mkvmerge: HEVC Main 10 from the x265 command
//                line (BT.2020 / PQ in its VUI, no HDR SEI); only the container
//                states the mastering display (primaries 0.68,0.32 0.265,0.69
//                0.15,0.06, white 0.3127,0.329, 0.0001 to 1000 cd/m2), MaxCLL
//                1000 and MaxFALL 400 (hdr_fixtures has SEI-carrying files)
//   mp4_chapters MP4 (ffmpeg): H.264 and the chapters and title of mkv_tracks
//   mkv_chapters Matroska by mkvmerge: H.264 and two chapters from a simple
//                chapter file ("Opening" at 0, "Ending" at 0.12 s)
//   ts_programs  MPEG-TS: two programs (services 10 "First" by "Probe tests" on
//                PIDs 0x101/0x102, 20 "Second" on 0x201/0x202), MPEG-2 + MP2 each
//   hls_master   HLS master playlist of two variants (1100000 and 2200000 bit/s),
//                each of the one segment ts: two programs, ids 0 and 1
//   mp3_vbr      VBR MP3 without a Xing header (its duration is estimated from
//                the bit rate); mp3_vbr_xing the same with one
//   mp3_cover    MP3 mono 1 s with a 64x48 PNG cover picture (attached_pic,
//                titled "Front")
//   mp4_truncated the first half of mp4 (its index is at the end: none left)
//   random       4096 pseudo-random bytes (fixed seed)
//   empty        an empty file
std::map<std::string, std::string> generateFixtures(const std::string &dir);

// Makes `file` in `dir` (which must exist) by running ffmpeg with `args`, its
// inputs and encoder options, the output name going last; does nothing when
// the file exists. For files beyond the fixtures above (benchmark corpora).
// Safe to call from several threads for different files. Returns the path;
// throws std::runtime_error when ffmpeg fails.
std::string makeWithFfmpeg(const std::string &dir, const std::vector<std::string> &args,
                           const std::string &file);

// The pieces fixture generators share (hdr_fixtures.cpp uses them too).

// Holds `dir`'s lock file while it lives, so that generators in several
// processes take turns on the folder. Throws when it cannot be taken.
class DirectoryLock {
  public:
    explicit DirectoryLock(const std::string &dir);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

  private:
    int fd_;
};

// Unless `file` exists in `dir`, calls `make` with a temporary name (relative
// to `dir`, in it) to write, then renames that to `file`: a reader never sees
// a half-written fixture.
void makeOnce(const std::string &dir, const std::string &file,
              const std::function<void(const std::string &temporary)> &make);

// Runs `argv` in `dir`; throws std::runtime_error naming the program and
// `output` with what it printed on standard error when it fails.
void runTool(const std::string &dir, const std::vector<std::string> &argv,
             const std::string &output);

}  // namespace media_fixtures

#endif
