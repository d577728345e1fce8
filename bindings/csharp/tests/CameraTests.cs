// A camera through FFFileServerWrapper with SourceSettings: a wrong password
// as the binding reports it, the live-reading policy and missed pictures, and
// a program that forgets a reconnecting camera. (A handler disposing the
// facade while the camera reconnects is in the C++ handler table.)
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using Quillet.FFWrapperCLI;

namespace Quillet.Tests
{
    public static class CameraTests
    {
        public static void PasswordsAndMissedPictures()
        {
            using (var camera = new Camera("--auth viewer:secret"))
            {
                // password, opens, the open failure reason
                var table = new[] { Tuple.Create("wrong", false, "authorization failed"), Tuple.Create("secret", true, "") };
                foreach (var row in table)
                {
                    var events = new List<EventArgs>();
                    using (var server = new FFFileServerWrapper("cs.camera"))
                    {
                        server.RegisterFFEventCallback(args => { lock (events) events.Add(args); });
                        server.SetNetworkTimeout(5);
                        server.SetSourceSettings(new SourceSettings { username = "viewer", password = row.Item1, useOnlyVideo = true,
                                                                      packetTimeoutMs = 2000, rtcpTimeoutMs = 10000 });
                        Check.Equal(row.Item2, server.OpenSource(camera.Url("/test")), "open with the " + row.Item1 + " password");
                        Check.Equal(row.Item3, server.GetOpenFailureReason(), "the reason with the " + row.Item1 + " password");
                        if (!row.Item2)
                            continue;
                        server.DecodeVideo(PixelFormat.BGR24);
                        Check.True(server.StartEngine(), "the camera starts");
                        var data = new FrameData();
                        int pictures = 0;
                        Func<bool> picture = () => { if (server.ReadFrameGetSize(data) > 0) ++pictures; return false; };
                        Check.WaitFor(() => { picture(); return pictures >= 10; }, 20, "10 pictures from the camera");
                        Check.Equal(640 * 480 * 3, data.size, "a 640x480 picture");

                        // The live-reading policy, and a reader that falls behind told what it missed.
                        server.SetLiveReading(LiveReading.Every);
                        Check.Equal(LiveReading.Every, server.GetLiveReading(), "the live-reading policy set");
                        server.SetLiveReading(LiveReading.Newest);
                        Func<MissedPicturesEventArgs> missed = () => { lock (events) return events.OfType<MissedPicturesEventArgs>().FirstOrDefault(); };
                        Check.WaitFor(() => { Thread.Sleep(300); picture(); return missed() != null; }, 30, "a missed-pictures event for a slow reader");
                        Check.True(missed().missed > 0 && missed().total >= missed().missed && server.GetMissedPictures() >= missed().total,
                                   string.Format("missed {0}, {1} in all, {2} counted", missed().missed, missed().total, server.GetMissedPictures()));
                    }
                }
            }
        }

        // A camera server on `url` over TCP, started, that reports a lost connection after a third
        // of a second of silence; `lost` is set by its handler, which first runs `onLost`.
        private static FFWrapper Reconnecting(string url, ManualResetEvent lost, Action<FFWrapper> onLost = null)
        {
            var player = new FFFileServerWrapper("cs.reconnecting");
            player.SetSourceSettings(new SourceSettings { streamUsingTCP = true, useOnlyVideo = true, packetTimeoutMs = 300 });
            player.RegisterFFEventCallback(args =>
            {
                var s = args as SourceConnectionStatusArgs;
                if (s != null && s.status == ConnectionStatus.ConnectionLost && !lost.WaitOne(0))
                {
                    if (onLost != null)
                        onLost(player);
                    lost.Set();
                }
            });
            // What these rows check comes after the open; a loaded machine may let a first open time out.
            bool opened = false;
            for (int attempt = 0; attempt < 3 && !opened; ++attempt)
                opened = player.OpenSource(url);
            Check.True(opened, "the camera opens: " + player.GetOpenFailureReason());
            player.DecodeVideo(PixelFormat.BGR24);
            Check.True(player.StartEngine(), "the camera starts");
            return player;
        }

        /// <summary>Cycles (QUILLET_CS_CYCLES, 40 by default) of a player that opens the camera, starts,
        /// loses it (its process stopped, silent) and reconnects, disposed on this thread or by its own handler of the lost
        /// connection, in turn: none hangs, and no thread of theirs is left.</summary>
        public static void DisposedWhileReconnecting()
        {
            int cycles;
            if (!int.TryParse(Environment.GetEnvironmentVariable("QUILLET_CS_CYCLES"), out cycles))
                cycles = 40;
            using (var camera = new Camera(""))
            {
                int threads = LifecycleTests.Threads();
                Check.EndsWithin(cycles * 5 + 30, cycles + " cycles", () =>
                {
                    for (int i = 0; i < cycles; ++i)
                    {
                        var lost = new ManualResetEvent(false);
                        camera.Hang(false);
                        FFWrapper player = Reconnecting(camera.Url("/video"), lost, i % 2 == 1 ? (Action<FFWrapper>)(p => p.Dispose()) : null);
                        camera.Hang(true);
                        Check.True(lost.WaitOne(20000), "cycle " + i + ": the lost connection reported");
                        player.Dispose();
                        Check.Equal(-1, player.Width(), "cycle " + i + ": Width after Dispose");
                    }
                });
                Check.WaitFor(() => LifecycleTests.Threads() <= threads, 20, "the players' threads ended");
            }
        }

        /// <summary>A program whose Main returns while a camera it did not dispose reconnects exits at
        /// once: the library's threads do not keep the runtime alive.</summary>
        public static void MainReturnsWhileACameraReconnects()
        {
            using (var camera = new Camera(""))
            {
                using (var child = Media.Start("mono", "--debug " + typeof(CameraTests).Assembly.Location + " --forget-camera " + camera.Url("/video")))
                {
                    Func<string, bool> line = text =>
                    {
                        string l;
                        while ((l = child.StandardOutput.ReadLine()) != null)
                            if (l == text)
                                return true;
                        return false;
                    };
                    Check.True(line("PLAYING"), "the program plays the camera");
                    camera.Kill();
                    Check.True(line("RETURNING"), "the program saw the camera go and returns from Main");
                    var clock = System.Diagnostics.Stopwatch.StartNew();
                    bool exited = child.WaitForExit(10000);
                    if (!exited)
                        child.Kill();
                    Console.WriteLine("the program exited {0} ms after Main returned", clock.ElapsedMilliseconds);
                    Check.True(exited, "the program exits after Main returned, its camera reconnecting");
                    Check.Equal(0, child.ExitCode, "the program's status");
                }
            }
        }

        /// <summary>The program of MainReturnsWhileACameraReconnects.</summary>
        public static int ForgetReconnectingCamera(string url)
        {
            var lost = new ManualResetEvent(false);
            FFWrapper player = Reconnecting(url, lost);
            var data = new FrameData();
            Check.WaitFor(() => player.ReadFrameGetSize(data) > 0, 20, "a picture");
            Console.WriteLine("PLAYING");
            lost.WaitOne(20000);
            Console.WriteLine("RETURNING");
            return 0;
        }
    }
}
