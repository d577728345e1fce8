// What the binding adds to the facades on files: what crosses between the
// library and managed code (the C++ facade's pictures from a file and through a
// served client's packets, sound through a managed sink, log lines, recording
// settings and events), and lifetimes (handlers that dispose or throw, facades
// left to their finalizers or disposed and called again, served clients'
// fetches ended by a removal or their server's disposal). What the library does
// with them is the C and C++ suites' to check.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Runtime.CompilerServices;
using System.Threading;
using Quillet.FFWrapperCLI;

namespace Quillet.Tests
{
    public static class FacadeTests
    {
        /// <summary>Every picture as the C++ facade reads it, through one record (an array of another size
        /// never holds a picture): a clip with B-frames, a smaller one whose rows no alignment meets (the
        /// bigger picture's array is repacked), and the first again as a served client's packets, each a
        /// fresh array, fed to a remote player.</summary>
        public static void PicturesEqualTheCppFacades()
        {
            var data = new FrameData();
            foreach (string clip in new[] { Media.H264Clip(), Media.Clip("cs_h264_162x122.mkv", string.Format(Media.Lavfi, "162x122", 2) + "-c:v libx264 -g 12 -an") })
                using (var player = Media.Started(new FFWrapper("cs.player"), clip))
                    Media.SameAsReference(clip, Media.PlayAll(player, data), clip);
            using (var server = new FFPlayServerWrapper("cs.server"))
            using (var viewer = new FFRemoteWrapper("cs.viewer"))
            {
                server.SetSource(Media.H264Clip());
                server.SetNumberOutgoingPackets(20);
                Check.Equal(20u, server.GetNumberOutgoingPackets(), "records per packet");
                FFOutgoingWrapper client = server.AddClient();
                Check.True(client != null && server.StartEngine(), "a client, and the server starts");
                viewer.EnableAudio(false);
                viewer.DecodeVideo(PixelFormat.BGR24);
                var packets = new List<byte[]>();
                byte[] packet = null;
                List<string> pictures = Media.PlayAll(viewer, data, () =>
                {
                    if (packet == null && (packet = client.GetNextPacket()) != null)
                        packets.Add(packet);
                    if (packet != null && viewer.WritePacket(packet))
                        packet = null;
                });
                Check.True(packets.Count > 1 && packets.Distinct().Count() == packets.Count, "several packets, each a fresh array");
                Media.SameAsReference(Media.H264Clip(), pictures, "through the remote player");
            }
        }

        private sealed class Sink : IAudioInterface
        {
            public readonly List<ArraySegment<byte>> Filled = new List<ArraySegment<byte>>();
            public bool WantsAudio() => true;
            public IList<byte[]> GetBuffers() => new List<byte[]> { new byte[4096], new byte[4096] };
            public void SubmitBuffers(IList<ArraySegment<byte>> filled) => Filled.AddRange(filled);
        }

        /// <summary>The clip's three seconds of tone land in the sink's own arrays, each counted as filled.</summary>
        public static void SoundThroughAManagedSink()
        {
            var sink = new Sink();
            using (var player = Media.Started(new FFWrapper(), Media.H264Clip(), audio: true))
            {
                Check.True(player.GetAudioFormat(out int rate, out int bits, out int channels) && bits == 16 && player.IsAudio(), "16-bit sound");
                player.SetAudioInterface(sink);
                var data = new FrameData();
                var deadline = DateTime.UtcNow.AddSeconds(60);
                for (int n; (n = player.ReadFrameGetSize(data)) >= 0 && DateTime.UtcNow < deadline; )
                    if (player.ReadAudioFromInterface() < 0 && n == 0)
                        Thread.Yield();
                for (int i = 0; i < 100 && player.ReadAudioFromInterface() >= 0; ++i) { }
                long bytes = sink.Filled.Sum(s => (long)s.Count), expected = (long)(3.0 * rate * channels * 2);
                int peak = sink.Filled.SelectMany(s => Enumerable.Range(0, s.Count / 2).Select(i => Math.Abs((int)BitConverter.ToInt16(s.Array, s.Offset + 2 * i)))).DefaultIfEmpty().Max();
                Check.True(Math.Abs(bytes - expected) < expected / 10, $"about 3 s of sound: {bytes} of {expected} bytes");
                Check.True(peak > 3000, "the sound is the tone, not silence: peak " + peak);
            }
        }

