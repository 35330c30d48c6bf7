// Media files for the scan's tests (MEDIA_PROBE_SCAN): the containers and
// muxers whose packets a full read counts differently from what their
// headers declare, made at test time by ffmpeg, mkvmerge and GStreamer.
//
// generateScanFixtures(dir) makes whatever is missing in `dir` (created if
// needed) and returns every file's path by name; like generateFixtures, safe
// from several processes at once and cheap once the files exist. Throws
// std::runtime_error when a file cannot be made.
#ifndef TESTS_SUPPORT_SCAN_FIXTURES_H
#define TESTS_SUPPORT_SCAN_FIXTURES_H

#include <map>
#include <string>

namespace media_fixtures {

// The source clip, 4 s: H.264 160x120 at 25 fps with B-frames and a key
// frame every second, AAC 44100 Hz mono. Names:
//   mp4           the clip (its index after the media data)
//   mp4_edit      the clip cut at 1.1 s without re-encoding: an edit list, and
//                 the packets before the cut kept, flagged discard
//   mp4_frag      ffmpeg's fragmented MP4 (frag_keyframe+empty_moov)
//   mp4_gst_frag  GStreamer's fragmented MP4 (mp4mux fragment-duration)
//   mkv_mkvmerge  mkvmerge's Matroska of the clip
//   mkv_gst       GStreamer's Matroska (matroskamux) of the clip
//   ts_wrap       MPEG-TS of the clip starting at 95442 s: its PTS wrap past
//                 2^33 1.7 s in
//   ts_open_gop   MPEG-2 video with open GOPs in MPEG-TS, cut at 1.1 s without
//                 re-encoding: it starts at a key frame followed by two
//                 pictures shown before it, as a recording joined mid-stream
//   flv           FLV of the clip
//   webm_live     GStreamer webmmux streamable into a pipe: VP8 at 30 fps,
//                 2 s, no duration in the file
//   mp3_xing      VBR MP3, 10 s, with its Xing header
//   mp3_no_xing   the same without one (the duration is then estimated)
//   aac_adts      AAC in ADTS, 3 s
//   flac          FLAC, 3 s
//   vfr_mkvmerge  mkvmerge, raw H.264 with a timestamp file (v2): 50 frames
//                 at 25 fps, then 50 at 30 fps (33 and 34 ms steps)
//   vfr_gst       GStreamer Matroska, VP8: 30 frames at 25 fps, 30 at 30 fps
//   repeat_mkvmerge  mkvmerge, the raw H.264 at 25 fps with a timestamp file
//                 giving the 51st frame the 50th's time (a step of 0, then of
//                 80 ms)
//   ntsc_mp4      H.264 at 30000/1001 fps in MP4 (ticks of 1/30000 s)
//   ntsc_mkv      the same in Matroska (whole milliseconds: 33 and 34 ms)
std::map<std::string, std::string> generateScanFixtures(const std::string &dir);

// Every fixture the media tests make in `dir`: generateFixtures' by their
// names, the HDR fixtures' as "hdr NAME", these as "scan NAME".
std::map<std::string, std::string> generateAllFixtures(const std::string &dir);

}  // namespace media_fixtures

#endif
