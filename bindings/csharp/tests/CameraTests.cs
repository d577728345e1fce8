// A camera through FFFileServerWrapper with SourceSettings: a wrong password
// as the binding reports it, the live-reading policy and missed pictures as an
// event, players disposed while they reconnect, and a program that forgets a
// reconnecting camera.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using Quillet.FFWrapperCLI;

namespace Quillet.Tests
{
    public static class CameraTests
    {
        // A camera server on `url` over TCP with the test camera's account, opened and started when
        // `password` is right (a loaded machine may let a first open time out: it tries three times),
        // that reports a lost connection after a third of a second of silence. Events go to `onEvent`.
        private static FFWrapper Server(string url, string password, Action<FFWrapper, EventArgs> onEvent)
        {
            var server = new FFFileServerWrapper("cs.camera");
            server.RegisterFFEventCallback(args => onEvent(server, args));
            server.SetSourceSettings(new SourceSettings { username = "viewer", password = password, streamUsingTCP = true, useOnlyVideo = true, packetTimeoutMs = 300 });
            bool opened = false;
            for (int attempt = 0; attempt < 3 && !opened; ++attempt)
                opened = server.OpenSource(url);
            Check.True(opened == (password == "secret"), $"the {password} password: opened {opened}, \"{server.GetOpenFailureReason()}\"");
            server.DecodeVideo(PixelFormat.BGR24);
            Check.True(!opened || server.StartEngine(), "the camera starts");
            return server;
        }

        // A handler that at the first lost connection runs `onLost`, then sets `lost`.
        private static Action<FFWrapper, EventArgs> OnLost(ManualResetEvent lost, Action<FFWrapper> onLost = null) => (server, args) =>
        {
            if (args is SourceConnectionStatusArgs c && c.status == ConnectionStatus.ConnectionLost && !lost.WaitOne(0))
            {
                onLost?.Invoke(server);
                lost.Set();
            }
        };

        /// <summary>The password in SourceSettings and a wrong one's reason as the binding hands it over, the
        /// live-reading policy, and a reader that falls behind told what it missed.</summary>
        public static void PasswordsAndMissedPictures()
        {
            using (var camera = new Camera("--auth viewer:secret"))
            {
                using (FFWrapper wrong = Server(camera.Url("/test"), "wrong", (s, args) => { }))
                    Check.Equal("authorization failed", wrong.GetOpenFailureReason(), "the reason a wrong password gives");
                var events = new List<EventArgs>();
                using (FFWrapper server = Server(camera.Url("/test"), "secret", (s, args) => { lock (events) events.Add(args); }))
                {
                    server.SetLiveReading(LiveReading.Every);
                    Check.Equal(LiveReading.Every, server.GetLiveReading(), "the live-reading policy set");
                    server.SetLiveReading(LiveReading.Newest);
                    var data = new FrameData();
                    Func<MissedPicturesEventArgs> missed = () => { lock (events) return events.OfType<MissedPicturesEventArgs>().FirstOrDefault(); };
                    Check.WaitFor(() => { Thread.Sleep(300); server.ReadFrameGetSize(data); return missed() != null; }, 30, "a missed-pictures event for a slow reader");
                    Check.True(missed().missed > 0 && missed().total >= missed().missed && server.GetMissedPictures() >= missed().total,
                               $"missed {missed().missed}, {missed().total} in all, {server.GetMissedPictures()} counted");
                }
            }
        }

        /// <summary>Cycles (QUILLET_CS_CYCLES, 40 by default) of a player that opens the camera, starts,
        /// loses it (its process stopped, silent) and reconnects, disposed on this thread or by its own
        /// handler of the lost connection, in turn: none hangs, and no thread of theirs is left.</summary>
        public static void DisposedWhileReconnecting()
        {
            if (!int.TryParse(Environment.GetEnvironmentVariable("QUILLET_CS_CYCLES"), out int cycles))
                cycles = 40;
            using (var camera = new Camera("--auth viewer:secret"))
            {
                int threads = Check.Threads();
                Check.EndsWithin(cycles * 5 + 30, cycles + " cycles", () =>
                {
                    for (int i = 0; i < cycles; ++i)
                    {
                        var lost = new ManualResetEvent(false);
                        camera.Hang(false);
                        FFWrapper player = Server(camera.Url("/video"), "secret", OnLost(lost, i % 2 == 1 ? (Action<FFWrapper>)(p => p.Dispose()) : null));
                        camera.Hang(true);
                        Check.True(lost.WaitOne(20000), "cycle " + i + ": the lost connection reported");
                        player.Dispose();
                        Check.Equal(-1, player.Width(), "cycle " + i + ": Width after Dispose");
                    }
                });
                Check.ThreadsBackTo(threads, "the players' threads ended");
            }
        }

        /// <summary>A program whose Main returns while a camera it did not dispose reconnects exits at
        /// once: the library's threads do not keep the runtime alive.</summary>
        public static void MainReturnsWhileACameraReconnects()
        {
            using (var camera = new Camera("--auth viewer:secret"))
            using (var child = Media.Start("mono", "--debug " + typeof(CameraTests).Assembly.Location + " --forget-camera " + camera.Url("/video")))
            {
                Func<string, bool> line = text =>
                {
                    for (string l; (l = child.StandardOutput.ReadLine()) != null; )
                        if (l == text)
                            return true;
                    return false;
                };
                Check.True(line("PLAYING"), "the program plays the camera");
                camera.Dispose();
                Check.True(line("RETURNING"), "the program saw the camera go and returns from Main");
                bool exited = child.WaitForExit(10000);
                if (!exited)
                    child.Kill();
                Check.True(exited && child.ExitCode == 0, "the program exits with status 0 after Main returned, its camera reconnecting");
            }
        }

        /// <summary>The program of MainReturnsWhileACameraReconnects.</summary>
        public static int ForgetReconnectingCamera(string url)
        {
            var lost = new ManualResetEvent(false);
            FFWrapper player = Server(url, "secret", OnLost(lost));
            Check.WaitFor(() => player.ReadFrameGetSize(new FrameData()) > 0, 20, "a picture");
            Console.WriteLine("PLAYING");
            lost.WaitOne(20000);
            Console.WriteLine("RETURNING");
            return 0;
        }
    }
}