        public static void LogLinesReachTheHandlerUntilItIsRemoved()
        {
            var lines = new List<LogLine>();
            Logging.SetLogCallback(line => { lock (lines) lines.Add(line); }, LogSeverity.Info);
            Media.Started(new FFWrapper(), Media.H264Clip()).Dispose();
            Logging.SetLogCallback(null);
            LogLine[] seen;
            lock (lines)
                seen = lines.ToArray();
            Check.True(seen.Any(l => l.Category == "FFmpeg" && l.Text.Contains("Input #0")), "FFmpeg's stream dump");
            Check.True(seen.Any(l => l.Category != "FFmpeg" && l.Severity == LogSeverity.Info), "the library's own lines");
            Check.True(seen.All(l => Math.Abs((DateTime.UtcNow - l.TimeUtc).TotalMinutes) < 5), "times are UTC");
            Media.Started(new FFWrapper(), Media.H264Clip()).Dispose();
            lock (lines)
                Check.Equal(seen.Length, lines.Count, "no line once the handler is removed");
        }

        /// <summary>The recording settings and events as the binding hands them over, one row per setting:
        /// two-second segments with a one-byte retention budget (sync points name several files, their
        /// PCTimeUTC the epoch for a file source, the oldest deleted), also publishing to HLS (its state
        /// comes as PublishingStatusArgs), and a free-space guard no volume meets (the recording stops
        /// with FileSinkError). Where files are cut is the C++ suite's to check. Also the conversion of
        /// a PC time, truncated to whole microseconds.</summary>
        public static void RecordingSettingsAndEvents()
        {
            var epoch = new DateTime(1970, 1, 1, 0, 0, 0, DateTimeKind.Utc);
            DateTime pc = SyncPointEventArgs.PCTimeFromTicks(17650656001234567L); // 100-ns ticks since 1970
            Check.True(pc == new DateTime(2025, 12, 7, 0, 0, 0).AddTicks(1234560) && pc.Kind == DateTimeKind.Utc, "a PC time: " + pc.ToString("o"));
            string clip = Media.Clip("cs_h264_8s.mp4", string.Format(Media.Lavfi, "320x240", 8) + "-c:v libx264 -g 25 -c:a aac");
            string playlist = Path.GetFullPath("cs_live.m3u8");
            foreach (bool guard in new[] { false, true })
                using (var recorder = new FFFileWrapper("cs.recorder"))
                {
                    var events = new List<EventArgs>();
                    Func<Func<EventArgs, bool>, bool> seen = match => { lock (events) return events.Any(match); };
                    recorder.RegisterFFEventCallback(args => { lock (events) events.Add(args); });
                    recorder.SetRecordingSettings(guard ? new RecordingSettings { minFreeBytes = long.MaxValue }
                                                        : new RecordingSettings { segmentSeconds = 2.0, keepBytes = 1 });
                    Media.Started(recorder, clip, audio: true);
                    Check.True(guard || recorder.StartPublishing(playlist), "publishing to HLS starts");
                    recorder.SaveToVideoFile(Path.GetFullPath("cs_segment.mp4"));
                    Media.PlayAll(recorder, new FrameData());
                    recorder.StopVideoSave();
                    Check.WaitFor(() => !recorder.IsVideoSave(out bool pending), 20, "the recording ends");
                    if (guard)
                    {
                        Check.True(seen(e => e is FFMessageEventArgs m && m.message == FFMessageType.FileSinkError), "the guard stops the recording");
                        continue;
                    }
                    Check.WaitFor(() => seen(e => e is PublishingStatusArgs p && p.state == PublishingState.Finished), 30, "the HLS output finishes");
                    Check.True(seen(e => e is PublishingStatusArgs p && p.url == playlist && p.state == PublishingState.Publishing), "the HLS output publishes");
                    recorder.CloseSource();
                    List<SyncPointEventArgs> points;
                    lock (events)
                        points = events.OfType<SyncPointEventArgs>().ToList();
                    var files = points.Select(p => p.fileName).Distinct().ToList();
                    Check.True(files.Count >= 3 && !files.All(File.Exists), "segments named by sync points, the oldest deleted: " + string.Join(", ", files));
                    Check.True(points.All(p => p.PCTimeUTC == epoch && p.videoTime >= TimeSpan.Zero && p.videoTime < TimeSpan.FromSeconds(9))
                               && points.Any(p => p.videoTime >= TimeSpan.FromSeconds(1)), "the sync points' times within their files");
                    files.ForEach(File.Delete);
                }
        }

