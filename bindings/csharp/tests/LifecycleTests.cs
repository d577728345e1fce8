// Disposal and finalization: the neutral results without a source and after
// Dispose, a facade the application forgets is finalized and frees its
// player, Dispose, StopEngine and CloseSource from inside an event handler
// end without a deadlock, and many facades leave memory and file descriptors
// flat.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.CompilerServices;
using System.Threading;
using Quillet.FFWrapperCLI;

namespace Quillet.Tests
{
    public static class LifecycleTests
    {
        public static void ResultsWithoutASourceAndAfterDispose()
        {
            var facades = new FFWrapper[] { new FFWrapper(), new FFFileWrapper("cs.rec"), new FFFileServerWrapper(), new FFPlayServerWrapper(), new FFRemoteWrapper() };
            foreach (FFWrapper f in facades)
            {
                string kind = f.GetType().Name;
                var untouched = new FrameData();
                Check.Equal(0, f.ReadFrameGetSize(null), kind + ".ReadFrameGetSize(null)");
                Check.Equal(0, f.ReadFrameGetSize(untouched), kind + ": a read without a source");
                Check.True(untouched.frame == null && untouched.size == 0 && untouched.width == 0, kind + ": the record is untouched");
                bool opened = f.OpenSource(PlayerTests.H264Clip());
                if (f.GetType() == typeof(FFWrapper) || f.GetType() == typeof(FFFileWrapper))
                    Check.True(opened, kind + ": opens before disposal");
                f.Dispose();
                f.Dispose();
                int w, h, rate = 7, bits = 7, channels = 7;
                bool pending = true;
                f.GetDimensions(out w, out h);
                var results = new List<Tuple<string, object, object>>
                {
                    Tuple.Create("OpenSource", (object)false, (object)f.OpenSource(PlayerTests.H264Clip())),
                    Tuple.Create("StartEngine", (object)false, (object)f.StartEngine()),
                    Tuple.Create("IsPause", (object)false, (object)f.IsPause()),
                    Tuple.Create("IsReady", (object)false, (object)f.IsReady()),
                    Tuple.Create("ReadFrameGetSize", (object)0, (object)f.ReadFrameGetSize(new FrameData())),
                    Tuple.Create("GetDimensions", (object)"-1x-1", (object)(w + "x" + h)),
                    Tuple.Create("Width", (object)(-1), (object)f.Width()),
                    Tuple.Create("Height", (object)(-1), (object)f.Height()),
                    Tuple.Create("RenderWidth", (object)(-1), (object)f.RenderWidth()),
                    Tuple.Create("RenderHeight", (object)(-1), (object)f.RenderHeight()),
                    Tuple.Create("IsAudio", (object)false, (object)f.IsAudio()),
                    Tuple.Create("GetAudioFormat", (object)"False 0 0 0", (object)(f.GetAudioFormat(out rate, out bits, out channels) + " " + rate + " " + bits + " " + channels)),
                    Tuple.Create("ReadAudioFromInterface", (object)0.0, (object)f.ReadAudioFromInterface()),
                    Tuple.Create("GetDuration", (object)0.0, (object)f.GetDuration()),
                    Tuple.Create("IsOptimizeSeek", (object)false, (object)f.IsOptimizeSeek()),
                    Tuple.Create("IsOOB", (object)"False False", (object)(f.IsOOB(1.0, out pending) + " " + pending)),
                    Tuple.Create("GetSeekTime", (object)(-1.0), (object)f.GetSeekTime()),
                };
                var rec = f as FFFileWrapper;
                if (rec != null)
                    results.Add(Tuple.Create("IsVideoSave", (object)"False False", (object)(rec.IsVideoSave(out pending) + " " + pending)));
                var server = f as IFFSerializeWrapper;
                if (server != null)
                {
                    results.Add(Tuple.Create("AddClient", (object)true, (object)(server.AddClient() == null)));
                    results.Add(Tuple.Create("GetNumberOutgoingPackets", (object)0u, (object)server.GetNumberOutgoingPackets()));
                }
                var remote = f as FFRemoteWrapper;
                if (remote != null)
                {
                    results.Add(Tuple.Create("WritePacket", (object)false, (object)remote.WritePacket(new byte[] { 1, 2, 3 })));
                    results.Add(Tuple.Create("WaitForSeek", (object)false, (object)remote.WaitForSeek(1.0)));
                }
                foreach (var r in results)
                    Check.Equal(r.Item2, r.Item3, kind + "." + r.Item1 + " after Dispose");
                // The operations without a result do nothing.
                f.Initialize(); f.CloseSource(); f.StopEngine(); f.Pause(); f.Continue(); f.Flush(); f.Seek(1.0);
                f.DecodeVideo(PixelFormat.BGR24); f.EnableAudio(true); f.SetOptimizeSeek(true); f.SetAudioInterface(null);
            }
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static WeakReference ForgottenPlayer()
        {
            var player = PlayerTests.OpenStarted(new FFWrapper("cs.forgotten"), PlayerTests.H264Clip());
            player.RegisterFFEventCallback(args => { });
            Check.WaitFor(() => player.ReadFrameGetSize(new FrameData()) > 0, 20, "a picture");
            return new WeakReference(player);
        }

        public static void FinalizedWithoutDispose()
        {
            int threadsBefore = Threads();
            WeakReference player = ForgottenPlayer();
            Check.True(Threads() > threadsBefore, "the playing player runs threads");
            Check.WaitFor(() =>
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
                return !player.IsAlive && Threads() <= threadsBefore;
            }, 20, "the forgotten facade finalized and its player's threads ended");
        }

