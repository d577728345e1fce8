#pragma once
// Clips the file source tests (and the refused-input table) read, made on
// first use with the ffmpeg tool in the tests' working folder, and the shared
// capturing destination, messenger and ffprobe oracle under short names.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/FFControlInfo.h"
#include "support/CapturingDest.h"
#include "support/CapturingMessenger.h"
#include "support/Probe.h"
#include "support/TestMedia.h"
#include "support/WaitFor.h"

namespace Quillet::FileSourceTest {

using RecordingDest = Testing::CapturingDest<FFData>;
using Testing::MakeClip;
using Testing::MakeFile;
using Testing::PacketFact;
using Testing::ProbeDuration;
using Testing::ProbePackets;
using Testing::FinishesWithin;

inline const std::string kAvInputs = "-f lavfi -i testsrc2=size=160x120:rate=25 "
                                     "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 3 ";
inline const std::string kAvCodecs = "-c:v libx264 -preset ultrafast -bf 2 -g 25 -c:a aac ";
inline const std::string kShortVideo = "-f lavfi -i testsrc2=size=160x120:rate=25 -t 0.4 ";
inline const std::string kFast = "-c:v libx264 -preset ultrafast";

// 3 s, 160x120 H.264 with B-frames, GOP 25, AAC 48 kHz.
inline std::string AvMp4() { return MakeClip("fs_av.mp4", kAvInputs + kAvCodecs); }

// The same plus a subtitle stream.
inline std::string AvsMkv()
{
    return MakeFile("fs_avs.mkv", [](const std::string& out) {
        const std::string srt = out + ".srt";
        std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,000\nfirst\n\n"
                              "2\n00:00:01,500 --> 00:00:02,000\nsecond\n\n";
        Testing::Run("ffmpeg -nostdin -v error -y " + kAvInputs + "-i '" + srt + "' -t 3 -map 0 -map 1 -map 2 " +
                     kAvCodecs + "-c:s srt -f matroska '" + out + "'");
        std::filesystem::remove(srt);
    });
}

// 160x120 with sample aspect 2:1 and 1:2.
inline std::string WideSarMp4() { return MakeClip("fs_widesar.mp4", kShortVideo + "-vf setsar=2/1 " + kFast); }
inline std::string TallSarMp4() { return MakeClip("fs_tallsar.mp4", kShortVideo + "-vf setsar=1/2 " + kFast); }

// A bare elementary stream: no container facts at all.
inline std::string RawH264() { return MakeClip("fs_raw.h264", kShortVideo + kFast + " -f h264"); }

// MPEG-TS, and the same with an end so far away that no duration is found.
inline std::string PlainTs() { return MakeClip("fs_plain.ts", kAvInputs + kAvCodecs + "-f mpegts"); }
inline std::string PaddedTs()
{
    return MakeFile("fs_padded.ts", [](const std::string& out) {
        // The demuxer estimates a duration from the last timestamps it finds
        // within the final 16 MB; null packets there carry none.
        std::filesystem::copy_file(PlainTs(), out, std::filesystem::copy_options::overwrite_existing);
        std::ofstream file(out, std::ios::binary | std::ios::app);
        std::string nullPacket(188, '\xff');
        nullPacket[0] = 0x47, nullPacket[1] = 0x1f, nullPacket[3] = 0x10; // PID 0x1fff
        std::string block;
        for (int i = 0; i < 1024; ++i)
            block += nullPacket;
        for (int i = 0; i < 90; ++i) // about 17 MB
            file.write(block.data(), static_cast<std::streamsize>(block.size()));
    });
}

// 20 s at 400 kbit/s: the demuxer's probing and the duration search read
// neither its middle nor all of it.
inline const std::string kLongAv = "-f lavfi -i testsrc2=size=320x240:rate=25 "
                                   "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 20 "
                                   "-c:v libx264 -preset ultrafast -bf 2 -g 25 -b:v 400k -c:a aac ";
inline std::string LongTs() { return MakeClip("fs_long.ts", kLongAv + "-f mpegts"); }
inline std::string LongMp4() { return MakeClip("fs_long.mp4", kLongAv); }
// The same as a playlist of five 4 s MPEG-TS segments beside it. The segments
// keep the name the playlist was made under: test processes making it side by
// side each write their own, and the playlist that stays names its own.
inline std::string LongHls()
{
    return MakeFile("fs_long.m3u8", [](const std::string& out) {
        const std::string segments = out.substr(0, out.size() - 5) + "_%d.ts";
        Testing::Run("ffmpeg -nostdin -v error -y " + kLongAv + "-f hls -hls_time 4 -hls_list_size 0 " +
                     "-hls_segment_filename '" + segments + "' '" + out + "'");
    });
}

inline std::string TruncatedMp4()
{
    return MakeFile("fs_truncated.mp4", [](const std::string& out) {
        // The index of an mp4 written by ffmpeg sits at the end: cut it off.
        std::filesystem::copy_file(AvMp4(), out, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::resize_file(out, std::filesystem::file_size(AvMp4()) / 2);
    });
}

inline std::string NotMedia()
{
    return MakeFile("fs_notmedia.dat", [](const std::string& out) {
        std::ofstream file(out);
        for (int i = 0; i < 200; ++i)
            file << "This is not a media file.\n";
    });
}

} // namespace Quillet::FileSourceTest