        /// <summary>Handlers that dispose their facade, of the player's end of stream (raised on the reader's
        /// thread inside its read) and of the recorder's first sync point (raised on the recording's write
        /// thread): the facade's next call, and the reader's afterwards, find it disposed. And a handler of
        /// the end that throws: it keeps no other handler from the event, what it threw comes out of the
        /// read that raised the event, and that read's result (the end's -1) comes with the next read.
        /// What a stop or close from a handler does is the C and C++ suites' to check.</summary>
        public static void HandlersDisposeTheirFacadeOrThrow()
        {
            foreach (var row in new (bool recorder, bool throws)[] { (false, false), (true, false), (false, true) })
            {
                string what = (row.recorder ? "the recorder's sync point" : "the end of the stream") + (row.throws ? " handler throwing" : " handler calling Dispose");
                FFWrapper f = Media.Started(row.recorder ? new FFFileWrapper("cs.handler") : new FFWrapper("cs.handler"), Media.H264Clip());
                int calls = 0, others = 0;
                Func<EventArgs, bool> handled = args => row.recorder ? args is SyncPointEventArgs
                                                                     : args is FFMessageEventArgs m && m.message == FFMessageType.EndOfStream;
                f.RegisterFFEventCallback(args =>
                {
                    if (!handled(args))
                        return;
                    Interlocked.Increment(ref calls);
                    if (row.throws)
                        throw new ApplicationException("thrown by a handler");
                    f.Dispose();
                    f.IsPause(); // and calls the facade once more
                });
                f.RegisterFFEventCallback(args => { if (handled(args)) Interlocked.Increment(ref others); });
                if (row.recorder)
                    ((FFFileWrapper)f).SaveToVideoFile(Path.GetFullPath("cs_handler.mkv"));
                Check.EndsWithin(30, what, () =>
                {
                    var data = new FrameData();
                    int pictures = 0, thrown = 0;
                    for (int n = 0; n >= 0 && (row.throws || Volatile.Read(ref others) == 0); Thread.Yield())
                    {
                        try
                        {
                            pictures += (n = f.ReadFrameGetSize(data)) > 0 ? 1 : 0;
                        }
                        catch (InvalidOperationException e)
                        {
                            Check.True(e.InnerException is ApplicationException, what + ": the handler's own exception inside");
                            ++thrown;
                        }
                    }
                    Check.WaitFor(() => Volatile.Read(ref others) > 0, 20, what + ": the handlers ran");
                    Check.True(calls == 1 && others == 1 && thrown == (row.throws ? 1 : 0), $"{what}: ran once ({calls}), the other handler too ({others}), a read threw what it threw ({thrown})");
                    Check.True(row.throws ? pictures == 75 : f.ReadFrameGetSize(data) == 0, $"{what}: every picture ({pictures}), or none once disposed");
                    f.Dispose();
                });
            }
        }

