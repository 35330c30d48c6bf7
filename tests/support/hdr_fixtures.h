// HDR test files made by real encoders and muxers: HEVC from the x265
// command line and H.264 from libx264 through ffmpeg, carrying their HDR
// signalling in SEI messages, muxed by mkvmerge, GStreamer and ffmpeg; plus
// two made by editing such files (an ST 2094-40 SEI unit in a later access
// unit, a Dolby Vision configuration box).
//
// generateHdrFixtures(dir) works as media_fixtures::generateFixtures does:
// it creates `dir` if needed, makes what is missing there (under the same
// lock, so several processes may call it at once; a changed recipe needs its
// old file deleted) and returns every fixture's path by name. Throws
// std::runtime_error when a file cannot be made (x265, mkvmerge or
// gst-launch-1.0 missing: tools/install-deps installs them).
#ifndef TESTS_SUPPORT_HDR_FIXTURES_H
#define TESTS_SUPPORT_HDR_FIXTURES_H

#include <map>
#include <string>
#include <vector>

#include "annexb_editor.h"

namespace hdr_fixtures {

// Every stream: 160x120, 25 fps, kFrames frames, 10-bit 4:2:0, BT.2020
// primaries and matrix. HEVC from x265 (preset ultrafast: B-frames, parameter
// sets and SEI in the first access unit only).
//
// Fixture names:
//   hdr10_hevc      raw HEVC (Annex B), PQ, with the mastering display and
//                   content light level SEI below (kMasterDisplay, kMaxCll)
//   hdr10_mkv       hdr10_hevc by mkvmerge, the same values in its Colour
//                   elements too (transfer 16, primaries 9)
//   hdr10_mkv_plain hdr10_hevc by mkvmerge, no colour options: only the
//                   bitstream says HDR (mkvmerge copies the first SEI units
//                   into the hvcC record as well)
//   hdr10_gst_mp4   hdr10_mkv_plain through GStreamer: matroskademux !
//                   h265parse ! mp4mux
//   hdr10_mp4       hdr10_mkv_plain by ffmpeg -c copy into MP4
//   hdr10_ts        ... into MPEG-TS
//   hlg_hevc        raw HEVC, transfer arib-std-b67, alternative transfer
//                   characteristics SEI 18
//   hlg_atc_hevc    raw HEVC, transfer bt2020-10 in the VUI and the same SEI 18
//                   (HLG only through the SEI)
//   hlg_mp4         hlg_hevc by mkvmerge, then ffmpeg -c copy into MP4
//   h264_hdr_mp4    H.264 High 10 by libx264 through ffmpeg, PQ, with
//                   mastering display and content light level SEI (x264's
//                   mastering-display and cll options)
//   hdr10plus_hevc  hdr10_hevc with a prefix SEI unit of ST 2094-40 metadata
//                   (kHdr10Plus) inserted in its second access unit
//   hdr10plus_mp4   hdr10plus_hevc by mkvmerge, then ffmpeg -c copy into MP4
//   hdr10plus_ts    ... into MPEG-TS
//   dovi_mp4        hdr10_mp4 with a "dvcC" box (kDolbyVision) added to its
//                   HEVC sample entry
std::map<std::string, std::string> generateHdrFixtures(const std::string &dir);

constexpr int kFrames = 10;
// As given to the encoders: x265 --master-display and x264 mastering-display
// take G, B, R, white point, then L(max, min).
constexpr const char *kMasterDisplayOption =
    "G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,1)";
constexpr annexb::MasteringDisplay kMasterDisplay = {{34000, 16000}, {13250, 34500}, {7500, 3000},
                                                     {15635, 16450}, 10000000,       1};
constexpr unsigned kMaxCll = 1000;
constexpr unsigned kMaxFall = 400;
constexpr unsigned kHlgTransfer = 18;  // arib-std-b67
// The ST 2094-40 message written into hdr10plus_hevc: the editor's defaults,
// in access unit kHdr10PlusAccessUnit.
inline const annexb::Hdr10Plus kHdr10Plus{};
constexpr int kHdr10PlusAccessUnit = 1;

// The Dolby Vision configuration of dovi_mp4.
struct DolbyVision {
    int profile, level;
    bool rpu, el, bl;
    int compatibilityId;
};
constexpr DolbyVision kDolbyVision = {8, 6, true, false, true, 1};

// `mp4` with a "dvcC" box of `dv` appended to the children of its (only)
// video track's first sample entry (HEVC), every enclosing box grown to hold
// it. The index must follow the media data, so that no chunk offset moves.
// Throws std::runtime_error when the file is not laid out so.
std::string withDolbyVision(const std::string &mp4, const DolbyVision &dv);

// mkvmerge's options for the container's colour metadata of track 0: the
// mastering display and light levels above (chromaticity red, green, blue;
// luminance in cd/m2), PQ (16), BT.2020 primaries (9).
std::vector<std::string> mkvmergeColourOptions();

// x265's options every HEVC stream of the fixtures shares: quiet, one
// thread, fastest, 10 bits with BT.2020 primaries and matrix.
std::vector<std::string> x265CommonOptions();

}  // namespace hdr_fixtures

#endif
