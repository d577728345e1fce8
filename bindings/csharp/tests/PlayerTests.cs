// The player facade on files: the pictures, times and bytes the C++ facade
// hands out, the end of the stream once, the frame array kept while the size
// stays, seek and pause as handed over, sound through a managed audio sink, and
// log lines through a managed handler.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using Quillet.FFWrapperCLI;

namespace Quillet.Tests
{
    public static class PlayerTests
    {
        internal const string Lavfi = "-f lavfi -i testsrc2=size={0}:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t {1} -pix_fmt yuv420p ";

        internal static string H264Clip()
        {
            return Media.Clip("cs_h264_320x240.mp4", string.Format(Lavfi, "320x240", 3) + "-c:v libx264 -bf 2 -g 25 -c:a aac");
        }

        /// <summary>Reads every picture through ReadFrameGetSize, calling <paramref name="idle"/> while none is
        /// ready; checks the end once and the array reuse.</summary>
        internal static List<Picture> PlayAll(FFWrapper player, FrameData data, Action<int> onPicture = null, Action idle = null)
        {
            var pictures = new List<Picture>();
            int ends = 0, endEvents = 0, endEventsOnOtherThreads = 0;
            int reader = Thread.CurrentThread.ManagedThreadId;
            player.RegisterFFEventCallback(args =>
            {
                var m = args as FFMessageEventArgs;
                if (m != null && m.message == FFMessageType.EndOfStream)
                {
                    ++endEvents;
                    if (Thread.CurrentThread.ManagedThreadId != reader)
                        ++endEventsOnOtherThreads;
                }
            });
            byte[] previous = null;
            int previousSize = 0, reused = 0;
            var deadline = DateTime.UtcNow.AddSeconds(60);
            for (int n; ; )
            {
                n = player.ReadFrameGetSize(data);
                if (n < 0)
                {
                    Check.Equal(-1, n, "the end of the stream");
                    ++ends;
                    Check.Equal(1, endEvents, "end-of-stream events raised during the -1 read");
                    break;
                }
                if (n == 0)
                {
                    Check.True(DateTime.UtcNow < deadline, "the player makes progress");
                    if (idle != null)
                        idle();
                    Thread.Yield();
                    continue;
                }
                Check.Equal(n, data.size, "the size returned is the size in the record");
                Check.Equal(data.width * 3 * data.height, data.frame.Length, "the frame holds packed rows");
                if (previous != null && previousSize == n && ReferenceEquals(previous, data.frame))
                    ++reused;
                previous = data.frame;
                previousSize = n;
                pictures.Add(Picture.Of(data));
                if (onPicture != null)
                    onPicture(pictures.Count);
            }
            for (int i = 0; i < 3; ++i)
                Check.Equal(0, player.ReadFrameGetSize(data), "reads after the end");
            Check.Equal(1, ends, "-1 handed out");
            Check.Equal(1, endEvents, "end-of-stream events");
            Check.Equal(0, endEventsOnOtherThreads, "end-of-stream events on another thread than the reader's");
            Check.Equal(pictures.Count - 1, reused, "pictures of one size that kept the frame array");
            return pictures;
        }

        internal static FFWrapper OpenStarted(FFWrapper player, string clip, bool audio = false)
        {
            player.EnableAudio(audio);
            Check.True(player.OpenSource(clip), "opens " + clip);
            player.DecodeVideo(PixelFormat.BGR24);
            Check.True(player.StartEngine(), "starts");
            return player;
        }

        /// <summary>Each picture as the C++ facade hands it out: time, size, first flag and bytes.</summary>
        internal static void Same(List<Picture> expected, List<Picture> actual, string what)
        {
            Check.True(expected.Count > 10, what + ": the reference has pictures");
            Check.Equal(expected.Count, actual.Count, what + ": pictures");
            for (int i = 0; i < expected.Count; ++i)
                Check.Equal(expected[i].ToString(), actual[i].ToString(), what + ": picture " + i);
        }

        /// <summary>One record read through a clip with B-frames and one of an odd width (how other codecs and
        /// containers play is the C++ suites' to check): the frame array stays while the size does, and
        /// another size brings a new one.</summary>
        public static void PicturesEqualTheCppFacades()
        {
            var data = new FrameData();
            foreach (string clip in new[] { H264Clip(), Media.Clip("cs_h264_322x182.mkv", string.Format(Lavfi, "322x182", 2) + "-c:v libx264 -g 12 -an") })
            {
                byte[] before = data.frame;
                using (var player = OpenStarted(new FFWrapper("cs.player"), clip))
                    Same(Media.Reference(clip), PlayAll(player, data, n => Check.True(n > 1 || !ReferenceEquals(before, data.frame),
                                                                                      clip + ": a new array for the new size")), clip);
            }
        }