        /// <summary>Rounds of a thousand facades of every kind in turn, a picture read from every twentieth and
        /// then paused, every other of those left to its finalizer: the finalized players' threads end, and after a first
        /// round memory and file descriptors stay flat. A disposed facade answers every call without
        /// throwing (the values are the C++ facade's to check), Dispose twice included, and a read leaves
        /// the managed record untouched.</summary>
        public static void ThousandFacadesLeaveThreadsMemoryAndDescriptorsFlat()
        {
            string clip = Media.H264Clip();
            int threads = Check.Threads();
            Action round = () =>
            {
                for (int i = 0; i < 1000; ++i)
                    OneFacade(clip, i);
                Check.ThreadsBackTo(threads, "the forgotten players finalized and their threads ended");
            };
            round(); // warm-up: code, caches, thread pools, as many players awaiting their finalizers
            int fds = Descriptors();
            long rss = ResidentBytes();
            round();
            long grown = ResidentBytes() - rss;
            Check.True(Descriptors() <= fds, $"file descriptors flat: {fds} then {Descriptors()}");
            Check.True(grown < 24L << 20, $"resident memory flat: grew {grown >> 10} KiB over 1000 facades");
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static void OneFacade(string clip, int i)
        {
            FFWrapper f = i % 5 == 1 ? new FFFileWrapper("cs.many") : i % 5 == 2 ? new FFFileServerWrapper("cs.many")
                        : i % 5 == 3 ? new FFPlayServerWrapper("cs.many") : i % 5 == 4 ? new FFRemoteWrapper("cs.many") : new FFWrapper("cs.many");
            f.RegisterFFEventCallback(args => { });
            if (i % 20 == 0)
            {
                Media.Started(f, clip);
                Check.WaitFor(() => f.ReadFrameGetSize(new FrameData()) > 0, 20, "a picture");
                f.Pause();
                Check.True(f.IsPause(), "paused");
                f.Seek(0.52); // disposed or forgotten in the pause, with a seek pending
            }
            if (i % 40 == 20)
                return;
            var untouched = new FrameData();
            Check.Equal(0, f.ReadFrameGetSize(null), f.GetType().Name + ".ReadFrameGetSize(null)");
            f.Dispose();
            f.Dispose();
            Check.True(!f.OpenSource(clip) && f.ReadFrameGetSize(untouched) == 0 && untouched.frame == null && f.Width() == -1, f.GetType().Name + " after Dispose");
            (f as IFFSerializeWrapper)?.AddClient();
            f.CloseSource(); f.StopEngine(); f.Pause(); f.Seek(1.0); f.SetAudioInterface(null);
        }

        private static int Descriptors() => Directory.GetFileSystemEntries("/proc/self/fd").Length;

        private static long ResidentBytes() =>
            long.Parse(File.ReadAllLines("/proc/self/status").First(l => l.StartsWith("VmRSS:")).Split(new[] { ' ', '\t' }, StringSplitOptions.RemoveEmptyEntries)[1]) * 1024;

        /// <summary>Served clients at their edges: none without a source; removing one from another thread
        /// ends its wait without limit, and it gives nothing more; a waiting fetch sleeps until the source
        /// queues a packet; a client outlives its server and gives none of the packets it held. Also the
        /// remote player's packets and seek targets at theirs.</summary>
        public static void ClientEdges()
        {
            using (var server = new FFPlayServerWrapper())
                Check.True(server.AddClient() == null, "no client without a source");
            using (var viewer = new FFRemoteWrapper())
                Check.True(!viewer.WritePacket(new byte[0]) && !viewer.WritePacket(null) && viewer.WaitForSeek(2.0) && !viewer.WaitForSeek(2.0),
                           "no empty or null packet; a new seek target, then the same again");
            FFOutgoingWrapper kept;
            using (var server = new FFPlayServerWrapper())
            {
                server.SetSource(Media.H264Clip());
                FFOutgoingWrapper waiting = server.AddClient(), removed = server.AddClient();
                kept = server.AddClient();
                foreach (FFOutgoingWrapper client in new[] { waiting, removed, kept })
                    while (client.GetNextPacket() != null) { } // the stream's description
                Check.True(waiting.WaitNextPacket(0) == null, "nothing queued before the start");
                byte[] woken = null, afterRemoval = new byte[1];
                var stranded = new Thread(() => afterRemoval = removed.WaitNextPacket(-1));
                stranded.Start();
                Thread.Sleep(200); // most likely asleep in the wait by now; the checks hold either way
                server.RemoveClient(removed);
                Check.True(stranded.Join(5000) && afterRemoval == null && removed.GetNextPacket() == null, "a removal ends a wait without limit; no packet after it");
                server.RemoveClient(removed); // again
                server.RemoveClient(null);
                var fetch = new Thread(() => woken = waiting.WaitNextPacket(-1));
                fetch.Start();
                Check.True(server.StartEngine(), "the server starts");
                Check.True(fetch.Join(10000) && woken != null && woken.Length > 0, "a waiting fetch wakes with the packet the source queued");
            }
            Check.EndsWithin(10, "a client of a disposed server", () => Check.True(kept.GetNextPacket() == null && kept.WaitNextPacket(-1) == null, "no packet, though it held some, and no wait"));
        }
    }
}