        private static readonly Tuple<string, Action<FFWrapper>>[] Reentrant =
        {
            Tuple.Create<string, Action<FFWrapper>>("StopEngine", f => f.StopEngine()),
            Tuple.Create<string, Action<FFWrapper>>("CloseSource", f => f.CloseSource()),
            Tuple.Create<string, Action<FFWrapper>>("Dispose", f => f.Dispose()),
        };

        /// <summary>Each call above from a handler: of the player's end of stream, raised on the reader's
        /// thread inside its read, and of the recorder's first sync point, raised on the recording's write
        /// thread. The player answers the handler's next call, and the reader's afterwards.</summary>
        public static void HandlersStopCloseOrDisposeTheirFacade()
        {
            foreach (bool recorder in new[] { false, true })
                foreach (var row in Reentrant)
                {
                    string what = (recorder ? "the recorder's sync point" : "the end of the stream") + " handler calling " + row.Item1;
                    FFWrapper f = PlayerTests.OpenStarted(recorder ? new FFFileWrapper("cs.reentrant") : new FFWrapper("cs.reentrant"), PlayerTests.H264Clip());
                    var handled = new ManualResetEvent(false);
                    int calls = 0;
                    f.RegisterFFEventCallback(args =>
                    {
                        var m = args as FFMessageEventArgs;
                        if (recorder ? args is SyncPointEventArgs : m != null && m.message == FFMessageType.EndOfStream)
                        {
                            row.Item2(f);
                            if (!recorder)
                                f.IsPause(); // and calls the facade once more
                            Interlocked.Increment(ref calls);
                            handled.Set();
                        }
                    });
                    if (recorder)
                        ((FFFileWrapper)f).SaveToVideoFile(Path.GetFullPath("cs_reentrant_" + row.Item1 + ".mkv"));
                    Check.EndsWithin(30, what, () =>
                    {
                        var data = new FrameData();
                        while (!handled.WaitOne(0) && f.ReadFrameGetSize(data) >= 0)
                            Thread.Yield();
                        Check.True(handled.WaitOne(20000), what + ": the handler ran");
                        if (!recorder)
                        {
                            Check.Equal(1, calls, what + ": the handler ran once");
                            Check.Equal(0, f.ReadFrameGetSize(data), what + ": a read afterwards");
                        }
                        f.Dispose();
                    });
                }
        }

        public static void ThousandFacadesLeaveMemoryAndDescriptorsFlat()
        {
            string clip = PlayerTests.H264Clip();
            Action<int> round = count =>
            {
                for (int i = 0; i < count; ++i)
                    using (var player = new FFWrapper("cs.many"))
                    {
                        player.RegisterFFEventCallback(args => { });
                        if (i % 20 == 0)
                        {
                            PlayerTests.OpenStarted(player, clip);
                            Check.WaitFor(() => player.ReadFrameGetSize(new FrameData()) > 0, 20, "a picture");
                        }
                    }
                GC.Collect();
                GC.WaitForPendingFinalizers();
            };
            round(100); // warm-up: code, caches, thread pools
            long rss = ResidentBytes();
            int fds = Descriptors();
            round(1000);
            long grown = ResidentBytes() - rss;
            Check.True(Descriptors() <= fds, string.Format("file descriptors flat: {0} then {1}", fds, Descriptors()));
            Check.True(grown < 24L << 20, string.Format("resident memory flat: grew {0} KiB over 1000 facades", grown >> 10));
        }

        private static int Threads() { return Directory.GetDirectories("/proc/self/task").Length; }
        private static int Descriptors() { return Directory.GetFileSystemEntries("/proc/self/fd").Length; }

        private static long ResidentBytes()
        {
            string line = File.ReadAllLines("/proc/self/status").First(l => l.StartsWith("VmRSS:"));
            return long.Parse(line.Split(new[] { ' ', '\t' }, StringSplitOptions.RemoveEmptyEntries)[1]) * 1024;
        }
    }
}
