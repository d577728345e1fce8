// Disposal and finalization: a disposed facade of each kind answers without
// throwing, a facade the application forgets is finalized and frees its
// player, a handler disposes the facade that runs it without a deadlock, a
// handler's exception comes out of the read, and many facades leave memory
// and file descriptors flat.
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
        /// <summary>A disposed facade of each kind answers without throwing (the values are the C++
        /// facade's to check), Dispose twice is fine, and a read leaves the managed record untouched.</summary>
        public static void DisposedFacadesAnswerWithoutThrowing()
        {
            foreach (FFWrapper f in new FFWrapper[] { new FFWrapper(), new FFFileWrapper("cs.rec"), new FFFileServerWrapper(), new FFPlayServerWrapper(), new FFRemoteWrapper() })
            {
                var untouched = new FrameData();
                Check.Equal(0, f.ReadFrameGetSize(null), f.GetType().Name + ".ReadFrameGetSize(null)");
                f.Dispose();
                f.Dispose();
                int w, h;
                f.GetDimensions(out w, out h);
                Check.True(!f.OpenSource(PlayerTests.H264Clip()) && f.ReadFrameGetSize(untouched) == 0 && untouched.frame == null, f.GetType().Name + " after Dispose");
                var server = f as IFFSerializeWrapper;
                if (server != null)
                    server.AddClient();
                f.CloseSource(); f.StopEngine(); f.Pause(); f.Seek(1.0); f.SetAudioInterface(null);
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

        /// <summary>A handler disposes the facade whose event it handles: the player's end of stream, raised
        /// on the reader's thread inside its read, and the recorder's first sync point, raised on the
        /// recording's write thread. The disposed facade answers the handler's next call, and the reader's
        /// afterwards (what a stop or close from a handler does is the C and C++ suites' to check).</summary>
        public static void HandlersDisposeTheirFacade()
        {
            foreach (bool recorder in new[] { false, true })
            {
                string what = (recorder ? "the recorder's sync point" : "the end of the stream") + " handler calling Dispose";
                FFWrapper f = PlayerTests.OpenStarted(recorder ? new FFFileWrapper("cs.reentrant") : new FFWrapper("cs.reentrant"), PlayerTests.H264Clip());
                var handled = new ManualResetEvent(false);
                int calls = 0;
                f.RegisterFFEventCallback(args =>
                {
                    var m = args as FFMessageEventArgs;
                    if (recorder ? args is SyncPointEventArgs : m != null && m.message == FFMessageType.EndOfStream)
                    {
                        f.Dispose();
                        f.IsPause(); // and calls the facade once more
                        Interlocked.Increment(ref calls);
                        handled.Set();
                    }
                });
                if (recorder)
                    ((FFFileWrapper)f).SaveToVideoFile(Path.GetFullPath("cs_reentrant.mkv"));
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

        /// <summary>A handler that throws keeps no other handler from the event; what it threw comes
        /// out of the read that raised the event, and that read's result (the end's -1) comes with
        /// the next read.</summary>
        public static void AThrowingHandlerKeepsTheOthersAndTheReadsResult()
        {
            using (var player = PlayerTests.OpenStarted(new FFWrapper("cs.throwing"), PlayerTests.H264Clip()))
            {
                int others = 0;
                player.RegisterFFEventCallback(args => { if (args is FFMessageEventArgs) throw new ApplicationException("thrown by a handler"); });
                player.RegisterFFEventCallback(args => { if (args is FFMessageEventArgs) Interlocked.Increment(ref others); });
                var data = new FrameData();
                int pictures = 0, thrown = 0, size = 0;
                Exception caught = null;
                Check.WaitFor(() =>
                {
                    try
                    {
                        size = player.ReadFrameGetSize(data);
                    }
                    catch (InvalidOperationException e)
                    {
                        caught = e;
                        ++thrown;
                        return false;
                    }
                    pictures += size > 0 ? 1 : 0;
                    return size < 0;
                }, 30, "the end of the stream after the handler threw");
                Check.Equal(1, thrown, "the read that raised the end threw");
                Check.True(caught.InnerException is ApplicationException, "the handler's own exception inside");
                Check.Equal(1, others, "the other handler ran");
                Check.Equal(75, pictures, "every picture");
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

        internal static int Threads() { return Directory.GetDirectories("/proc/self/task").Length; }
        private static int Descriptors() { return Directory.GetFileSystemEntries("/proc/self/fd").Length; }

        private static long ResidentBytes()
        {
            string line = File.ReadAllLines("/proc/self/status").First(l => l.StartsWith("VmRSS:"));
            return long.Parse(line.Split(new[] { ' ', '\t' }, StringSplitOptions.RemoveEmptyEntries)[1]) * 1024;
        }
    }
}