        /// <summary>Seek, pause and the first-picture flag as the binding hands them over (where a
        /// seek lands is the C++ suites' to check).</summary>
        public static void SeekAndPause()
        {
            using (var player = OpenStarted(new FFWrapper(), H264Clip()))
            {
                var data = new FrameData();
                Check.WaitFor(() => player.ReadFrameGetSize(data) > 0 && data.frameTime >= 1.0, 20, "a picture at 1 s");
                player.Pause();
                Check.True(player.IsPause(), "paused");
                player.Seek(0.52);
                Check.WaitFor(() => player.ReadFrameGetSize(data) > 0, 20, "a picture after the seek");
                Check.True(data.firstFrame && data.frameTime < 1.0, "the first picture after the seek: " + data.frameTime);
                player.Continue();
                Check.True(!player.IsPause(), "continued");
            }
        }

        private sealed class Sink : IAudioInterface
        {
            public long Bytes;
            public int MaxSample;
            public int Submits;
            public bool Offered;
            public bool WantsAudio() { return true; }
            public IList<byte[]> GetBuffers()
            {
                Offered = true;
                return new List<byte[]> { new byte[4096], new byte[4096] };
            }
            public void SubmitBuffers(IList<ArraySegment<byte>> filled)
            {
                ++Submits;
                foreach (ArraySegment<byte> s in filled)
                {
                    Bytes += s.Count;
                    for (int i = s.Offset; i + 1 < s.Offset + s.Count; i += 2)
                        MaxSample = Math.Max(MaxSample, Math.Abs((int)BitConverter.ToInt16(s.Array, i)));
                }
            }
        }

        public static void SoundThroughAManagedSink()
        {
            var sink = new Sink();
            using (var player = OpenStarted(new FFWrapper(), H264Clip(), audio: true))
            {
                Check.True(player.IsAudio(), "the clip has sound");
                int rate, bits, channels;
                Check.True(player.GetAudioFormat(out rate, out bits, out channels), "an audio format");
                Check.Equal(16, bits, "bits per sample");
                player.SetAudioInterface(sink);
                var data = new FrameData();
                double lastTime = -1.0;
                int n;
                var deadline = DateTime.UtcNow.AddSeconds(60);
                while ((n = player.ReadFrameGetSize(data)) >= 0 && DateTime.UtcNow < deadline)
                {
                    double t = player.ReadAudioFromInterface();
                    if (t >= 0)
                    {
                        Check.True(t >= lastTime, "sound times rise");
                        lastTime = t;
                    }
                    if (n == 0)
                        Thread.Yield();
                }
                for (int i = 0; i < 100 && player.ReadAudioFromInterface() >= 0; ++i) { }
                long expected = (long)(3.0 * rate * channels * 2);
                Check.True(sink.Offered && sink.Submits > 0, "the sink was asked and handed buffers back");
                Check.True(Math.Abs(sink.Bytes - expected) < expected / 10, string.Format("about 3 s of sound: {0} of {1} bytes", sink.Bytes, expected));
                Check.True(sink.MaxSample > 3000, "the sound is the tone, not silence: peak " + sink.MaxSample);
                player.SetAudioInterface(null);
                Check.True(player.ReadAudioFromInterface() < 0, "no sink, no sound handed over");
            }
        }

        public static void LogLinesReachTheHandlerUntilItIsRemoved()
        {
            var lines = new List<LogLine>();
            Logging.SetLogCallback(line => { lock (lines) lines.Add(line); }, LogSeverity.Info);
            try
            {
                using (var player = OpenStarted(new FFWrapper(), H264Clip()))
                    player.StopEngine();
            }
            finally
            {
                Logging.SetLogCallback(null);
            }
            int settled;
            lock (lines)
            {
                settled = lines.Count;
                Check.True(lines.Any(l => l.Category == "FFmpeg" && l.Text.Contains("Input #0")), "FFmpeg's stream dump");
                Check.True(lines.Any(l => l.Category != "FFmpeg" && l.Severity == LogSeverity.Info), "the library's own lines");
                Check.True(lines.All(l => Math.Abs((DateTime.UtcNow - l.TimeUtc).TotalMinutes) < 5), "times are UTC");
            }
            using (var player = OpenStarted(new FFWrapper(), H264Clip()))
                player.StopEngine();
            lock (lines)
                Check.Equal(settled, lines.Count, "no line once the handler is removed");
        }
    }
}
